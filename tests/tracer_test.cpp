// The emission cone of one source over the whole grid.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <vector>

#include "support/reference_case.hpp"
#include "diagnostics/diagnostics.hpp"
#include "driver/init.hpp"
#include "grid/constant.hpp"
#include "grid/domain.hpp"
#include "support/small_grid.hpp"

namespace {

// The cone values of the configured grid: cells whose centre is about 707 m
// from the source, and those about 1581 m away. The second is not the float
// nearest 0.2094306 (3E5674FA) but what 1 - r / 2000 gives in float.
constexpr std::uint32_t inner_bits = 0x3F257D86u;  // 0.6464466
constexpr std::uint32_t ring_bits = 0x3E5674F8u;   // 0.20943058

void set_up_module() {
  domain::gridpara(reference::nx, reference::ny);
  using namespace domain;
  init(u, v, h, q, gpx, gpy, fx, fy, x, y, reference::spacing, reference::u_init, reference::v_init, ids, ide, jds, jde,
       ims, ime, jms, jme);
}

// Expected bits at cell (i, j) of the pattern of a source at the grid-line
// crossing x(i0) = x0, y(201) = 200000 (cells i0-1, i0 and rows 200, 201
// around it); `elsewhere` outside the cells tracer writes.
std::uint32_t cone_bits(int i, int j, int i0, std::uint32_t elsewhere) {
  using namespace domain;
  if (i < ids || i > ide - 1 || j < jds || j > jde - 1) return elsewhere;
  const bool near_i = i == i0 - 1 || i == i0;
  const bool near_j = j == 200 || j == 201;
  if (near_i && near_j) return inner_bits;
  if ((near_i && (j == 199 || j == 202)) || (near_j && (i == i0 - 2 || i == i0 + 1))) return ring_bits;
  return 0u;
}

// Points of the module field whose bits differ from the pattern, and the
// number of non-zero cells.
struct pattern_check {
  int mismatches = 0;
  int nonzero = 0;
};

pattern_check check_pattern(const float* f, int i0, std::uint32_t elsewhere) {
  using namespace domain;
  pattern_check c;
  for (int j = jms; j <= jme; ++j) {
    for (int i = ims; i <= ime; ++i) {
      const std::uint32_t got = bits(f[at(i, j, ims, ime, jms)]);
      c.mismatches += got != cone_bits(i, j, i0, elsewhere);
      c.nonzero += got != 0u && got != elsewhere;
    }
  }
  return c;
}

struct source_case {
  float x0, y0;
  int i0;  // the grid line through x0
  friend void PrintTo(const source_case& s, std::ostream* os) { *os << "source_x_" << s.x0; }
};

class TracerSource : public testing::TestWithParam<source_case> {};

TEST_P(TracerSource, TwelveCellsAroundTheSourceAndNothingOutsideTheInterior) {
  set_up_module();
  using namespace domain;
  const float sentinel = -9.5f;
  std::fill_n(qr, field_size(ims, ime, jms, jme), sentinel);
  const source_case& s = GetParam();
  ASSERT_EQ(x[s.i0 - ims], s.x0);
  tracer(qr, s.x0, s.y0, reference::cone_radius, 1.0f, x, y, ids, ide, jds, jde, ims, ime, jms, jme);
  const pattern_check c = check_pattern(qr, s.i0, bits(sentinel));
  EXPECT_EQ(c.mismatches, 0);
  EXPECT_EQ(c.nonzero, 12);
}

// The western source feeds qr, the eastern one qc, 170 cells further east.
INSTANTIATE_TEST_SUITE_P(RunSources, TracerSource,
                         testing::Values(source_case{reference::source_r_x, reference::source_r_y, 11},
                                         source_case{reference::source_c_x, reference::source_c_y, 181}));

// A row of cells with chosen centres around a source at (0, 0): exactly on
// the rim, just inside, beyond, and at a distance that is not a number.
TEST(Tracer, RimAndNotANumberGiveZero) {
  const small_grid g = small_grid::with_interior(5, 3);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Grid lines -1..7: cell i lies between x(i) and x(i + 1).
  const std::vector<float> x{0.0f, 0.0f, 1999.0f, 2001.0f, 1997.0f, 2005.0f, nan, 0.0f, 0.0f};
  // Row 1 is centred on y = 0, row 2 on a line that is not a number.
  const std::vector<float> y{0.0f, 0.0f, -1.0f, 1.0f, nan, 0.0f, 0.0f};
  const float sentinel = 3.25f;
  std::vector<float> src = g.field(sentinel);
  const float x0 = 0.0f, y0 = 0.0f;
  tracer(src.data(), x0, y0, reference::cone_radius, 1.0f, x.data(), y.data(), g.ids, g.ide, g.jds, g.jde, g.ims, g.ime,
         g.jms, g.jme);

  const float just_inside = 1.0f - 1999.0f / 2000.0f;
  ASSERT_GT(just_inside, 0.0f);
  const std::vector<float> row1{0.0f, just_inside, 0.0f, 0.0f};
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(bits(g(src, i, 1)), bits(row1[static_cast<std::size_t>(i - 1)])) << "cell " << i;
    EXPECT_EQ(bits(g(src, i, 2)), 0u) << "cell " << i << " of the row without a centre";
  }
  // The halo, the last interior column and row are not written.
  for (int j = g.jms; j <= g.jme; ++j) {
    for (int i = g.ims; i <= g.ime; ++i) {
      if (i < g.ids || i >= g.ide || j < g.jds || j >= g.jde) {
        EXPECT_EQ(g(src, i, j), sentinel) << i << "," << j;
      }
    }
  }
}

// A source's radius and peak scale the cone: peak x (1 - |r / radius|).
// Cells centred 750, 1500, 3000 and 4500 m from a source of radius 3000 m
// and peak 2.5 get 1.875, 1.25, 0 (on the rim) and 0 (each exact in float).
TEST(Tracer, RadiusAndPeakShapeTheCone) {
  const small_grid g = small_grid::with_interior(5, 2);
  // Grid lines -1..7; cell i lies between x(i) and x(i + 1).
  const std::vector<float> x{0.0f, 0.0f, 500.0f, 1000.0f, 2000.0f, 4000.0f, 5000.0f, 0.0f, 0.0f};
  const std::vector<float> y{0.0f, 0.0f, -10.0f, 10.0f, 0.0f, 0.0f};
  std::vector<float> src = g.field(7.0f);
  const float x0 = 0.0f, y0 = 0.0f, radius = 3000.0f, peak = 2.5f;
  tracer(src.data(), x0, y0, radius, peak, x.data(), y.data(), g.ids, g.ide, g.jds, g.jde, g.ims, g.ime, g.jms, g.jme);
  EXPECT_EQ(g(src, 1, 1), 1.875f);
  EXPECT_EQ(g(src, 2, 1), 1.25f);
  EXPECT_EQ(bits(g(src, 3, 1)), 0u);
  EXPECT_EQ(bits(g(src, 4, 1)), 0u);
  EXPECT_EQ(g(src, 5, 1), 7.0f);  // the last column is not written
}

}  // namespace
