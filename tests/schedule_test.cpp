// Which passes of the time loop print, write a snapshot and emit.
#include <gtest/gtest.h>

#include <vector>

#include "support/reference_case.hpp"
#include "driver/run.hpp"
#include "grid/constant.hpp"

namespace {

struct schedule {
  std::vector<int> progress, snapshots, emissions;
};

schedule whole_run() {
  schedule s;
  for (int n = 0; n <= reference::last_pass; ++n) {
    if (progress_due(n, scenario{})) s.progress.push_back(n);
    if (snapshot_due(static_cast<float>(n), scenario{})) s.snapshots.push_back(n);
    if (emission_due(n, scenario{})) s.emissions.push_back(n);
  }
  return s;
}

std::vector<int> multiples(int step, int first, int last) {
  std::vector<int> v;
  for (int n = first; n <= last; n += step) v.push_back(n);
  return v;
}

TEST(Schedule, PassesThatPrintSnapshotAndEmit) {
  ASSERT_EQ(reference::last_pass, 57600);
  const schedule s = whole_run();
  EXPECT_EQ(s.progress, multiples(100, 0, 57600));
  EXPECT_EQ(s.snapshots, multiples(1800, 0, 57600));
  EXPECT_EQ(s.emissions, (std::vector<int>{43200, 46800, 50400, 54000, 57600}));
  // 577 progress lines and 33 output lines: 610 lines in all.
  EXPECT_EQ(s.progress.size() + s.snapshots.size(), 610u);
  // Every snapshot pass is also a progress pass.
  for (int n : s.snapshots) EXPECT_TRUE(progress_due(n, scenario{})) << n;
}

TEST(Schedule, NoEmissionOnTheWholeHoursBeforeTheTwelfth) {
  for (int n = 0; n < 43200; n += 3600) {
    EXPECT_TRUE(snapshot_due(static_cast<float>(n), scenario{})) << n;
    EXPECT_FALSE(emission_due(n, scenario{})) << n;
  }
  EXPECT_FALSE(emission_due(43199, scenario{}));
  EXPECT_FALSE(emission_due(45000, scenario{}));
  EXPECT_FALSE(progress_due(50, scenario{}));
  EXPECT_FALSE(snapshot_due(1799.0f, scenario{}));
  EXPECT_FALSE(snapshot_due(1800.5f, scenario{}));
}

}  // namespace
