// Short runs through the library's run(): the console lines, the snapshot
// file and its records, and what a failure leaves behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "support/reference_case.hpp"
#include "diagnostics/diagnostics.hpp"
#include "driver/init.hpp"
#include "driver/run.hpp"
#include "grid/domain.hpp"
#include "support/byte_files.hpp"
#include "support/module_step.hpp"
#include "timestep/timestep.hpp"

namespace {

constexpr std::size_t record_bytes = 643212;
constexpr std::size_t snapshot_bytes = 7 * record_bytes;

const std::string progress_0 = " Step/timing:           0 s=  0.0000000E+00 hr=  0.0000000E+00\n";
const std::string output_0 = " Step/timing:           0 s=  0.0000000E+00 hr=  0.0000000E+00 output!\n";
const std::string progress_100 = " Step/timing:         100 s=   100.0000     hr=  2.7777778E-02\n";

struct file_closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

struct run_result {
  std::string console;
  byte_vector file;
};

// Runs passes 0..last_pass with the log in a temporary file and the
// snapshots at `path`.
run_result short_run(int last_pass, const std::filesystem::path& path) {
  std::unique_ptr<std::FILE, file_closer> console(std::tmpfile());
  run(run_settings{reference::shortened(last_pass), path.string(), console.get(), "the test's console"});
  return {as_text(read_stream(console.get())), read_file(path)};
}

// Every record of the file framed as a snapshot record.
int bad_markers(const byte_vector& file) {
  int bad = 0;
  for (std::size_t start = 0; start + record_bytes <= file.size(); start += record_bytes) {
    bad += marker_at(file, start) != 643204;
    bad += marker_at(file, start + record_bytes - 4) != 643204;
  }
  return bad;
}

TEST(ShortRun, FirstPassWritesTwoLinesAndTheStateAfterOneStep) {
  scratch_dir dir;
  const auto path = dir / "test_withPollutant.dat";
  // A longer file of an earlier run is cut back to this run's records.
  std::ofstream(path, std::ios::binary) << std::string(2 * snapshot_bytes + 100, '\x5A');
  const run_result r = short_run(0, path);

  EXPECT_EQ(r.console, progress_0 + output_0);
  ASSERT_EQ(r.file.size(), snapshot_bytes);
  EXPECT_EQ(bad_markers(r.file), 0);

  // The same state made by hand: one step from the initial state, then the
  // diagnostics.
  domain::gridpara(reference::nx, reference::ny);
  using namespace domain;
  init(u, v, h, q, gpx, gpy, fx, fy, x, y, reference::spacing, reference::u_init, reference::v_init, ids, ide, jds, jde,
       ims, ime, jms, jme);
  module_step{}();
  div_vort(domain::div, vort, us, vs, forceu, u, v, reference::spacing, ids, ide, jds, jde, ims, ime, jms, jme);
  const float* fields[7] = {q, dqdt, h, us, vs, domain::div, vort};
  const char* names[7] = {"q", "dqdt", "h", "us", "vs", "div", "vort"};
  for (std::size_t k = 0; k < 7; ++k) {
    int mismatches = 0;
    for (int j = jds; j <= jde; ++j) {
      const unsigned char* row = r.file.data() + k * record_bytes + 4 + static_cast<std::size_t>(j - jds) * 401 * 4;
      mismatches += std::memcmp(row, fields[k] + at(ids, j, ims, ime, jms), 401 * 4) != 0;
    }
    EXPECT_EQ(mismatches, 0) << "rows of record " << names[k];
  }
  // The step has changed the height, so this is not the initial state.
  int nonzero_h = 0;
  for (int j = jds; j <= jde; ++j) {
    for (int i = ids; i <= ide; ++i) nonzero_h += h[at(i, j, ims, ime, jms)] != 0.0f;
  }
  EXPECT_GT(nonzero_h, 0);
}

TEST(ShortRun, HundredPassesPrintThreeLinesAndOneSnapshot) {
  scratch_dir dir;
  const auto path = dir / "test_withPollutant.dat";
  const run_result r = short_run(100, path);
  EXPECT_EQ(r.console, progress_0 + output_0 + progress_100);
  EXPECT_EQ(r.file.size(), snapshot_bytes);
  EXPECT_EQ(bad_markers(r.file), 0);
}

TEST(ShortRun, UnopenableSnapshotFileStopsTheRunBeforeTheFirstPass) {
  scratch_dir dir;
  const auto path = dir / "missing" / "test_withPollutant.dat";
  std::unique_ptr<std::FILE, file_closer> console(std::tmpfile());
  const std::string message = failure_message([&] {
    run(run_settings{reference::shortened(10), path.string(), console.get(), "log"});
  });
  EXPECT_NE(message.find(path.string()), std::string::npos) << message;
  EXPECT_NE(message.find(std::strerror(ENOENT)), std::string::npos) << message;
  EXPECT_EQ(as_text(read_stream(console.get())), "");
}

TEST(ShortRun, RefusedConsoleStopsTheRunAtItsFirstLine) {
  std::unique_ptr<std::FILE, file_closer> console(std::fopen("/dev/full", "w"));
  if (console == nullptr) GTEST_SKIP() << "no /dev/full";
  scratch_dir dir;
  const auto path = dir / "test_withPollutant.dat";
  const std::string message = failure_message([&] {
    run(run_settings{reference::shortened(10), path.string(), console.get(), "standard output"});
  });
  EXPECT_NE(message.find("standard output"), std::string::npos) << message;
  EXPECT_NE(message.find(std::strerror(ENOSPC)), std::string::npos) << message;
  // The run stopped before its first snapshot: the file exists and is empty.
  EXPECT_EQ(read_file(path).size(), 0u);
}

}  // namespace
