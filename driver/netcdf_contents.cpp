#include "driver/netcdf_contents.hpp"

#include <netcdf.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <span>
#include <utility>

#include "driver/snapshot_fields.hpp"

namespace netcdf_contents {

namespace {

constexpr const char* time_units = "seconds since 1970-01-01 00:00:00";

void put_text(int ncid, int varid, const char* name, std::string_view value) {
  check(nc_put_att_text(ncid, varid, name, value.size(), value.data()), std::string("writing attribute ") + name);
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

// The run's settings as global attributes named after the scenario's keys
// ([grid] nx -> grid_nx); the sources as one array per key, in the order
// the scenario lists them.
void put_scenario(int ncid, const description& d) {
  const scenario& s = d.run;
  put_text(ncid, NC_GLOBAL, "scenario", d.scenario_name);
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
std::string times_comment(const std::vector<std::int32_t>& t) {
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

}  // namespace

void check(int status, const std::string& what) {
  if (status != NC_NOERR) throw netcdf_error(what + ": " + nc_strerror(status));
}

std::vector<field_variable> field_variables(const scenario& s) {
  std::vector<field_variable> v;
  for (int k = 0; k < s.species_count(); ++k) {
    for (const snapshot_field_info& info : species_records) {
      const std::string_view comment = info.name == "q"
                                           ? "in the model's own concentration units, which have no physical scale"
                                           : "in the concentration units of q per second";
      std::string long_name(info.long_name);
      if (!s.species.empty()) long_name += " of species " + s.species[static_cast<std::size_t>(k)].name;
      v.push_back({s.pollutant_field_name(info.name, k), long_name, info.units, info.standard_name, comment});
    }
  }
  for (const snapshot_field_info& info : flow_records) {
    v.push_back({std::string(info.name), std::string(info.long_name), info.units, info.standard_name, ""});
  }
  return v;
}

std::array<std::size_t, 3> field_chunk(int nx, int ny) {
  const std::size_t row_bytes = static_cast<std::size_t>(nx) * sizeof(float);
  if (row_bytes <= chunk_bytes) {
    // As many bands as the largest band needs, of equal rows: the last
    // chunk, stored whole, holds few rows beyond the grid's.
    const std::size_t most = std::min(chunk_bytes / row_bytes, static_cast<std::size_t>(ny));
    const std::size_t bands = (static_cast<std::size_t>(ny) + most - 1) / most;
    return {1, (static_cast<std::size_t>(ny) + bands - 1) / bands, static_cast<std::size_t>(nx)};
  }
  const std::size_t pieces = (row_bytes + chunk_bytes - 1) / chunk_bytes;
  return {1, 1, (static_cast<std::size_t>(nx) + pieces - 1) / pieces};
}

std::array<std::size_t, 3> field_chunk(int nx, int ny, std::span<const int> band_starts) {
  const std::array<std::size_t, 3> one_band = field_chunk(nx, ny);
  const std::size_t row_bytes = static_cast<std::size_t>(nx) * sizeof(float);
  if (band_starts.empty() || row_bytes > chunk_bytes) return one_band;
  // Every band starts at a multiple of the chunk's rows when the rows divide
  // the greatest common divisor of the starts.
  std::size_t common = 0;
  for (const int start : band_starts) common = std::gcd(common, static_cast<std::size_t>(start));
  if (common == 0) return one_band;
  const std::size_t most = std::min(chunk_bytes / row_bytes, static_cast<std::size_t>(ny));
  std::size_t rows = std::min(most, common);
  while (common % rows != 0) --rows;
  // Cutting one band's chunks where the processes' bands start would add a
  // chunk per start; chunks that take more than that compress worse.
  const auto chunks_of = [ny](std::size_t band_rows) {
    return (static_cast<std::size_t>(ny) + band_rows - 1) / band_rows;
  };
  if (chunks_of(rows) > chunks_of(one_band[1]) + band_starts.size()) return one_band;
  return {1, rows, static_cast<std::size_t>(nx)};
}

std::size_t time_chunk(std::size_t times) { return std::clamp<std::size_t>(times, 1, 512); }

variables define(int ncid, const description& d) {
  const scenario& s = d.run;
  const std::vector<std::int32_t> times = s.snapshot_passes();
  variables l;
  int time_dim = -1, y_dim = -1, x_dim = -1;
  check(nc_def_dim(ncid, "time", NC_UNLIMITED, &time_dim), "defining time");
  check(nc_def_dim(ncid, "y", static_cast<std::size_t>(s.ny), &y_dim), "defining y");
  check(nc_def_dim(ncid, "x", static_cast<std::size_t>(s.nx), &x_dim), "defining x");

  l.time = def_coordinate(ncid, "time", time_dim, "time", "model time since the start of the run", time_units, "T");
  const std::size_t times_chunk = time_chunk(d.times);
  check(nc_def_var_chunking(ncid, l.time, NC_CHUNKED, &times_chunk), "chunking time");
  put_text(ncid, l.time, "calendar", "proleptic_gregorian");
  put_text(ncid, l.time, "comment",
           "The run has no calendar date: the reference date 1970-01-01 is nominal and only the elapsed "
           "model time is meaningful. " +
               times_comment(times));
  l.y = def_coordinate(ncid, "y", y_dim, "projection_y_coordinate", "y of the cell centre", "m", "Y");
  l.x = def_coordinate(ncid, "x", x_dim, "projection_x_coordinate", "x of the cell centre", "m", "X");
  // The cell centres, evenly spaced, compress to a small part of their
  // bytes: one chunk each, compressed as the fields are.
  for (const auto& [var, count] : {std::pair{l.y, s.ny}, std::pair{l.x, s.nx}}) {
    const auto chunk = static_cast<std::size_t>(count);
    check(nc_def_var_chunking(ncid, var, NC_CHUNKED, &chunk), "chunking the coordinates");
    if (d.deflate > 0) check(nc_def_var_deflate(ncid, var, 1, 1, d.deflate), "compressing the coordinates");
  }

  const int dims[3] = {time_dim, y_dim, x_dim};
  const std::array<std::size_t, 3> chunks = field_chunk(s.nx, s.ny, d.band_starts);
  for (const field_variable& info : field_variables(s)) {
    int var = -1;
    check(nc_def_var(ncid, info.name.c_str(), NC_FLOAT, 3, dims, &var), "defining " + info.name);
    check(nc_def_var_chunking(ncid, var, NC_CHUNKED, chunks.data()), "chunking " + info.name);
    if (d.deflate > 0) check(nc_def_var_deflate(ncid, var, 1, 1, d.deflate), "compressing " + info.name);
    // Every value is data: no fill value, so no reader masks any of them.
    check(nc_def_var_fill(ncid, var, NC_NOFILL, nullptr), "fill mode of " + info.name);
    put_text(ncid, var, "long_name", info.long_name);
    put_text(ncid, var, "units", info.units);
    if (!info.standard_name.empty()) put_text(ncid, var, "standard_name", info.standard_name);
    if (!info.comment.empty()) put_text(ncid, var, "comment", info.comment);
    l.fields.push_back(var);
  }

  put_text(ncid, NC_GLOBAL, "Conventions", "CF-1.10");
  put_text(ncid, NC_GLOBAL, "title", "plume: a pollutant carried by a two-dimensional flow");
  const std::int64_t every = times.size() > 1 ? times[1] : 0;
  const std::string from = d.snapshot_file.empty()
                               ? std::string()
                               : "; snapshot file " + std::filesystem::path(d.snapshot_file).filename().string();
  put_text(ncid, NC_GLOBAL, "source",
           "plume batch simulation, " + std::to_string(s.nx) + " x " + std::to_string(s.ny) + " cells of " +
               km_text(static_cast<double>(s.spacing_m)) +
               (every > 0 ? ", snapshots every " + std::to_string(every) + " s" : std::string()) + from);
  put_text(ncid, NC_GLOBAL, "history", d.history);
  put_text(ncid, NC_GLOBAL, "comment",
           std::string(d.snapshot_file.empty() ? "Values are the model's float32 values bit for bit, those its "
                                                 "snapshot file would hold."
                                               : "Values are the snapshot file's float32 values bit for bit.") +
               " The model stores the last column and row of us, vs and dqdt and the border rows and columns of "
               "div and vort as zero.");
  if (d.place) {
    put_text(ncid, NC_GLOBAL, "program", d.place->program);
    put_ints(ncid, "snapshot_number", std::array{d.place->number});
    put_ints(ncid, "snapshot_count", std::array{d.place->count});
  }
  put_scenario(ncid, d);
  check(nc_enddef(ncid), "ending the definitions");
  return l;
}

std::vector<double> cell_centres_m(const scenario& s, int count) {
  const auto spacing = static_cast<double>(s.spacing_m);
  std::vector<double> c(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < c.size(); ++i) c[i] = spacing * static_cast<double>(i) + spacing / 2.0;
  return c;
}

}  // namespace netcdf_contents
