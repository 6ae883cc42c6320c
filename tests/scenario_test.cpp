// The scenario reader: every class of bad file is refused with its position
// and reason, a file written out in full reads back to the same scenario,
// and the reference case's derived values have the reference bits.
#include "support/reference_case.hpp"
#include "driver/scenario.hpp"

#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class scenario_files : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("plume_scenario_test_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& text, const std::string& name = "case.toml") const {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }
  // The message of the refusal, with the file's path replaced by FILE.
  std::string refusal(const std::string& path) const {
    try {
      read_scenario(path);
    } catch (const scenario_error& e) {
      std::string m = e.what();
      if (m.rfind(path, 0) == 0) m = "FILE" + m.substr(path.size());
      return m;
    }
    return "accepted";
  }

  fs::path dir_;
};

struct bad_case {
  const char* name;
  const char* text;
  const char* message;  // the whole message: ".+" stands for any text, "\\x" for the character x
};

// True if the text matches the pattern of a bad_case message.
bool matches(std::string_view text, std::string_view pattern) {
  if (pattern.empty()) return text.empty();
  if (pattern.starts_with(".+")) {
    for (std::size_t n = 1; n <= text.size(); ++n) {
      if (matches(text.substr(n), pattern.substr(2))) return true;
    }
    return false;
  }
  std::size_t width = 1;
  if (pattern[0] == '\\' && pattern.size() > 1) width = 2;
  return !text.empty() && text[0] == pattern[width - 1] && matches(text.substr(1), pattern.substr(width));
}

class bad_scenario : public scenario_files, public testing::WithParamInterface<bad_case> {};

TEST_P(bad_scenario, IsRefusedWithItsPositionAndReason) {
  const bad_case& c = GetParam();
  const std::string m = refusal(write(c.text));
  EXPECT_TRUE(matches(m, c.message)) << m;
}

INSTANTIATE_TEST_SUITE_P(
    EveryClass, bad_scenario,
    testing::Values(
        bad_case{"NotToml", "[grid]\nnx = = 3\n", R"(FILE:2:6: not a TOML file: .+)"},
        bad_case{
            "UnknownTable", "[grid]\nnx = 61\n\n[grd]\nny = 3\n",
            R"(FILE:4:2: unknown table \[grd\]; the tables are \[grid\], \[time\], \[wind\], \[emission\], \[\[source\]\] and \[\[species\]\])"},
        bad_case{"UnknownTopLevelKey", "duration_s = 5\n", R"(FILE:1:1: unknown key 'duration_s'; .+)"},
        bad_case{
            "UnknownKey", "[time]\nduration_s = 7200\nduraton_s = 3600\n",
            R"(FILE:3:1: unknown key 'duraton_s' in \[time\]; its keys are duration_s, progress_every, snapshot_every_s)"},
        bad_case{"UnknownSourceKey", "[[source]]\nx_m = 1.0\ny_m = 2.0\nradius = 3.0\n",
                 R"(FILE:4:1: unknown key 'radius' in \[source\]; its keys are x_m, y_m, radius_m, peak, species)"},
        bad_case{"FloatForInteger", "[grid]\nnx = 61.0\n",
                 R"(FILE:2:6: grid.nx must be an integer, not a floating-point number)"},
        bad_case{"StringForNumber", "[wind]\nspeed_m_s = \"6\"\n",
                 R"(FILE:2:13: wind.speed_m_s must be a number, not a string)"},
        bad_case{"KeyForTable", "wind = 6.0\n", R"(FILE:1:8: \[wind\] must be a table, not a floating-point number)"},
        bad_case{"SourceNotAList", "source = 3\n",
                 R"(FILE:1:10: source must be a list of \[\[source\]\] tables, not an integer)"},
        bad_case{"IntegerOutOfRange", "[grid]\nnx = 4294967296\n", R"(FILE:2:6: grid.nx = 4294967296 is out of range)"},
        bad_case{"NotFinite", "[wind]\ntowards_deg = nan\n", R"(FILE:2:15: wind.towards_deg must be finite, not nan)"},
        bad_case{"Infinite", "[grid]\nspacing_m = -inf\n", R"(FILE:2:13: grid.spacing_m must be finite, not -inf)"},
        bad_case{"BeyondFloat", "[grid]\nspacing_m = 1e39\n",
                 R"(FILE:2:13: grid.spacing_m = 1e\+39 is too large for single precision)"},
        bad_case{"GridTooSmallX", "[grid]\nnx = 3\n",
                 R"(FILE:2:6: grid.nx = 3 is too small: the model's stencils need at least 4 points in x)"},
        bad_case{"GridTooSmallY", "[grid]\nny = 0\n",
                 R"(FILE:2:6: grid.ny = 0 is too small: the model's stencils need at least 4 points in y)"},
        bad_case{"SpacingNotPositive", "[grid]\nspacing_m = 0\n",
                 R"(FILE:2:13: grid.spacing_m must be positive, not 0)"},
        bad_case{
            "MomentumUnstable", "[grid]\nspacing_m = 600.0\n",
            R"(FILE:2:13: grid.spacing_m = 600 m makes the momentum equations unstable: \(196200 \+ 200\) m\^2/s x 1 s x \(1/dx\^2 \+ 1/dy\^2\) = 1.09, more than 0.5; the spacing must be at least 886.3 m)"},
        bad_case{"DurationNotPositive", "[time]\nduration_s = 0\n",
                 R"(FILE:2:14: time.duration_s must be positive, not 0)"},
        bad_case{
            "DurationPastFloat", "[time]\nduration_s = 16777217\n",
            R"(FILE:2:14: time.duration_s = 16777217 is past 16777216 s \(2\^24 s\), where the model time stops being exact in single precision)"},
        bad_case{"ProgressNotPositive", "[time]\nprogress_every = -1\n",
                 R"(FILE:2:18: time.progress_every must be positive, not -1)"},
        bad_case{"SnapshotIntervalNotPositive", "[time]\nsnapshot_every_s = 0.0\n",
                 R"(FILE:2:20: time.snapshot_every_s must be positive, not 0)"},
        bad_case{"EmissionIntervalNotPositive", "[emission]\nevery_s = -3600\n",
                 R"(FILE:2:11: emission.every_s must be positive, not -3600)"},
        bad_case{"EmissionStartNegative", "[emission]\nfirst_s = -1\n",
                 R"(FILE:2:11: emission.first_s must not be negative, not -1)"},
        bad_case{
            "WindTooFast", "[wind]\nspeed_m_s = 800.0\n",
            R"(FILE:2:13: a wind of 800 m/s towards 120 degrees moves the pollutant 1.09 cells per step on a 1000 m grid \(\(\|u\| \+ \|v\|\) x 1 s / spacing_m\), more than 1)"},
        bad_case{"WindNegative", "[wind]\nspeed_m_s = -1\n",
                 R"(FILE:2:13: wind.speed_m_s must not be negative, not -1)"},
        bad_case{"SourceOutsideX", "[grid]\nnx = 61\n\n[[source]]\nx_m = 60000.5\ny_m = 0\n",
                 R"(FILE:4:1: source 1 at \(60000.5, 0\) m lies outside the domain \[0, 60000\] x \[0, 400000\] m)"},
        bad_case{"SourceOutsideY", "[[source]]\nx_m = 0\ny_m = 0\n[[source]]\nx_m = 0\ny_m = -1\n",
                 R"(FILE:4:1: source 2 at \(0, -1\) m lies outside the domain \[0, 400000\] x \[0, 400000\] m)"},
        bad_case{"SourceWithoutY", "[[source]]\nx_m = 5\n", R"(FILE:1:1: source 1 has no y_m)"},
        bad_case{"RadiusNotPositive", "[[source]]\nx_m = 5\ny_m = 5\nradius_m = 0\n",
                 R"(FILE:4:12: source 1: radius_m must be positive, not 0)"},
        bad_case{"PeakNotPositive", "[[source]]\nx_m = 5\ny_m = 5\npeak = -1.0\n",
                 R"(FILE:4:8: source 1: peak must be positive, not -1)"},
        bad_case{"NoSource", "source = []\n",
                 R"(FILE:1:10: no source: the list of sources is empty; give at least one \[\[source\]\])"},
        bad_case{"SpeciesWithoutDeclaredSpecies", "[[source]]\nx_m = 5\ny_m = 5\nspecies = \"so2\"\n",
                 R"(FILE:4:11: source 1 names species 'so2', but the scenario declares no species; .+)"},
        bad_case{"UnknownSpecies",
                 "[[species]]\nname = \"so2\"\n[[species]]\nname = \"nox\"\n[[source]]\nx_m = 5\ny_m = 5\n"
                 "species = \"so2\"\n[[source]]\nx_m = 5\ny_m = 5\nspecies = \"co\"\n",
                 R"(FILE:12:11: source 2: species 'co' is not declared; the species are so2, nox)"},
        bad_case{
            "SourceWithoutItsSpecies",
            "[[species]]\nname = \"so2\"\n[[source]]\nx_m = 5\ny_m = 5\nspecies = \"so2\"\n[[source]]\n"
            "x_m = 5\ny_m = 5\n",
            R"(FILE:7:1: source 2 names no species; with \[\[species\]\] declared, every source gives species = NAME)"},
        bad_case{"SpeciesWithoutSource",
                 "[[source]]\nx_m = 5\ny_m = 5\nspecies = \"nox\"\n[[species]]\nname = \"so2\"\n[[species]]\n"
                 "name = \"nox\"\n",
                 R"(FILE:5:1: species 1 \('so2'\) has no source; give it a \[\[source\]\] with species = "so2")"},
        bad_case{"SpeciesOfTheReferenceSources", "[[species]]\nname = \"so2\"\n",
                 R"(FILE:1:1: species 1 \('so2'\) has no source; .+)"},
        bad_case{"DuplicateSpecies",
                 "[[species]]\nname = \"so2\"\n[[species]]\nname = \"so2\"\n[[source]]\nx_m = 5\ny_m = 5\n"
                 "species = \"so2\"\n",
                 R"(FILE:4:8: species 2: name 'so2' is already the name of species 1)"},
        bad_case{
            "SpeciesNameStartsWithADigit", "[[species]]\nname = \"2x\"\n",
            R"(FILE:2:8: species 1: name '2x' is not a species name: letters, digits and _, starting with a letter)"},
        bad_case{"SpeciesNameWithADash", "[[species]]\nname = \"a-b\"\n", R"(FILE:2:8: species 1: name 'a-b' .+)"},
        bad_case{"SpeciesNameEmpty", "[[species]]\nname = \"\"\n", R"(FILE:2:8: species 1: name '' .+)"},
        bad_case{"SpeciesNameNotAscii", "[[species]]\nname = \"\xc3\xa9t\xc3\xa9\"\n",
                 R"(FILE:2:8: species 1: name .+)"},
        bad_case{"SpeciesWithoutName", "[[species]]\nfirst_s = 5\n", R"(FILE:1:1: species 1 has no name)"},
        bad_case{"SpeciesNameNotAString", "[[species]]\nname = 5\n",
                 R"(FILE:2:8: species.name must be a string, not an integer)"},
        bad_case{"SourceSpeciesNotAString", "[[source]]\nx_m = 5\ny_m = 5\nspecies = 1\n",
                 R"(FILE:4:11: source.species must be a string, not an integer)"},
        bad_case{"UnknownSpeciesKey", "[[species]]\nname = \"so2\"\nfirst = 5\n",
                 R"(FILE:3:1: unknown key 'first' in \[species\]; its keys are name, first_s, every_s)"},
        bad_case{"SpeciesFirstNegative", "[[species]]\nname = \"so2\"\nfirst_s = -1\n",
                 R"(FILE:3:11: species 1: first_s must not be negative, not -1)"},
        bad_case{"SpeciesIntervalNotPositive", "[[species]]\nname = \"so2\"\nevery_s = 0\n",
                 R"(FILE:3:11: species 1: every_s must be positive, not 0)"},
        bad_case{"SpeciesNotAList", "species = \"so2\"\n",
                 R"(FILE:1:11: species must be a list of \[\[species\]\] tables, not a string)"},
        bad_case{
            "NoSpecies", "species = []\n",
            R"(FILE:1:11: no species: the list of species is empty; leave species out for one pollutant or give at least one \[\[species\]\])"}),
    [](const testing::TestParamInfo<bad_case>& i) { return std::string(i.param.name); });

TEST_F(scenario_files, MissingOrUnreadableFileIsRefusedWithTheSystemsReason) {
  EXPECT_EQ(refusal((dir_ / "none.toml").string()), "FILE: cannot read the scenario: No such file or directory");
  EXPECT_EQ(refusal(dir_.string()), "FILE: cannot read the scenario: Is a directory");
}

TEST_F(scenario_files, EmptyFileIsTheReferenceCase) { EXPECT_EQ(read_scenario(write("")), scenario{}); }

TEST_F(scenario_files, FullReferenceFileReadsBackToTheDefaults) {
  const std::string text = R"([grid]
nx = 401
ny = 401
spacing_m = 1000.0

[time]
duration_s = 57600
progress_every = 100
snapshot_every_s = 1800.0

[wind]
speed_m_s = 6.0
towards_deg = 120.0

[emission]
first_s = 43200
every_s = 3600.0

[[source]]
x_m = 10000.0
y_m = 200000.0
radius_m = 2000.0
peak = 1.0

[[source]]
x_m = 180000.0
y_m = 200000.0
)";
  EXPECT_EQ(read_scenario(write(text)), scenario{});
  EXPECT_EQ(scenario_toml(scenario{}), text + "radius_m = 2000.0\npeak = 1.0\n");
}

TEST_F(scenario_files, IntegersAreAcceptedForFloatsAndDoublesRoundToNearest) {
  const scenario s =
      read_scenario(write("[grid]\nspacing_m = 1000\n[wind]\nspeed_m_s = 0.1\ntowards_deg = 16777217\n"));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(s.spacing_m), std::bit_cast<std::uint32_t>(1000.0f));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(s.wind_speed_m_s), std::bit_cast<std::uint32_t>(0.1f));
  EXPECT_EQ(s.wind_towards_deg, 16777216.0f);
}

TEST_F(scenario_files, WrittenScenarioReadsBackToTheSameScenario) {
  scenario s;
  s.nx = 61;
  s.ny = 41;
  s.spacing_m = 1234.5677f;
  s.duration_s = 7200;
  s.progress_every = 7;
  s.snapshot_every_s = 0.1f;
  s.wind_speed_m_s = 3.3333333f;
  s.wind_towards_deg = -33.3f;
  s.emission_first_s = 0;
  s.emission_every_s = 1e-7f;
  s.sources = {{100.0f, 200.0f, 1.0e-3f, 3.0f}, {7e4f, 4.9e4f, 2500.0f, 0.3f}, {0.0f, 0.0f, 1e30f, 16777215.0f}};
  const std::string text = scenario_toml(s);
  const scenario back = read_scenario(write(text));
  EXPECT_EQ(back, s) << text;
  EXPECT_EQ(scenario_toml(back), text);
}

TEST_F(scenario_files, ASpeciesNameIsAtMostAsLongAsEveryOutputCanNameItsFields) {
  const auto with_name = [](const std::string& name) {
    return "[[species]]\nname = \"" + name + "\"\n[[source]]\nx_m = 5\ny_m = 5\nspecies = \"" + name + "\"\n";
  };
  const std::string longest = "N" + std::string(longest_species_name - 1, '2');
  const scenario s = read_scenario(write(with_name(longest)));
  ASSERT_EQ(s.species_count(), 1);
  EXPECT_EQ(s.species[0].name, longest);
  EXPECT_EQ(s.pollutant_field_name("dqdt", 0).size(), 255u);
  EXPECT_EQ(refusal(write(with_name(longest + "x"))),
            "FILE:2:8: species 1: its name has 251 characters, more than 250 (its field dqdt_NAME must fit a NetCDF "
            "name)");
}

TEST_F(scenario_files, SpeciesTakeTheEmissionScheduleUnlessTheyGiveTheirOwn) {
  // The [emission] table stands after the species that default to it.
  const scenario s = read_scenario(write(R"([[species]]
name = "so2"
every_s = 600

[[species]]
name = "NOx_2"
first_s = 0

[[source]]
x_m = 1000.0
y_m = 2000.0
species = "NOx_2"

[[source]]
x_m = 3000.0
y_m = 4000.0
species = "so2"

[[source]]
x_m = 5000.0
y_m = 6000.0
species = "NOx_2"

[emission]
first_s = 7
every_s = 0.5
)"));
  ASSERT_EQ(s.species_count(), 2);
  EXPECT_EQ(s.species[0], (species_info{"so2", 7, 600.0f}));
  EXPECT_EQ(s.species[1], (species_info{"NOx_2", 0, 0.5f}));
  ASSERT_EQ(s.sources.size(), 3u);
  EXPECT_EQ(s.sources[0].species, 1);
  EXPECT_EQ(s.sources[1].species, 0);
  EXPECT_EQ(s.sources[2].species, 1);
  EXPECT_EQ(s.pollutant_field_name("dqdt", 1), "dqdt_NOx_2");
  EXPECT_EQ(scenario{}.pollutant_field_name("q", 0), "q");
  EXPECT_EQ(scenario{}.species_count(), 1);

  // Written out, every species carries its schedule and every source its
  // species, and the text reads back to the same scenario.
  const std::string text = scenario_toml(s);
  EXPECT_NE(text.find("\n[[species]]\nname = \"so2\"\nfirst_s = 7\nevery_s = 600.0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n[[source]]\nx_m = 3000.0\ny_m = 4000.0\nradius_m = 2000.0\npeak = 1.0\nspecies = \"so2\"\n"),
            std::string::npos)
      << text;
  const scenario back = read_scenario(write(text, "back.toml"));
  EXPECT_EQ(back, s) << text;
  EXPECT_EQ(scenario_toml(back), text);
}

TEST(scenario, ReferenceWindHasTheReferenceBits) {
  const scenario s;
  EXPECT_EQ(std::bit_cast<std::uint32_t>(s.wind_u()), 0xC0400002u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(s.wind_v()), 0x40A646E1u);
}

TEST(scenario, SnapshotPassesFollowTheFloatRemainder) {
  scenario s;
  const auto passes = s.snapshot_passes();
  ASSERT_EQ(passes.size(), 33u);
  EXPECT_EQ(passes.front(), 0);
  EXPECT_EQ(passes.back(), 57600);
  s.duration_s = 10;
  s.snapshot_every_s = 2.5f;
  EXPECT_EQ(s.snapshot_passes(), (std::vector<std::int32_t>{0, 5, 10}));
}

}  // namespace
