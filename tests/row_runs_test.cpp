// Runs of rows stay sorted, apart and maximal however rows are added: the
// step's plans are built from them, and a row lost or doubled there would be
// a row of a stage left out or visited twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "grid/row_runs.hpp"

namespace {

std::vector<row_run> runs_of(const row_runs& r) { return {r.runs().begin(), r.runs().end()}; }

TEST(RowRuns, RowsAddedInAnyOrderMergeWhereTheyOverlapOrTouch) {
  row_runs r;
  r.add(10, 12);
  r.add(20, 20);
  r.add(3, 4);    // below every run
  r.add(13, 13);  // touches 10..12
  r.add(5, 5);    // touches 3..4
  r.add(22, 21);  // empty: nothing
  EXPECT_EQ(runs_of(r), (std::vector<row_run>{{3, 5}, {10, 13}, {20, 20}}));
  r.add(4, 19);  // spans the gaps: one run
  EXPECT_EQ(runs_of(r), (std::vector<row_run>{{3, 20}}));
  EXPECT_EQ(r.rows(), 18u);
}

TEST(RowRuns, WidenedRunsStayWithinTheirBoundsAndMerge) {
  row_runs busy;
  busy.add(-1, 1);
  busy.add(9, 9);
  busy.add(30, 32);
  row_runs plan;
  plan.add_widened(busy, 4, -1, 33);
  EXPECT_EQ(runs_of(plan), (std::vector<row_run>{{-1, 13}, {26, 33}}));
  std::vector<int> visited;
  plan.for_each_row(12, 27, [&](int j) { visited.push_back(j); });
  EXPECT_EQ(visited, (std::vector<int>{12, 13, 26, 27}));
}

}  // namespace

// Ranges added in increasing order (as a stage adds its rows: the last run
// grows or a new one follows) and anywhere, overlapping the last run from
// below too, against the runs of the set of rows they cover.
TEST(RowRuns, RangesAddedInOrderOrAnywhereGiveTheRunsOfTheRowsCovered) {
  std::uint32_t state = 12345;
  const auto next = [&](int n) {
    state = state * 1664525u + 1013904223u;
    return static_cast<int>((state >> 8) % static_cast<std::uint32_t>(n));
  };
  for (int trial = 0; trial < 200; ++trial) {
    row_runs r;
    std::vector<bool> covered(80, false);
    int at = 0;
    for (int n = 0; n < 30; ++n) {
      const bool in_order = trial % 2 == 0 && next(4) != 0;
      const int first = in_order ? std::clamp(at + next(4) - 1, 0, 75) : next(76);
      const int last = first + next(4) - (next(5) == 0 ? 5 : 0);  // now and then empty
      r.add(first, last);
      for (int j = first; j <= last; ++j) covered[static_cast<std::size_t>(j)] = true;
      at = std::max(at, last + 1);
    }
    std::vector<row_run> want;
    for (int j = 0; j < 80; ++j) {
      if (!covered[static_cast<std::size_t>(j)]) continue;
      if (!want.empty() && want.back().last == j - 1) {
        want.back().last = j;
      } else {
        want.push_back({j, j});
      }
    }
    ASSERT_EQ(runs_of(r), want) << "trial " << trial;
  }
}
