#pragma once
// A scenario: the settings of one run of the model that a user may choose
// (the grid, the run length and cadences, the wind, the emissions and the
// point sources). Every member defaults to the reference case, so a
// default-constructed scenario is the reference run.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// One point source: a cone of the given peak and radius around (x_m, y_m),
// emitted into the pollutant of species number `species` (0 when the
// scenario declares no species).
struct point_source {
  float x_m = 0.0f;
  float y_m = 0.0f;
  float radius_m = 2000.0f;
  float peak = 1.0f;
  std::int32_t species = 0;
  bool operator==(const point_source&) const = default;
};

// One declared pollutant ([[species]]): its name (letters, digits and _,
// starting with a letter, at most longest_species_name of them) and its
// emission schedule.
struct species_info {
  std::string name;
  std::int32_t first_s = 43200;
  float every_s = 3600.0f;
  bool operator==(const species_info&) const = default;
};

// The longest species name: its fields' names (pollutant_field_name, the
// longest "dqdt_NAME") are then at most 255 characters, so that every output
// can carry them. NetCDF takes variable names of up to 256, but reads one of
// exactly 256 back with a stray character after it.
inline constexpr std::size_t longest_species_name = 250;

struct scenario {
  // [grid]: interior points i = 1..nx, j = 1..ny; dx = dy = spacing_m.
  std::int32_t nx = 401;
  std::int32_t ny = 401;
  float spacing_m = 1000.0f;
  // [time]: passes n = 0 .. duration_s, one second each.
  std::int32_t duration_s = 57600;
  std::int32_t progress_every = 100;
  float snapshot_every_s = 1800.0f;
  // [wind]: the initial wind and the east inflow.
  float wind_speed_m_s = 6.0f;
  float wind_towards_deg = 120.0f;
  // [emission]
  std::int32_t emission_first_s = 43200;
  float emission_every_s = 3600.0f;
  // [[source]], in the order their patterns are summed.
  std::vector<point_source> sources{{10000.0f, 200000.0f, 2000.0f, 1.0f, 0}, {180000.0f, 200000.0f, 2000.0f, 1.0f, 0}};
  // [[species]], in the order declared. Empty: the run carries one pollutant,
  // unnamed, on the [emission] schedule, and every source feeds it.
  std::vector<species_info> species;

  // The number of pollutants the run carries: one when none is declared.
  int species_count() const noexcept { return species.empty() ? 1 : static_cast<int>(species.size()); }
  // The name of a pollutant field of species k ("q" or "dqdt"): the field
  // itself when no species is declared, otherwise FIELD_NAME ("q_so2").
  std::string pollutant_field_name(std::string_view field, int k) const {
    return species.empty() ? std::string(field) : std::string(field) + "_" + species[static_cast<std::size_t>(k)].name;
  }

  // The passes that write a snapshot: n = 0 .. duration_s with
  // fmod(float(n), snapshot_every_s) == 0, in order.
  std::vector<std::int32_t> snapshot_passes() const;

  // The wind's components as the model takes them, each operation in single
  // precision: speed x cos(towards x (pi / 180)) and speed x sin(...), pi
  // the float nearest it. The reference gives the bits C0400002 and 40A646E1.
  float wind_u() const noexcept;
  float wind_v() const noexcept;

  bool operator==(const scenario&) const = default;
};

// A scenario file that cannot be used. what() is "FILE:LINE:COLUMN: what is
// wrong" (or "FILE: what is wrong" where no position applies).
class scenario_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads and checks a TOML scenario file; keys left out keep the reference
// values. Throws scenario_error; touches no file but the one it reads.
// If grid_position is given, it receives "FILE:LINE:COLUMN" of the [grid]
// table, or "" when the file has none (for messages about the grid's size).
scenario read_scenario(const std::string& path, std::string* grid_position = nullptr);

// The same checks of a scenario given as text; `name` stands for the file in
// the messages.
scenario parse_scenario(std::string_view text, const std::string& name, std::string* grid_position = nullptr);

// The scenario as a TOML text that read_scenario turns back into the same
// scenario, every key written out.
std::string scenario_toml(const scenario& s);
