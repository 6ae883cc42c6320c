// The shape of a snapshot file, which the file itself does not record: the
// grid of its fields, their spacing, the model time of each snapshot and the
// run's sources. All of it follows from the scenario of the run that wrote
// the file; without one, the tools assume the reference case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/scenario.hpp"
#include "snapshot/snapshot_file.hpp"

namespace plume::snapshot {

// One record of a snapshot of a given run: a pollutant field of one species
// or a field of the flow.
struct SnapshotField {
  std::string name;       // "q", "q_so2", "h"
  std::string long_name;  // names the species when the run declares species
  FieldInfo quantity;     // what is stored: q, dqdt, h, us, vs, div or vort
  int species = -1;       // the species of a pollutant field; -1 for the flow

  bool is_pollutant(std::string_view field) const { return species >= 0 && quantity.name == field; }
};

// The records of one snapshot of a run of scenario s, in the order written:
// q and dqdt of each species in the order declared, then h, us, vs, div,
// vort. With no species declared: q, dqdt, h, us, vs, div, vort.
std::vector<SnapshotField> snapshot_fields(const scenario& s);

struct Layout {
  scenario run;  // the run's settings, as the scenario gives them
  // Model time in seconds of snapshot k: the passes that write one.
  std::vector<std::int32_t> snapshot_times_s;
  // What the layout comes from, for messages: "the reference case" or
  // "the scenario FILE".
  std::string origin;
  // The scenario file, empty for the reference case.
  std::string scenario_file;
  // The records of one snapshot, in the order written.
  std::vector<SnapshotField> fields;

  int nx() const { return run.nx; }
  int ny() const { return run.ny; }
  double spacing_m() const { return static_cast<double>(run.spacing_m); }
  std::int64_t snapshot_count() const { return static_cast<std::int64_t>(snapshot_times_s.size()); }
  std::size_t values_per_field() const { return static_cast<std::size_t>(run.nx) * static_cast<std::size_t>(run.ny); }
  // Data bytes of one record: one field of float32 values.
  std::int32_t record_bytes() const { return static_cast<std::int32_t>(4 * values_per_field()); }
  std::int64_t snapshot_bytes() const {
    return (std::int64_t{record_bytes()} + 8) * static_cast<std::int64_t>(fields.size());
  }
  // The fields' names in order, as the Reader takes them.
  std::vector<std::string> record_names() const;
  // x or y in metres of the centre of the cell with the given index from 0
  // (i - 1 for the model's i = 1..nx): spacing x index + spacing / 2.
  double centre_m(int index) const { return spacing_m() * index + spacing_m() / 2.0; }
  // "401 x 401 cells of 1000 m"
  std::string grid_text() const;
  // "a complete 16 h run has 33 snapshots"
  std::string complete_run_text() const;
};

// The largest field the tools read: a record whose data fits one length
// marker. The program splits larger ones into sub-records.
inline constexpr std::int64_t max_record_bytes = 2147483639;

// The layout of a run of scenario s; origin as in Layout. Throws
// std::runtime_error when the fields are too large for one record.
Layout layout_of(const scenario& s, std::string origin);

// The reference case: 401 x 401 cells of 1000 m, 33 snapshots every 1800 s.
Layout reference_layout();

// The layout of a run of the scenario file `path`. Throws scenario_error
// ("FILE:LINE:COLUMN: what is wrong") for a file the program would refuse,
// std::runtime_error for fields too large for the tools.
Layout scenario_layout(const std::string& path);

// The tools' option --scenario FILE (or --scenario=FILE), at argv[a].
struct scenario_option {
  std::string path;
  bool given = false;

  // Takes the option if argv[a] is it, stepping a past a separate FILE;
  // returns false if argv[a] is something else. Throws std::invalid_argument
  // with the usage message for a second --scenario, a missing or empty FILE.
  bool take(int argc, char** argv, int& a);

  // The layout the option asks for: the scenario's, or the reference case.
  // Throws as scenario_layout does.
  Layout layout() const;
};

// Whether a path names a NetCDF file (it ends in ".nc"), such as a file of
// the series a run writes with --output run.nc, rather than a snapshot file.
bool is_netcdf_path(const std::string& path);

// The message for a file whose first record holds found_bytes instead of the
// layout's record size: names both and points to --scenario.
std::string record_size_mismatch(std::int32_t found_bytes, const Layout& layout);

// The message for a file that holds more snapshots than the layout has times.
std::string too_many_snapshots(const Layout& layout);

}  // namespace plume::snapshot
