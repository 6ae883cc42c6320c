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

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "driver/netcdf_contents.hpp"
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

// Removed by the signal handler when the conversion is interrupted.
char pending_path[4096] = {};

extern "C" void remove_pending_and_exit(int sig) {
  if (pending_path[0] != '\0') ::unlink(pending_path);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

using netcdf_contents::check;

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

void write_coordinates(int ncid, const netcdf_contents::variables& l, const snap::Layout& layout) {
  check(nc_put_var_double(ncid, l.x, netcdf_contents::cell_centres_m(layout.run, layout.nx()).data()), "writing x");
  check(nc_put_var_double(ncid, l.y, netcdf_contents::cell_centres_m(layout.run, layout.ny()).data()), "writing y");
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
  const netcdf_contents::variables vars = netcdf_contents::define(
      nc.id(), {layout.run,
                layout.scenario_file.empty() ? std::string("none: the reference case")
                                             : fs::path(layout.scenario_file).filename().string(),
                input,
                netcdf_contents::utc_now() + " " + command,
                deflate,
                std::nullopt,
                static_cast<std::size_t>(layout.snapshot_count()),
                {}});
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
      check(nc_put_var1_double(nc.id(), vars.time, &k, &t), "writing time");
    }
    const std::size_t start[3] = {k, 0, 0};
    const std::size_t count[3] = {1, static_cast<std::size_t>(layout.ny()), static_cast<std::size_t>(layout.nx())};
    check(
        nc_put_vara_float(nc.id(), vars.fields[static_cast<std::size_t>(reader.field())], start, count, values.data()),
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
