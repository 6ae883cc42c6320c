#include "driver/netcdf_series.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <utility>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "decomposition/process_group.hpp"
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

}  // namespace

bool is_netcdf_output(const std::string& path) { return path.ends_with(netcdf_suffix); }

std::string series_names::file(int k) const {
  std::string number = std::to_string(k);
  if (number.size() < static_cast<std::size_t>(digits))
    number.insert(0, static_cast<std::size_t>(digits) - number.size(), '0');
  return stem + "_" + number + std::string(netcdf_suffix);
}

std::string series_names::temporary() const { return stem + std::string(netcdf_suffix) + ".tmp"; }

series_names series_names_of(const std::string& path, int snapshots) {
  return {path.substr(0, path.size() - netcdf_suffix.size()), std::max(4, digits_of(std::max(0, snapshots - 1)))};
}

namespace {

// The record's bytes: the number of files (8), the last one's length (8)
// and CRC-32 (4), and the compression level (1), which an earlier version
// did not record.
constexpr std::size_t series_output_bytes = 21;
constexpr std::size_t series_output_bytes_without_level = 20;
constexpr int highest_deflate = 9;

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
  put_le(o.bytes, static_cast<std::uint64_t>(r.deflate.value_or(default_deflate)), 1);
  return o;
}

std::optional<series_record> series_record_of(const checkpoint_output& o) {
  if (o.kind != output_netcdf_series ||
      (o.bytes.size() != series_output_bytes && o.bytes.size() != series_output_bytes_without_level)) {
    return std::nullopt;
  }
  const std::uint64_t files = get_le(o.bytes, 0, 8);
  // A run has at most one snapshot per pass, 2^24 + 1 of them.
  if (files > (std::uint64_t{1} << 24) + 1) return std::nullopt;
  series_record r{static_cast<std::int32_t>(files),
                  {get_le(o.bytes, 8, 8), static_cast<std::uint32_t>(get_le(o.bytes, 16, 4))},
                  std::nullopt};
  if (o.bytes.size() == series_output_bytes) {
    const std::uint64_t level = get_le(o.bytes, 20, 1);
    if (level > highest_deflate) return std::nullopt;
    r.deflate = static_cast<int>(level);
  }
  return r;
}

int deflate_level(const netcdf_settings& settings, const std::optional<series_record>& restarted) {
  if (settings.deflate) return *settings.deflate;
  if (restarted && restarted->deflate) return *restarted->deflate;
  return default_deflate;
}

series_record record_of(const series_names& names, int files) {
  series_record r{files, {}, std::nullopt};
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

void remove_series_files(const series_names& names, const std::string& path, int first) {
  processes::together([&] {
    if (processes::rank() != 0) return;
    const std::string temporary = names.temporary();
    if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
      throw run_failure(system_reason("cannot replace " + temporary, errno));
    }
    const fs::path parent = fs::path(path).parent_path();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(parent.empty() ? fs::path(".") : parent, ec)) {
      if (series_number(names, entry.path().filename().string()) < first) continue;
      if (::unlink(entry.path().c_str()) != 0 && errno != ENOENT) {
        throw run_failure(system_reason("cannot remove " + entry.path().string(), errno));
      }
    }
    if (ec) throw run_failure("cannot read the directory of " + path + ": " + ec.message());
  });
}

std::unique_ptr<snapshot_writer> open_netcdf_series(const std::string& path, const scenario& s,
                                                    const netcdf_settings& settings, int first) {
  // The writer and the NetCDF libraries are loaded only by a run that
  // writes NetCDF: the others start as fast, and under as tight a memory
  // limit, as a program without them.
  std::error_code ec;
  // Beside the program in a build tree; where the install puts it otherwise.
  const fs::path folder = fs::read_symlink("/proc/self/exe", ec).parent_path();
  fs::path beside = folder / PLUME_NETCDF_WRITER;
  if (!fs::exists(beside, ec)) beside = folder / PLUME_NETCDF_WRITER_INSTALLED / PLUME_NETCDF_WRITER;
  void* module = ::dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) throw run_failure(std::string("cannot load the NetCDF writer: ") + ::dlerror());
  using opener = snapshot_writer* (*)(const std::string&, const scenario&, const netcdf_settings&, int);
  const auto open = reinterpret_cast<opener>(::dlsym(module, "plume_open_netcdf_series"));
  if (open == nullptr) throw run_failure("cannot load the NetCDF writer " + beside.string() + ": " + ::dlerror());
  return std::unique_ptr<snapshot_writer>(open(path, s, settings, first));
}
