// The NetCDF files of a run: their names, their variables, their chunks, and
// the check of a series against what a checkpoint recorded of it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "driver/netcdf_contents.hpp"
#include "driver/netcdf_series.hpp"
#include "support/byte_files.hpp"

namespace {

TEST(NetcdfSeries, NamesPadTheSnapshotNumberToFourDigitsOrAsManyAsTheLastNeeds) {
  EXPECT_TRUE(is_netcdf_output("run.nc"));
  EXPECT_TRUE(is_netcdf_output("dir.d/.nc"));
  EXPECT_FALSE(is_netcdf_output("run.nc4"));
  EXPECT_FALSE(is_netcdf_output("run.NC"));
  EXPECT_FALSE(is_netcdf_output("./test_withPollutant.dat"));

  const series_names one = series_names_of("out/run.nc", 1);
  EXPECT_EQ(one.file(0), "out/run_0000.nc");
  EXPECT_EQ(one.temporary(), "out/run.nc.tmp");
  // 10000 snapshots end at number 9999, 10001 at number 10000.
  EXPECT_EQ(series_names_of("run.nc", 10000).file(9999), "run_9999.nc");
  EXPECT_EQ(series_names_of("run.nc", 10001).file(0), "run_00000.nc");
  EXPECT_EQ(series_names_of("run.nc", 10001).file(10000), "run_10000.nc");
  EXPECT_EQ(series_names_of("a.b.nc", 1234567).file(42), "a.b_0000042.nc");
}

TEST(NetcdfContents, ChunksHoldOneTimeAndAtMostOneMebibyte) {
  using netcdf_contents::chunk_bytes;
  using netcdf_contents::field_chunk;
  using chunk = std::array<std::size_t, 3>;
  // The reference grid fits one chunk: the field at one time.
  EXPECT_EQ(field_chunk(401, 401), (chunk{1, 401, 401}));
  // 2001 x 2001: 131 rows fit (131 x 2001 x 4 = 1,048,524 bytes), so 16
  // bands, of 126 rows: the last chunk, stored whole when uncompressed,
  // holds 15 rows beyond the grid, not 95.
  EXPECT_EQ(field_chunk(2001, 2001), (chunk{1, 126, 2001}));
  // 262 rows of 1000 floats fit a chunk: 263 rows take two bands of 132.
  EXPECT_EQ(field_chunk(1000, 262), (chunk{1, 262, 1000}));
  EXPECT_EQ(field_chunk(1000, 263), (chunk{1, 132, 1000}));
  // A row of exactly 1 MiB, one just over, and a very wide grid: rows cut
  // into equal lengths of at most 1 MiB.
  EXPECT_EQ(field_chunk(262144, 10), (chunk{1, 1, 262144}));
  EXPECT_EQ(field_chunk(262145, 10), (chunk{1, 1, 131073}));
  EXPECT_EQ(field_chunk(1000000, 4), (chunk{1, 1, 250000}));
  for (const auto& [nx, ny] : {std::pair{4, 4}, {700, 420}, {2001, 2001}, {262145, 5}, {1 << 24, 4}}) {
    const chunk c = field_chunk(nx, ny);
    EXPECT_LE(c[0] * c[1] * c[2] * sizeof(float), chunk_bytes) << nx << " x " << ny;
    EXPECT_LE(c[1], static_cast<std::size_t>(ny));
    EXPECT_LE(c[2], static_cast<std::size_t>(nx));
    // The bands cover the rows with less than one row per band to spare.
    const std::size_t bands = (static_cast<std::size_t>(ny) + c[1] - 1) / c[1];
    EXPECT_LT(bands * c[1] - static_cast<std::size_t>(ny), bands) << nx << " x " << ny;
  }
  EXPECT_EQ(netcdf_contents::time_chunk(1), 1u);
  EXPECT_EQ(netcdf_contents::time_chunk(33), 33u);
  EXPECT_EQ(netcdf_contents::time_chunk(100000), 512u);
}

TEST(NetcdfContents, ChunksOfProcessesBandsEndWhereTheBandsDo) {
  using netcdf_contents::chunk_bytes;
  using netcdf_contents::field_chunk;
  using chunk = std::array<std::size_t, 3>;
  // Two processes on 2001 x 2001 hold rows 0-999 and 1000-2000: 125 rows
  // is the largest chunk (of at most 131 rows) whose bands end at row 999.
  EXPECT_EQ(field_chunk(2001, 2001, std::vector{1000}), (chunk{1, 125, 2001}));
  // 17 chunks where one band has 16: no more than a chunk more per start.
  EXPECT_EQ(field_chunk(2001, 2001, std::vector{500, 1000, 1500}), (chunk{1, 125, 2001}));
  EXPECT_EQ(field_chunk(1000, 263, std::vector{132}), (chunk{1, 132, 1000}));
  // The reference grid is one chunk: 200 rows would make 3 (the last of row
  // 400 alone), more than 2. Bands of 133 and 134 rows, or of 667: chunks
  // of 1 or 29 rows. The chunk of one band instead.
  EXPECT_EQ(field_chunk(401, 401, std::vector{200}), field_chunk(401, 401));
  EXPECT_EQ(field_chunk(401, 401, std::vector{133, 267}), field_chunk(401, 401));
  EXPECT_EQ(field_chunk(2001, 2001, std::vector{667, 1334}), field_chunk(2001, 2001));
  // No bands, and rows too long for one chunk: as for one band.
  EXPECT_EQ(field_chunk(2001, 2001, std::vector<int>{}), field_chunk(2001, 2001));
  EXPECT_EQ(field_chunk(262145, 10, std::vector{5}), field_chunk(262145, 10));
  // Every split into bands as the processes make them (band k of n rows in
  // p starts at row n k / p): the chunk fits chunk_bytes, and either every
  // band starts on a chunk's edge with at most a chunk more per start than
  // one band has, or the chunk is that of one band.
  for (const auto& [nx, ny] : {std::pair{401, 401}, {61, 41}, {2001, 2001}, {1000, 263}, {3000, 7}}) {
    for (int p = 2; p <= 8 && p <= ny / 3; ++p) {
      std::vector<int> starts;
      for (int k = 1; k < p; ++k) starts.push_back(ny * k / p);
      const chunk c = field_chunk(nx, ny, starts);
      EXPECT_LE(c[0] * c[1] * c[2] * sizeof(float), chunk_bytes) << nx << " x " << ny << " in " << p;
      if (c == field_chunk(nx, ny)) continue;
      const auto chunks_of = [ny](std::size_t rows) { return (static_cast<std::size_t>(ny) + rows - 1) / rows; };
      EXPECT_LE(chunks_of(c[1]), chunks_of(field_chunk(nx, ny)[1]) + starts.size()) << nx << " x " << ny << " in " << p;
      EXPECT_EQ(c[2], static_cast<std::size_t>(nx));
      for (const int start : starts) EXPECT_EQ(start % c[1], 0u) << nx << " x " << ny << " in " << p;
    }
  }
}

TEST(NetcdfContents, PollutantVariablesAreNamedPerSpecies) {
  scenario s;
  std::vector<std::string> names;
  for (const auto& v : netcdf_contents::field_variables(s)) names.push_back(v.name);
  EXPECT_EQ(names, (std::vector<std::string>{"q", "dqdt", "h", "us", "vs", "div", "vort"}));
  EXPECT_EQ(netcdf_contents::field_variables(s)[0].long_name, "pollutant concentration");

  s.species = {{"so2", 0, 3600.0f}, {"pm10", 0, 3600.0f}};
  const auto v = netcdf_contents::field_variables(s);
  names.clear();
  for (const auto& f : v) names.push_back(f.name);
  // In the order of a snapshot's records: q and dqdt of each species.
  EXPECT_EQ(names,
            (std::vector<std::string>{"q_so2", "dqdt_so2", "q_pm10", "dqdt_pm10", "h", "us", "vs", "div", "vort"}));
  EXPECT_EQ(v[1].long_name, "tendency of pollutant concentration of species so2");
  EXPECT_EQ(v[1].units, "s-1");
  EXPECT_EQ(v[2].long_name, "pollutant concentration of species pm10");
  EXPECT_EQ(v[4].long_name, "layer height");
}

TEST(NetcdfSeries, ACheckedSeriesHasEveryFileAndTheLastOneRecorded) {
  scratch_dir dir;
  const series_names names = series_names_of((dir / "run.nc").string(), 40);
  for (int k = 0; k < 3; ++k) std::ofstream(names.file(k)) << "file " << k;
  const series_record kept = record_of(names, 3);
  EXPECT_EQ(kept.files, 3);
  byte_digest last;
  last.add("file 2", 6);
  EXPECT_EQ(kept.last, last);
  EXPECT_EQ(series_problem(names, kept), "");
  EXPECT_EQ(series_problem(names, {0, {}, std::nullopt}), "");
  // Files after the recorded ones do not matter: the run replaces them.
  std::ofstream(names.file(3)) << "a later file";
  EXPECT_EQ(series_problem(names, kept), "");

  // The last file altered: same length, another byte.
  std::ofstream(names.file(2)) << "file 3";
  EXPECT_EQ(
      series_problem(names, kept), names.file(2) +
                                       ": the last file of the series is not the one recorded (6 bytes, "
                                       "CRC-32 " +
                                       [] {
                                         byte_digest d;
                                         d.add("file 3", 6);
                                         char buf[16];
                                         std::snprintf(buf, sizeof buf, "%08x", d.crc);
                                         return std::string(buf);
                                       }() +
                                       ", not 6 bytes, CRC-32 " +
                                       [&] {
                                         char buf[16];
                                         std::snprintf(buf, sizeof buf, "%08x", last.crc);
                                         return std::string(buf);
                                       }() +
                                       ")");
  std::ofstream(names.file(2)) << "file 2";
  EXPECT_EQ(series_problem(names, kept), "");

  // An earlier file missing.
  std::filesystem::remove(names.file(1));
  EXPECT_EQ(series_problem(names, kept), names.file(1) + ": a file of the series is missing");
}

}  // namespace

TEST(NetcdfSeries, ACheckpointRecordsTheCompressionLevelForTheRestartToGoOnWith) {
  // Laid out by hand: 3 files, the last 0x0102 bytes long with CRC-32
  // 0xa1b2c3d4, at level 7.
  const series_record r{3, {0x0102, 0xa1b2c3d4u}, 7};
  const checkpoint_output o = series_output(r);
  EXPECT_EQ(o.kind, output_netcdf_series);
  EXPECT_EQ(o.bytes, std::string("\3\0\0\0\0\0\0\0"
                                 "\2\1\0\0\0\0\0\0"
                                 "\xd4\xc3\xb2\xa1"
                                 "\7",
                                 21));
  EXPECT_EQ(series_record_of(o), r);

  // A checkpoint of an earlier version, without the level: read, the level
  // unknown. A level out of 0 to 9, or another length: not a record.
  checkpoint_output earlier = o;
  earlier.bytes.pop_back();
  EXPECT_EQ(series_record_of(earlier), (series_record{3, {0x0102, 0xa1b2c3d4u}, std::nullopt}));
  for (const std::string& bytes : {o.bytes.substr(0, 20) + "\12", o.bytes.substr(0, 20) + "\377",
                                   o.bytes + std::string(1, '\0'), o.bytes.substr(0, 19)}) {
    EXPECT_EQ(series_record_of({output_netcdf_series, bytes}), std::nullopt) << bytes.size();
  }
  EXPECT_EQ(series_record_of({output_snapshot_file, o.bytes}), std::nullopt);

  // The level of the files written: the one given, else the recorded one,
  // else the default; a given one wins over the recorded one.
  const auto level = [](std::optional<int> given, std::optional<series_record> restarted) {
    netcdf_settings settings;
    settings.deflate = given;
    return deflate_level(settings, restarted);
  };
  EXPECT_EQ(level(std::nullopt, std::nullopt), 1);
  EXPECT_EQ(level(0, std::nullopt), 0);
  EXPECT_EQ(level(std::nullopt, r), 7);
  EXPECT_EQ(level(0, r), 0);
  EXPECT_EQ(level(std::nullopt, series_record_of(earlier)), 1);
  EXPECT_EQ(level(9, series_record_of(earlier)), 9);
}

TEST(NetcdfContents, TheHistoryTakesItsTimeFromSourceDateEpochWhenSet) {
  using netcdf_contents::history_time;
  EXPECT_EQ(history_time("0"), "1970-01-01T00:00:00Z");
  // 2026-12-09 15:25:42 UTC: 20796 days and 55542 s after 1970-01-01.
  EXPECT_EQ(history_time("1796829942"), "2026-12-09T15:25:42Z");
  EXPECT_EQ(history_time("253402300799"), "9999-12-31T23:59:59Z");
  for (const char* wrong : {"", " 1", "1 ", "-1", "+1", "1.5", "1e9", "abc", "253402300800", "99999999999999999999"}) {
    EXPECT_EQ(history_time(wrong), std::nullopt) << "'" << wrong << "'";
  }
  // Unset: the time now, in the same form.
  const std::optional<std::string> now = history_time(nullptr);
  ASSERT_TRUE(now.has_value());
  EXPECT_EQ(now->size(), 20u);
  EXPECT_EQ(now->substr(now->size() - 1), "Z");
}
