#include "snapshot/layout.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace plume::snapshot {

namespace {

// The shortest text that reads back as the same float: 1000, 1234.5, 0.1.
std::string float_text(float v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string duration_text(std::int32_t s) {
  if (s % 3600 == 0) return std::to_string(s / 3600) + " h";
  if (s % 60 == 0) return std::to_string(s / 60) + " min";
  return std::to_string(s) + " s";
}

const char* scenario_hint(const Layout& layout) {
  return layout.scenario_file.empty()
             ? "if it comes from a run of another scenario, give that scenario with --scenario FILE"
             : "give the scenario of the run that wrote it with --scenario FILE";
}

}  // namespace

std::vector<SnapshotField> snapshot_fields(const scenario& s) {
  std::vector<SnapshotField> fields;
  for (int k = 0; k < s.species_count(); ++k) {
    for (const auto& f : pollutant_fields) {
      std::string long_name(f.long_name);
      if (!s.species.empty()) long_name += " of species " + s.species[static_cast<std::size_t>(k)].name;
      fields.push_back({s.pollutant_field_name(f.name, k), long_name, f, k});
    }
  }
  for (const auto& f : flow_fields) fields.push_back({std::string(f.name), std::string(f.long_name), f, -1});
  return fields;
}

std::vector<std::string> Layout::record_names() const {
  std::vector<std::string> names;
  for (const auto& f : fields) names.push_back(f.name);
  return names;
}

std::string Layout::grid_text() const {
  return std::to_string(run.nx) + " x " + std::to_string(run.ny) + " cells of " + float_text(run.spacing_m) + " m";
}

std::string Layout::complete_run_text() const {
  const std::int64_t n = snapshot_count();
  return "a complete " + duration_text(run.duration_s) + " run has " + std::to_string(n) +
         (n == 1 ? " snapshot" : " snapshots");
}

Layout layout_of(const scenario& s, std::string origin) {
  const std::int64_t bytes = std::int64_t{4} * s.nx * s.ny;
  if (s.nx <= 0 || s.ny <= 0) throw std::runtime_error("the grid of " + origin + " has no cells");
  if (bytes > max_record_bytes) {
    throw std::runtime_error("the fields of " + origin + " (" + std::to_string(s.nx) + " x " + std::to_string(s.ny) +
                             ") hold " + std::to_string(bytes) + " bytes, more than the " +
                             std::to_string(max_record_bytes) +
                             " of one record; the tools do not read fields split into sub-records");
  }
  Layout l;
  l.run = s;
  l.snapshot_times_s = s.snapshot_passes();
  l.origin = std::move(origin);
  l.fields = snapshot_fields(s);
  return l;
}

Layout reference_layout() { return layout_of(scenario{}, "the reference case"); }

Layout scenario_layout(const std::string& path) {
  Layout l = layout_of(read_scenario(path), "the scenario " + path);
  l.scenario_file = path;
  return l;
}

bool scenario_option::take(int argc, char** argv, int& a) {
  const std::string arg = argv[a];
  constexpr std::string_view joined = "--scenario=";
  if (arg != "--scenario" && !arg.starts_with(joined)) return false;
  if (given) throw std::invalid_argument("--scenario given twice");
  if (arg == "--scenario") {
    if (a + 1 >= argc) throw std::invalid_argument("--scenario needs a scenario file");
    path = argv[++a];
  } else {
    path = arg.substr(joined.size());
  }
  if (path.empty()) throw std::invalid_argument("the scenario file name is empty");
  given = true;
  return true;
}

Layout scenario_option::layout() const { return given ? scenario_layout(path) : reference_layout(); }

bool is_netcdf_path(const std::string& path) { return path.size() > 3 && path.ends_with(".nc"); }

std::string record_size_mismatch(std::int32_t found_bytes, const Layout& layout) {
  return "its records hold " + std::to_string(found_bytes) + " bytes (a field of " + std::to_string(found_bytes / 4) +
         " float32 values), not the " + std::to_string(layout.record_bytes()) + " bytes of a field of " +
         std::to_string(layout.nx()) + " x " + std::to_string(layout.ny()) + " cells of " + layout.origin + "; " +
         scenario_hint(layout);
}

std::string too_many_snapshots(const Layout& layout) {
  const std::int64_t n = layout.snapshot_count();
  return "it holds more snapshots than the " + std::to_string(n) + " of " + layout.origin + " (t = 0 .. " +
         std::to_string(layout.snapshot_times_s.back()) + " s); " + scenario_hint(layout);
}

}  // namespace plume::snapshot
