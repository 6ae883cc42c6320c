// The layout of a snapshot file: the reference case's figures, a small
// scenario's grid and snapshot times, and fields too large for the tools.
// (The messages for a file that does not fit are checked through the tools.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "snapshot/layout.hpp"

namespace snap = plume::snapshot;
namespace fs = std::filesystem;

namespace {

std::vector<std::int32_t> every(std::int32_t step, std::int32_t last) {
  std::vector<std::int32_t> t;
  for (std::int32_t n = 0; n <= last; n += step) t.push_back(n);
  return t;
}

}  // namespace

TEST(Layout, ReferenceCase) {
  const snap::Layout l = snap::reference_layout();
  EXPECT_EQ(l.nx(), 401);
  EXPECT_EQ(l.ny(), 401);
  EXPECT_EQ(l.record_bytes(), 643204);
  EXPECT_EQ(l.snapshot_bytes(), 4502484);
  EXPECT_EQ(l.snapshot_times_s, every(1800, 57600));
  EXPECT_EQ(l.centre_m(0), 500.0);
  EXPECT_EQ(l.centre_m(400), 400500.0);
  EXPECT_EQ(l.run.sources.size(), 2u);
  EXPECT_EQ(l.grid_text(), "401 x 401 cells of 1000 m");
  EXPECT_EQ(l.complete_run_text(), "a complete 16 h run has 33 snapshots");
  EXPECT_EQ(l.origin, "the reference case");
  EXPECT_EQ(l.scenario_file, "");
}

TEST(Layout, FollowsTheScenarioFile) {
  const fs::path dir = fs::temp_directory_path() / ("layout_test_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string path = (dir / "small.toml").string();
  // A cadence of 1012.5 s: the passes whose float time it divides exactly are
  // the multiples of 2025.
  std::ofstream(path) << "[grid]\nnx = 61\nny = 41\nspacing_m = 2500.0\n"
                         "[time]\nduration_s = 7500\nsnapshot_every_s = 1012.5\n"
                         "[[source]]\nx_m = 20000.0\ny_m = 40000.0\n"
                         "[[source]]\nx_m = 60000.0\ny_m = 20000.0\n"
                         "[[source]]\nx_m = 100000.0\ny_m = 60000.0\n";
  const snap::Layout l = snap::scenario_layout(path);
  EXPECT_EQ(l.record_bytes(), 61 * 41 * 4);
  EXPECT_EQ(l.values_per_field(), 2501u);
  EXPECT_EQ(l.snapshot_times_s, (std::vector<std::int32_t>{0, 2025, 4050, 6075}));
  EXPECT_EQ(l.centre_m(0), 1250.0);
  EXPECT_EQ(l.centre_m(60), 151250.0);
  EXPECT_EQ(l.run.sources.size(), 3u);
  EXPECT_EQ(l.grid_text(), "61 x 41 cells of 2500 m");
  EXPECT_EQ(l.complete_run_text(), "a complete 125 min run has 4 snapshots");
  EXPECT_EQ(l.origin, "the scenario " + path);

  // A scenario the program refuses is refused here too, with its position.
  std::ofstream(path) << "[grid]\nnx = 61\nnxx = 41\n";
  try {
    snap::scenario_layout(path);
    ADD_FAILURE() << "no error for an unknown key";
  } catch (const scenario_error& e) {
    EXPECT_EQ(std::string(e.what()), path + ":3:1: unknown key 'nxx' in [grid]; its keys are nx, ny, spacing_m");
  }
  fs::remove_all(dir);
}

TEST(Layout, RefusesFieldsTooLargeForOneRecord) {
  scenario s;
  s.nx = 23171;  // 4 x 23171 x 23171 = 2147580964 bytes
  s.ny = 23171;
  try {
    snap::layout_of(s, "the scenario big.toml");
    ADD_FAILURE() << "no error for fields split into sub-records";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "the fields of the scenario big.toml (23171 x 23171) hold 2147580964 bytes, more than the 2147483639 of "
              "one record; the tools do not read fields split into sub-records");
  }
  s.ny = 23170;  // 2147488280 bytes: still too many
  EXPECT_THROW(snap::layout_of(s, "x"), std::runtime_error);
  s.nx = 23170;  // 2147395600 bytes: one record
  EXPECT_EQ(snap::layout_of(s, "x").record_bytes(), 2147395600);
}

// With species declared, a snapshot holds q and dqdt of each species in the
// order declared, then the five fields of the flow; without, today's seven.
TEST(Layout, RecordsFollowTheSpecies) {
  const snap::Layout one = snap::reference_layout();
  EXPECT_EQ(one.record_names(), (std::vector<std::string>{"q", "dqdt", "h", "us", "vs", "div", "vort"}));
  EXPECT_EQ(one.record_names(), snap::one_species_record_names());
  EXPECT_EQ(one.fields[0].long_name, "pollutant concentration");
  EXPECT_EQ(one.fields[1].long_name, "tendency of pollutant concentration");
  EXPECT_TRUE(one.fields[0].is_pollutant("q"));
  EXPECT_FALSE(one.fields[0].is_pollutant("dqdt"));
  EXPECT_FALSE(one.fields[2].is_pollutant("q"));

  scenario s;
  s.species = {{"so2", 43200, 3600.0f}, {"nox", 0, 900.0f}, {"x1", 10, 60.0f}};
  s.sources = {{10000.0f, 200000.0f, 2000.0f, 1.0f, 2},
               {180000.0f, 200000.0f, 2000.0f, 1.0f, 0},
               {100000.0f, 100000.0f, 2000.0f, 1.0f, 1}};
  const snap::Layout three = snap::layout_of(s, "the scenario three.toml");
  EXPECT_EQ(three.record_names(), (std::vector<std::string>{"q_so2", "dqdt_so2", "q_nox", "dqdt_nox", "q_x1", "dqdt_x1",
                                                            "h", "us", "vs", "div", "vort"}));
  EXPECT_EQ(three.snapshot_bytes(), 11 * (643204 + 8));
  EXPECT_EQ(three.fields[2].long_name, "pollutant concentration of species nox");
  EXPECT_EQ(three.fields[5].long_name, "tendency of pollutant concentration of species x1");
  EXPECT_EQ(three.fields[6].long_name, "layer height");
  for (std::size_t f = 0; f < three.fields.size(); ++f) {
    const auto& field = three.fields[f];
    EXPECT_EQ(field.species, f < 6 ? static_cast<int>(f / 2) : -1) << field.name;
    EXPECT_EQ(field.quantity.name, snap::one_species_record_names()[f < 6 ? f % 2 : f - 4]) << field.name;
  }
  EXPECT_EQ(three.fields[4].quantity.units, "1");
  EXPECT_EQ(three.fields[7].quantity.standard_name, "x_wind");
}
