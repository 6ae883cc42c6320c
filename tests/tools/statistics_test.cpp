// Field ranges and pollutant totals, checked on cases small enough to work
// out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "snapshot/statistics.hpp"

namespace snap = plume::snapshot;

TEST(FieldStats, RangeLeavesNaNOut) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> v = {3.0f, nan, -1.0f, 7.0f, -0.0f, nan};
  const auto s = snap::field_stats(v);
  EXPECT_EQ(s.min, -1.0f);
  EXPECT_EQ(s.max, 7.0f);
  EXPECT_EQ(s.nan_count, 2);

  const auto all_nan = snap::field_stats(std::vector<float>{nan, nan});
  EXPECT_TRUE(std::isnan(all_nan.min));
  EXPECT_TRUE(std::isnan(all_nan.max));
  EXPECT_EQ(all_nan.nan_count, 2);

  const float inf = std::numeric_limits<float>::infinity();
  const auto infinite = snap::field_stats(std::vector<float>{nan, 2.0f, -inf});
  EXPECT_EQ(infinite.min, -inf);
  EXPECT_EQ(infinite.max, 2.0f);
}

TEST(PollutantStats, TotalCountAndCentreOfMass) {
  constexpr int nx = 401, ny = 401;
  std::vector<float> q(static_cast<std::size_t>(nx) * ny, 0.0f);
  auto at = [&](int i, int j) -> float& { return q[static_cast<std::size_t>(i + j * nx)]; };

  auto s = snap::pollutant_stats(q, nx, ny, 1.0);
  EXPECT_EQ(s.total, 0.0);
  EXPECT_EQ(s.nonzero_cells, 0);
  EXPECT_FALSE(s.has_centre);

  // One puff in cell i = 11, j = 21 (counted from 1): centre 10.5 km, 20.5 km.
  at(10, 20) = 2.0f;
  s = snap::pollutant_stats(q, nx, ny, 1.0);
  EXPECT_EQ(s.total, 2.0);
  EXPECT_EQ(s.nonzero_cells, 1);
  ASSERT_TRUE(s.has_centre);
  EXPECT_EQ(s.centre_x_km, 10.5);
  EXPECT_EQ(s.centre_y_km, 20.5);

  // Weights 2 at (10.5, 20.5), 1 at (0.5, 0.5), 5 at (400.5, 400.5):
  // x = (21 + 0.5 + 2002.5) / 8 = 253, y = (41 + 0.5 + 2002.5) / 8 = 255.5.
  at(0, 0) = 1.0f;
  at(400, 400) = 5.0f;
  s = snap::pollutant_stats(q, nx, ny, 1.0);
  EXPECT_EQ(s.total, 8.0);
  EXPECT_EQ(s.nonzero_cells, 3);
  EXPECT_EQ(s.centre_x_km, 253.0);
  EXPECT_EQ(s.centre_y_km, 255.5);
}

TEST(PollutantStats, CancellingValuesHaveNoCentre) {
  const std::vector<float> q = {0.25f, 0.0f, -0.25f, -0.0f};
  const auto s = snap::pollutant_stats(q, 2, 2, 1.0);
  EXPECT_EQ(s.total, 0.0);
  EXPECT_EQ(s.nonzero_cells, 2);  // -0.0 counts as zero
  EXPECT_FALSE(s.has_centre);
}

TEST(PollutantStats, SpacingScalesTheAreaAndTheCentres) {
  // A 3 x 2 grid of 2.5 km cells: centres at 1.25, 3.75, 6.25 km in x and
  // 1.25, 3.75 km in y, each cell 6.25 km².
  std::vector<float> q(6, 0.0f);
  q[2] = 1.0f;  // i = 2, j = 0
  q[3] = 3.0f;  // i = 0, j = 1
  const auto s = snap::pollutant_stats(q, 3, 2, 2.5);
  EXPECT_EQ(s.total, 25.0);
  EXPECT_EQ(s.nonzero_cells, 2);
  ASSERT_TRUE(s.has_centre);
  EXPECT_EQ(s.centre_x_km, (6.25 + 3.0 * 1.25) / 4.0);
  EXPECT_EQ(s.centre_y_km, (1.25 + 3.0 * 3.75) / 4.0);
  EXPECT_THROW(snap::pollutant_stats(q, 3, 2, 0.0), std::invalid_argument);
  EXPECT_THROW(snap::pollutant_stats(q, 2, 2, 1.0), std::invalid_argument);
}
