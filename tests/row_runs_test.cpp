// Runs of rows stay sorted, apart and maximal however rows are added: the
// step's plans are built from them, and a row lost or doubled there would be
// a row of a stage left out or visited twice.
#include <gtest/gtest.h>

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
