#include "driver/netcdf_series.hpp"

#include <netcdf.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "decomposition/process_group.hpp"
#include "decomposition/test_fault.hpp"
#include "driver/file_sync.hpp"
#include "driver/netcdf_open.hpp"
#include "grid/domain.hpp"
#include "grid/failure.hpp"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view netcdf_suffix = ".nc";

int digits_of(int n) {
  int d = 1;
  for (; n >= 10; n /= 10) ++d;
  return d;
}

// The snapshot number of `name` if it is a file of the series (stem_k.nc
// with k of exactly names.digits digits), else -1.
int series_number(const series_names& names, const std::string& name) {
  const std::string prefix = fs::path(names.stem).filename().string() + "_";
  const std::size_t width = prefix.size() + static_cast<std::size_t>(names.digits) + netcdf_suffix.size();
  if (name.size() != width || !name.starts_with(prefix) || !name.ends_with(netcdf_suffix)) return -1;
  int k = 0;
  for (std::size_t i = prefix.size(); i < prefix.size() + static_cast<std::size_t>(names.digits); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    k = k * 10 + (name[i] - '0');
  }
  return k;
}

// The length and CRC-32 of the file at `path`; the reason it cannot be read
// in `problem`.
byte_digest file_digest(const std::string& path, std::string& problem) {
  byte_digest d;
  std::FILE* f = std::fopen(path.c_str(), "rbe");
  if (f == nullptr) {
    problem = std::strerror(errno);
    return d;
  }
  std::vector<unsigned char> buffer(std::size_t{1} << 20);
  std::size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) d.add(buffer.data(), n);
  if (std::ferror(f)) problem = std::strerror(EIO);
  std::fclose(f);
  return d;
}

std::string hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

// A NetCDF file being written by every process together; abandoned by all
// of them (a collective under MPI) unless it was closed.
class open_netcdf {
 public:
  open_netcdf() = default;
  open_netcdf(const open_netcdf&) = delete;
  open_netcdf& operator=(const open_netcdf&) = delete;
  ~open_netcdf() {
    if (id_ >= 0) nc_abort(id_);
  }
  void create(const std::string& path) {
    netcdf_contents::check(create_shared_netcdf(path, &id_), "cannot create " + path);
  }
  int id() const noexcept { return id_; }
  void close(const std::string& path) { finish_shared_netcdf(std::exchange(id_, -1), path); }

 private:
  int id_ = -1;
};

// Runs a step of writing a file on every process together: a failure of the
// NetCDF library (which names the file) is the run's failure.
template <class What>
void write_step(What&& what) {
  processes::together([&] {
    try {
      what();
    } catch (const netcdf_contents::netcdf_error& e) {
      throw run_failure(e.what());
    }
  });
}

}  // namespace

bool is_netcdf_output(const std::string& path) { return path.ends_with(netcdf_suffix); }

std::string series_names::file(int k) const {
  std::string number = std::to_string(k);
  if (number.size() < static_cast<std::size_t>(digits)) number.insert(0, static_cast<std::size_t>(digits) - number.size(), '0');
  return stem + "_" + number + std::string(netcdf_suffix);
}

std::string series_names::temporary() const { return stem + std::string(netcdf_suffix) + ".tmp"; }

series_names series_names_of(const std::string& path, int snapshots) {
  return {path.substr(0, path.size() - netcdf_suffix.size()), std::max(4, digits_of(std::max(0, snapshots - 1)))};
}

namespace {

constexpr std::size_t series_output_bytes = 20;

void put_le(std::string& out, std::uint64_t value, int bytes) {
  for (int k = 0; k < bytes; ++k) out.push_back(static_cast<char>(value >> (8 * k)));
}

std::uint64_t get_le(const std::string& in, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int k = bytes - 1; k >= 0; --k) v = v << 8 | static_cast<unsigned char>(in[at + static_cast<std::size_t>(k)]);
  return v;
}

}  // namespace

checkpoint_output series_output(const series_record& r) {
  checkpoint_output o{output_netcdf_series, {}};
  put_le(o.bytes, static_cast<std::uint64_t>(r.files), 8);
  put_le(o.bytes, r.last.length, 8);
  put_le(o.bytes, r.last.crc, 4);
  return o;
}

std::optional<series_record> series_record_of(const checkpoint_output& o) {
  if (o.kind != output_netcdf_series || o.bytes.size() != series_output_bytes) return std::nullopt;
  const std::uint64_t files = get_le(o.bytes, 0, 8);
  // A run has at most one snapshot per pass, 2^24 + 1 of them.
  if (files > (std::uint64_t{1} << 24) + 1) return std::nullopt;
  return series_record{static_cast<std::int32_t>(files),
                       {get_le(o.bytes, 8, 8), static_cast<std::uint32_t>(get_le(o.bytes, 16, 4))}};
}

series_record record_of(const series_names& names, int files) {
  series_record r{files, {}};
  std::string found;
  if (processes::rank() == 0 && files > 0) {
    std::string problem;
    r.last = file_digest(names.file(files - 1), problem);
    if (!problem.empty()) found = "cannot read " + names.file(files - 1) + ": " + problem;
  }
  processes::together([&] {
    if (!found.empty()) throw run_failure(found);
  });
  return r;
}

std::string series_problem(const series_names& names, const series_record& kept) {
  for (int k = 0; k < kept.files; ++k) {
    std::error_code ec;
    const fs::file_status st = fs::status(names.file(k), ec);
    if (!fs::exists(st)) return names.file(k) + ": a file of the series is missing";
    if (!fs::is_regular_file(st)) return names.file(k) + ": a file of the series is not a regular file";
  }
  if (kept.files == 0) return "";
  const std::string last = names.file(kept.files - 1);
  std::string problem;
  const byte_digest found = file_digest(last, problem);
  if (!problem.empty()) return last + ": cannot read the last file of the series: " + problem;
  if (found != kept.last) {
    return last + ": the last file of the series is not the one recorded (" + std::to_string(found.length) +
           " bytes, CRC-32 " + hex(found.crc) + ", not " + std::to_string(kept.last.length) + " bytes, CRC-32 " +
           hex(kept.last.crc) + ")";
  }
  return "";
}

netcdf_series::netcdf_series(std::string path, const scenario& s, const netcdf_settings& settings, int first)
    : path_(std::move(path)),
      times_(s.snapshot_passes()),
      names_(series_names_of(path_, static_cast<int>(times_.size()))),
      description_{s, settings.scenario_name, "", settings.history, settings.deflate,
                   netcdf_contents::series_place{0, static_cast<int>(times_.size()), settings.program}, 1},
      next_(first) {
  using namespace domain;
  processes::together([&] {
    if (snapshot_arrays().size() != netcdf_contents::field_variables(s).size()) {
      throw run_failure("the NetCDF output holds " + std::to_string(netcdf_contents::field_variables(s).size()) +
                        " fields per snapshot, the model " + std::to_string(snapshot_arrays().size()));
    }
    try {
      block_.resize(static_cast<std::size_t>(ipe - ips + 1) * static_cast<std::size_t>(jpe - jps + 1));
    } catch (const std::bad_alloc&) {
      throw run_failure(system_reason("cannot allocate the output buffer of " + path_, ENOMEM));
    }
  });
  // What an earlier run left from here on is not this run's.
  processes::together([&] {
    if (processes::rank() != 0) return;
    const std::string temporary = names_.temporary();
    if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
      throw run_failure(system_reason("cannot replace " + temporary, errno));
    }
    const fs::path parent = fs::path(path_).parent_path();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(parent.empty() ? fs::path(".") : parent, ec)) {
      if (series_number(names_, entry.path().filename().string()) < first) continue;
      if (::unlink(entry.path().c_str()) != 0 && errno != ENOENT) {
        throw run_failure(system_reason("cannot remove " + entry.path().string(), errno));
      }
    }
    if (ec) throw run_failure("cannot read the directory of " + path_ + ": " + ec.message());
  });
}

void netcdf_series::write() {
  using namespace domain;
  const std::string temporary = names_.temporary();
  const std::string final_name = names_.file(next_);
  const long long visit = ++writes_;
  description_.place->number = next_;
  const std::vector<const float*> fields = snapshot_arrays();
  const std::size_t columns = static_cast<std::size_t>(ipe - ips + 1);
  const std::size_t rows = static_cast<std::size_t>(jpe - jps + 1);
  const bool writes_coordinates = processes::rank() == 0;
  const scenario& s = description_.run;

  processes::together([&] { processes::test_fault("netcdf-open", visit); });
  try {
    open_netcdf file;
    netcdf_contents::variables v;
    write_step([&] { file.create(temporary); });
    write_step([&] {
      v = netcdf_contents::define(file.id(), description_);
      for (int var : {v.time, v.x, v.y}) netcdf_contents::check(write_collectively(file.id(), var), "cannot write " + temporary);
      for (int var : v.fields) netcdf_contents::check(write_collectively(file.id(), var), "cannot write " + temporary);
    });
    processes::together([&] { processes::test_fault("netcdf-write", visit); });
    write_step([&] {
      // Every process takes part in every collective write, whatever the
      // ones before did on it; the first failure is reported after them.
      int status = NC_NOERR;
      const auto keep = [&status](int s) {
        if (status == NC_NOERR) status = s;
      };
      const std::size_t zero = 0, one = writes_coordinates ? 1 : 0;
      const double t = static_cast<double>(times_[static_cast<std::size_t>(next_)]);
      keep(nc_put_vara_double(file.id(), v.time, &zero, &one, &t));
      const std::vector<double> xs = netcdf_contents::cell_centres_m(s, s.nx);
      const std::vector<double> ys = netcdf_contents::cell_centres_m(s, s.ny);
      const std::size_t nx = writes_coordinates ? xs.size() : 0, ny = writes_coordinates ? ys.size() : 0;
      keep(nc_put_vara_double(file.id(), v.x, &zero, &nx, xs.data()));
      keep(nc_put_vara_double(file.id(), v.y, &zero, &ny, ys.data()));
      const std::size_t start[3] = {0, static_cast<std::size_t>(jps - jds), static_cast<std::size_t>(ips - ids)};
      const std::size_t count[3] = {1, rows, columns};
      for (std::size_t f = 0; f < fields.size(); ++f) {
        for (std::size_t r = 0; r < rows; ++r) {
          const float* row = fields[f] + at(ips, jps + static_cast<int>(r), ims, ime, jms);
          std::copy(row, row + columns, block_.data() + r * columns);
        }
        keep(nc_put_vara_float(file.id(), v.fields[f], start, count, block_.data()));
      }
      netcdf_contents::check(status, "cannot write " + temporary);
    });
    write_step([&] { file.close(temporary); });
  } catch (...) {
    if (processes::rank() == 0) ::unlink(temporary.c_str());
    throw;
  }
  // The file is complete; it takes its name once every process agrees.
  try {
    processes::together([&] { processes::test_fault("netcdf-rename", visit); });
    processes::together([&] {
      if (processes::rank() != 0) return;
      sync_file(temporary);
      if (::rename(temporary.c_str(), final_name.c_str()) != 0) {
        throw run_failure(system_reason("cannot rename " + temporary + " to " + final_name, errno));
      }
    });
  } catch (...) {
    if (processes::rank() == 0) ::unlink(temporary.c_str());
    throw;
  }
  processes::together([&] {
    if (processes::rank() == 0) sync_directory(final_name);
  });
  ++next_;
}
