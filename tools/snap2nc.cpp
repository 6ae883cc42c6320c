// snap2nc [--scenario FILE] FILE OUT.nc: writes the snapshots of a run's
// snapshot file as a CF-1.10 NetCDF-4 file with dimensions (time, y, x), one
// float variable per field, values copied bit for bit, and the run's scenario
// in global attributes.
//
// One record is held in memory at a time. The output is written under a
// temporary name beside OUT.nc and renamed only once it is complete, so a
// failure (damaged input, full disk, interruption) never leaves a file named
// OUT.nc that looks finished.
#include <netcdf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "snapshot/layout.hpp"
#include "snapshot/snapshot_file.hpp"

namespace snap = plume::snapshot;
namespace fs = std::filesystem;

namespace {

constexpr const char* usage_text =
    "usage: snap2nc [--help] [--deflate LEVEL] [--scenario SCENARIO] FILE OUT.nc\n"
    "\n"
    "Converts the snapshot file FILE of a plume run (test_withPollutant.dat) to\n"
    "the CF-1.10 NetCDF-4 file OUT.nc: dimensions time, y, x; coordinates at the\n"
    "cell centres in metres; time in seconds since the start of the run (the\n"
    "reference date 1970-01-01 is nominal); the seven fields q, dqdt, h, us, vs,\n"
    "div and vort as float variables holding the file's values bit for bit;\n"
    "the run's grid, times, wind, emission and sources as global attributes.\n"
    "\n"
    "  --deflate LEVEL      lossless compression level 0 (none) to 9; default 1\n"
    "  --scenario SCENARIO  the TOML scenario of the run that wrote FILE, for\n"
    "                       its grid and snapshot times; without it, the\n"
    "                       reference case (401 x 401 cells of 1000 m, a\n"
    "                       snapshot every 1800 s for 16 h)\n"
    "\n"
    "OUT.nc is replaced only when the conversion succeeds. Exit status: 0 done,\n"
    "1 unreadable, damaged or other-grid input or unwritable output, 2 bad\n"
    "arguments or scenario.\n";

constexpr const char* time_units = "seconds since 1970-01-01 00:00:00";

// Removed by the signal handler when the conversion is interrupted.
char pending_path[4096] = {};

extern "C" void remove_pending_and_exit(int sig) {
  if (pending_path[0] != '\0') ::unlink(pending_path);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void check(int status, const std::string& what) {
  if (status != NC_NOERR) throw std::runtime_error(what + ": " + nc_strerror(status));
}

void put_text(int ncid, int varid, const char* name, std::string_view value) {
  check(nc_put_att_text(ncid, varid, name, value.size(), value.data()), std::string("writing attribute ") + name);
}

std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

// A temporary output file beside the final one; removed unless committed.
class PendingOutput {
 public:
  explicit PendingOutput(const std::string& final_path) : final_(final_path) {
    const fs::path dir = fs::path(final_path).parent_path();
    std::error_code ec;
    if (!dir.empty() && !fs::is_directory(dir, ec)) {
      throw std::runtime_error("cannot create '" + final_path + "': directory '" + dir.string() + "' does not exist");
    }
    if (fs::is_directory(final_path, ec)) {
      throw std::runtime_error("cannot create '" + final_path + "': it is a directory");
    }
    std::string name = final_path + ".partial-XXXXXX";
    if (name.size() >= sizeof pending_path) throw std::runtime_error("output path too long: " + final_path);
    const int fd = ::mkstemp(name.data());
    if (fd < 0) throw std::runtime_error("cannot create '" + name + "': " + std::strerror(errno));
    // mkstemp makes the file private; give it the mode a new file gets.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    path_ = name;
    std::memcpy(pending_path, name.c_str(), name.size() + 1);
  }
  ~PendingOutput() {
    if (!path_.empty()) ::unlink(path_.c_str());
    pending_path[0] = '\0';
  }
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;

  const std::string& path() const { return path_; }
  void commit() {
    if (std::rename(path_.c_str(), final_.c_str()) != 0) {
      throw std::runtime_error("cannot rename '" + path_ + "' to '" + final_ + "': " + std::strerror(errno));
    }
    path_.clear();
    pending_path[0] = '\0';
  }

 private:
  std::string final_;
  std::string path_;
};

class NcFile {
 public:
  NcFile(const std::string& path, std::size_t chunk_bytes) {
    // Each field is written once, a whole chunk (one snapshot) at a time:
    // a cache of one chunk per variable is all the library needs.
    check(nc_set_chunk_cache(chunk_bytes + 4096, 1, 1.0f), "setting the chunk cache");
    check(nc_create(path.c_str(), NC_NETCDF4 | NC_CLOBBER, &id_), "cannot create '" + path + "'");
  }
  ~NcFile() {
    if (id_ >= 0) nc_close(id_);
  }
  NcFile(const NcFile&) = delete;
  NcFile& operator=(const NcFile&) = delete;
  int id() const { return id_; }
  void close() {
    const int id = id_;
    id_ = -1;
    check(nc_close(id), "finishing the NetCDF file");
  }

 private:
  int id_ = -1;
};

// The NetCDF variables.
struct Vars {
  int time_var = -1, x_var = -1, y_var = -1;
  std::vector<int> field_vars;  // one per record of a snapshot, in the order written
};

int def_coordinate(int ncid, const char* name, int dim, const char* standard_name, const char* long_name,
                   const char* units, const char* axis) {
  int var = -1;
  check(nc_def_var(ncid, name, NC_DOUBLE, 1, &dim, &var), std::string("defining ") + name);
  put_text(ncid, var, "standard_name", standard_name);
  put_text(ncid, var, "long_name", long_name);
  put_text(ncid, var, "units", units);
  put_text(ncid, var, "axis", axis);
  return var;
}

void put_ints(int ncid, const char* name, std::span<const int> values) {
  check(nc_put_att_int(ncid, NC_GLOBAL, name, NC_INT, values.size(), values.data()),
        std::string("writing attribute ") + name);
}

// Float attributes keep the scenario's single-precision values exactly.
void put_floats(int ncid, const char* name, std::span<const float> values) {
  check(nc_put_att_float(ncid, NC_GLOBAL, name, NC_FLOAT, values.size(), values.data()),
        std::string("writing attribute ") + name);
}

// The run's settings as global attributes named after the scenario's keys
// ([grid] nx -> grid_nx); the sources as one array per key, in the order
// the scenario lists them.
void put_scenario(int ncid, const snap::Layout& layout) {
  const scenario& s = layout.run;
  put_text(ncid, NC_GLOBAL, "scenario",
           layout.scenario_file.empty() ? std::string("none: the reference case")
                                        : fs::path(layout.scenario_file).filename().string());
  // The whole scenario as a file that plume --scenario reads back.
  put_text(ncid, NC_GLOBAL, "scenario_toml", scenario_toml(s));
  put_ints(ncid, "grid_nx", std::array{s.nx});
  put_ints(ncid, "grid_ny", std::array{s.ny});
  put_floats(ncid, "grid_spacing_m", std::array{s.spacing_m});
  put_ints(ncid, "time_duration_s", std::array{s.duration_s});
  put_ints(ncid, "time_progress_every", std::array{s.progress_every});
  put_floats(ncid, "time_snapshot_every_s", std::array{s.snapshot_every_s});
  put_floats(ncid, "wind_speed_m_s", std::array{s.wind_speed_m_s});
  put_floats(ncid, "wind_towards_deg", std::array{s.wind_towards_deg});
  put_ints(ncid, "emission_first_s", std::array{s.emission_first_s});
  put_floats(ncid, "emission_every_s", std::array{s.emission_every_s});
  put_ints(ncid, "source_count", std::array{static_cast<int>(s.sources.size())});
  std::vector<float> x, y, radius, peak;
  for (const auto& p : s.sources) {
    x.push_back(p.x_m);
    y.push_back(p.y_m);
    radius.push_back(p.radius_m);
    peak.push_back(p.peak);
  }
  put_floats(ncid, "source_x_m", x);
  put_floats(ncid, "source_y_m", y);
  put_floats(ncid, "source_radius_m", radius);
  put_floats(ncid, "source_peak", peak);
}

// How the snapshot times run. They are evenly spaced: the passes whose time
// is an exact multiple of the cadence are the multiples of the smallest one.
std::string times_comment(const snap::Layout& layout) {
  const auto& t = layout.snapshot_times_s;
  if (t.size() == 1) return "The run has one snapshot, at 0 s.";
  return "Snapshot k is at " + std::to_string(t[1]) + " k s.";
}

std::string km_text(double spacing_m) {
  char buf[32];
  if (spacing_m >= 1000.0) {
    std::snprintf(buf, sizeof buf, "%g km", spacing_m / 1000.0);
  } else {
    std::snprintf(buf, sizeof buf, "%g m", spacing_m);
  }
  return buf;
}

Vars define(int ncid, const std::string& input, const std::string& command, int deflate, const snap::Layout& layout) {
  Vars l;
  int time_dim = -1, y_dim = -1, x_dim = -1;
  check(nc_def_dim(ncid, "time", NC_UNLIMITED, &time_dim), "defining time");
  check(nc_def_dim(ncid, "y", static_cast<std::size_t>(layout.ny()), &y_dim), "defining y");
  check(nc_def_dim(ncid, "x", static_cast<std::size_t>(layout.nx()), &x_dim), "defining x");

  l.time_var = def_coordinate(ncid, "time", time_dim, "time", "model time since the start of the run", time_units, "T");
  put_text(ncid, l.time_var, "calendar", "proleptic_gregorian");
  put_text(ncid, l.time_var, "comment",
           "The run has no calendar date: the reference date 1970-01-01 is nominal and only the elapsed "
           "model time is meaningful. " + times_comment(layout));
  l.y_var = def_coordinate(ncid, "y", y_dim, "projection_y_coordinate", "y of the cell centre", "m", "Y");
  l.x_var = def_coordinate(ncid, "x", x_dim, "projection_x_coordinate", "x of the cell centre", "m", "X");

  const int dims[3] = {time_dim, y_dim, x_dim};
  const std::size_t chunks[3] = {1, static_cast<std::size_t>(layout.ny()), static_cast<std::size_t>(layout.nx())};
  for (const auto& field : layout.fields) {
    const auto& info = field.quantity;
    const std::string& name = field.name;
    int var = -1;
    check(nc_def_var(ncid, name.c_str(), NC_FLOAT, 3, dims, &var), "defining " + name);
    check(nc_def_var_chunking(ncid, var, NC_CHUNKED, chunks), "chunking " + name);
    if (deflate > 0) check(nc_def_var_deflate(ncid, var, 1, 1, deflate), "compressing " + name);
    // Every value is data: no fill value, so no reader masks any of them.
    check(nc_def_var_fill(ncid, var, NC_NOFILL, nullptr), "fill mode of " + name);
    put_text(ncid, var, "long_name", field.long_name);
    put_text(ncid, var, "units", info.units);
    if (!info.standard_name.empty()) put_text(ncid, var, "standard_name", info.standard_name);
    if (field.is_pollutant("q")) put_text(ncid, var, "comment", "in the model's own concentration units, which have no physical scale");
    if (field.is_pollutant("dqdt")) put_text(ncid, var, "comment", "in the concentration units of q per second");
    l.field_vars.push_back(var);
  }

  put_text(ncid, NC_GLOBAL, "Conventions", "CF-1.10");
  put_text(ncid, NC_GLOBAL, "title", "plume: a pollutant carried by a two-dimensional flow");
  const std::int64_t every = layout.snapshot_times_s.size() > 1 ? layout.snapshot_times_s[1] : 0;
  put_text(ncid, NC_GLOBAL, "source",
           "plume batch simulation, " + std::to_string(layout.nx()) + " x " + std::to_string(layout.ny()) +
               " cells of " + km_text(layout.spacing_m()) +
               (every > 0 ? ", snapshots every " + std::to_string(every) + " s" : std::string()) +
               "; snapshot file " + fs::path(input).filename().string());
  put_text(ncid, NC_GLOBAL, "history", utc_now() + " " + command);
  put_text(ncid, NC_GLOBAL, "comment",
           "Values are the snapshot file's float32 values bit for bit. The model stores the last column and row "
           "of us, vs and dqdt and the border rows and columns of div and vort as zero.");
  put_scenario(ncid, layout);
  check(nc_enddef(ncid), "ending the definitions");
  return l;
}

void write_coordinates(int ncid, const Vars& l, const snap::Layout& layout) {
  std::vector<double> c(static_cast<std::size_t>(layout.nx()));
  for (std::size_t i = 0; i < c.size(); ++i) c[i] = layout.centre_m(static_cast<int>(i));
  check(nc_put_var_double(ncid, l.x_var, c.data()), "writing x");
  c.resize(static_cast<std::size_t>(layout.ny()));
  for (std::size_t j = 0; j < c.size(); ++j) c[j] = layout.centre_m(static_cast<int>(j));
  check(nc_put_var_double(ncid, l.y_var, c.data()), "writing y");
}

int convert(const std::string& input, const std::string& output, int deflate, const std::string& command,
            const snap::Layout& layout) {
  snap::FileSource source(input);
  std::error_code ec;
  if (fs::equivalent(input, output, ec)) {
    throw std::runtime_error("the output '" + output + "' is the input file");
  }
  PendingOutput pending(output);
  NcFile nc(pending.path(), static_cast<std::size_t>(layout.record_bytes()));
  const Vars vars = define(nc.id(), input, command, deflate, layout);
  write_coordinates(nc.id(), vars, layout);

  snap::Reader reader(source, layout.record_bytes(), layout.record_names());
  std::vector<float> values(reader.values_per_record());
  const std::string not_written = "; '" + output + "' not written";
  while (reader.next(values) == snap::Reader::Status::record) {
    const auto k = static_cast<std::size_t>(reader.snapshot());
    if (reader.snapshot() >= layout.snapshot_count()) {
      throw std::runtime_error("'" + input + "': " + snap::too_many_snapshots(layout) + not_written);
    }
    if (reader.field() == 0) {
      const double t = layout.snapshot_times_s[k];
      check(nc_put_var1_double(nc.id(), vars.time_var, &k, &t), "writing time");
    }
    const std::size_t start[3] = {k, 0, 0};
    const std::size_t count[3] = {1, static_cast<std::size_t>(layout.ny()), static_cast<std::size_t>(layout.nx())};
    check(nc_put_vara_float(nc.id(), vars.field_vars[static_cast<std::size_t>(reader.field())], start, count,
                            values.data()),
          "writing " + layout.fields[static_cast<std::size_t>(reader.field())].name + " of snapshot " +
              std::to_string(k));
  }
  if (reader.damage() == snap::Damage::other_record_size) {
    throw std::runtime_error("'" + input + "': " + snap::record_size_mismatch(reader.found_record_size(), layout) +
                             not_written);
  }
  if (reader.damage() != snap::Damage::none) {
    throw std::runtime_error("'" + input + "': damaged file (" + std::string(snap::damage_name(reader.damage())) +
                             ") " + reader.message() + not_written);
  }
  nc.close();
  pending.commit();
  const std::int64_t n = reader.complete_snapshots();
  std::printf("snap2nc: %lld snapshots (t = 0 .. %d s) written to %s\n", static_cast<long long>(n),
              layout.snapshot_times_s[static_cast<std::size_t>(n - 1)], output.c_str());
  return 0;
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "snap2nc: %s\n%s", message.c_str(), usage_text);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  int deflate = 1;
  snap::scenario_option scenario;
  std::string command = "snap2nc";
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    command += " " + arg;
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage_text, stdout);
      return 0;
    }
    bool took_scenario = false;
    try {
      took_scenario = scenario.take(argc, argv, a);
    } catch (const std::invalid_argument& e) {
      return usage_error(e.what());
    }
    if (took_scenario) {
      if (arg == "--scenario") command += " " + scenario.path;
    } else if (arg == "--deflate") {
      if (a + 1 >= argc) return usage_error("--deflate needs a level 0 to 9");
      const std::string level = argv[++a];
      command += " " + level;
      if (level.size() != 1 || level[0] < '0' || level[0] > '9') {
        return usage_error("--deflate needs a level 0 to 9, not '" + level + "'");
      }
      deflate = level[0] - '0';
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage_error("unknown option '" + arg + "'");
    } else if (arg.empty()) {
      return usage_error("a file name is empty");
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) return usage_error("expected an input FILE and an output OUT.nc");

  snap::Layout layout;
  try {
    layout = scenario.layout();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "snap2nc: %s\n", e.what());
    return 2;
  }

  std::signal(SIGINT, remove_pending_and_exit);
  std::signal(SIGTERM, remove_pending_and_exit);
  std::signal(SIGHUP, remove_pending_and_exit);
  try {
    return convert(files[0], files[1], deflate, command, layout);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "snap2nc: %s\n", e.what());
    return 1;
  }
}
