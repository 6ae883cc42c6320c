// Momentum tendencies: flows without gradients give zero, a constant slope
// gives the pressure gradient alone, everything outside the computed faces is
// cleared, the background and Coriolis arrays are never read, and one face of
// each kind reproduces a hand-written float expression bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "support/reference_case.hpp"
#include "grid/constant.hpp"
#include "kernels/kernels.hpp"
#include "support/field_checks.hpp"

namespace {

using checks::field;

constexpr float nan_value = std::numeric_limits<float>::quiet_NaN();

struct forcing : testing::Test {
  small_grid g = small_grid::with_interior(6, 5);
  field u = g.field(), v = g.field(), h = g.field();
  field gpx = g.field(), gpy = g.field();
  field fx = field(static_cast<std::size_t>(g.jme - g.jms + 1)), fy = fx;
  // Outputs start as NaN: whatever force leaves there was never written.
  field fu = g.field(nan_value), fv = g.field(nan_value);

  void apply() {
    force(fu.data(), fv.data(), u.data(), v.data(), h.data(), gpx.data(), gpy.data(), fx.data(), fy.data(),
          reference::spacing, GRID_BOUNDS(g));
  }
  // A varied flow: every point different, both signs of u.
  void varied_flow() {
    checks::fill(g, u, [](int i, int j) { return -3.0f + 0.37f * static_cast<float>(i) - 0.21f * static_cast<float>(j * j); });
    checks::fill(g, v, [](int i, int j) { return 5.0f - 0.13f * static_cast<float>(i * j) + 0.05f * static_cast<float>(i); });
    checks::fill(g, h, [](int i, int j) { return 0.02f * static_cast<float>(i * i) - 0.03f * static_cast<float>(j); });
  }
};

TEST_F(forcing, fluid_at_rest_gives_positive_zero_everywhere) {
  checks::fill(g, h, [](int, int) { return 3.5f; });
  apply();
  EXPECT_TRUE(checks::same_bits(g, fu, g.field(0.0f)));
  EXPECT_TRUE(checks::same_bits(g, fv, g.field(0.0f)));
}

TEST_F(forcing, uniform_flow_over_a_flat_surface_gives_zero) {
  checks::fill(g, u, [](int, int) { return reference::u_init; });
  checks::fill(g, v, [](int, int) { return reference::v_init; });
  checks::fill(g, h, [](int, int) { return 1.25f; });
  apply();
  for (int j = g.jms; j <= g.jme; ++j) {
    for (int i = g.ims; i <= g.ime; ++i) {
      EXPECT_EQ(g(fu, i, j), 0.0f) << i << "," << j;
      EXPECT_EQ(g(fv, i, j), 0.0f) << i << "," << j;
    }
  }
}

// h = 2 + s * (index along the slope) with s = 0.25: every height and every
// difference is exact, so each computed face holds -9.81 s / 1000 rounded
// once per operation, and the other component is zero.
TEST_F(forcing, constant_slope_gives_the_pressure_gradient_along_it_only) {
  const float s = 0.25f;
  const float expected = (s * 9.81f) / -1000.0f;
  for (bool along_x : {true, false}) {
    SCOPED_TRACE(along_x ? "slope along x" : "slope along y");
    checks::fill(g, h, [&](int i, int j) { return 2.0f + s * static_cast<float>(along_x ? i : j); });
    apply();
    const field& along = along_x ? fu : fv;
    const field& across = along_x ? fv : fu;
    const checks::box faces = along_x ? checks::x_faces(g) : checks::y_faces(g);
    for (int j = g.jms; j <= g.jme; ++j) {
      for (int i = g.ims; i <= g.ime; ++i) {
        EXPECT_EQ(g(across, i, j), 0.0f) << i << "," << j;
        if (!faces.contains(i, j)) continue;
        EXPECT_EQ(bits(g(along, i, j)), bits(expected)) << i << "," << j;
        EXPECT_NEAR(g(along, i, j), -9.81e-3f * s, 1e-9f) << i << "," << j;
      }
    }
  }
}

TEST_F(forcing, only_the_computed_faces_are_nonzero_whatever_the_outputs_held) {
  varied_flow();
  apply();
  EXPECT_TRUE(checks::same_bits_outside(g, fu, g.field(0.0f), checks::x_faces(g)));
  EXPECT_TRUE(checks::same_bits_outside(g, fv, g.field(0.0f), checks::y_faces(g)));
  EXPECT_TRUE(checks::all_finite(g, fu, checks::x_faces(g)));
  EXPECT_TRUE(checks::all_finite(g, fv, checks::y_faces(g)));
  EXPECT_NE(g(fu, g.ide, g.jds), 0.0f) << "the eastern face is computed";
  EXPECT_NE(g(fv, g.ids, g.jde), 0.0f) << "the northern face is computed";
}

TEST_F(forcing, background_and_coriolis_arrays_are_not_read) {
  varied_flow();
  apply();
  const field fu_zero = fu, fv_zero = fv;
  for (field* f : {&gpx, &gpy, &fx, &fy}) std::fill(f->begin(), f->end(), nan_value);
  apply();
  EXPECT_TRUE(checks::same_bits(g, fu, fu_zero));
  EXPECT_TRUE(checks::same_bits(g, fv, fv_zero));
}

// One u face with every stencil value different. The expected value is the
// tendency written out term by term in float, combined as ((P - A) - X) + D;
// with these values the other order ((P - X) - A) + D differs in the last
// bit, so a swapped order is caught.
TEST_F(forcing, one_u_face_matches_the_hand_written_expression) {
  const int i = 3, j = 3;
  g(h, i - 1, j) = 0.30f, g(h, i, j) = 0.17f;
  g(u, i - 1, j) = -2.9f, g(u, i, j) = -3.1f, g(u, i + 1, j) = -2.6f, g(u, i, j - 1) = -3.7f, g(u, i, j + 1) = -2.2f;
  g(v, i - 1, j) = 5.3f, g(v, i, j) = 4.9f, g(v, i - 1, j + 1) = 5.6f, g(v, i, j + 1) = 5.05f;
  apply();
  const float p = ((0.17f - 0.30f) * 9.81f) / -1000.0f;
  const float a = ((0.5f * -3.1f) * (-2.6f - -2.9f)) / 1000.0f;
  const float x = ((0.125f * (((4.9f + 5.05f) + 5.3f) + 5.6f)) * (-2.2f - -3.7f)) / 1000.0f;
  const float d = 200.0f * ((((-2.6f - 2.0f * -3.1f) + -2.9f) / 1000.0f / 1000.0f) +
                            (((-2.2f + -3.7f) - 2.0f * -3.1f) / 1000.0f / 1000.0f));
  const float expected = ((p - a) - x) + d;
  ASSERT_NE(bits(expected), bits(((p - x) - a) + d)) << "the case must tell the two orders apart";
  EXPECT_EQ(bits(g(fu, i, j)), bits(expected)) << value_text(g(fu, i, j)) << " vs " << value_text(expected);
}

// The same for a v face, combined as ((P - X) - A) + D; here ((P - A) - X) + D
// differs in the last bit.
TEST_F(forcing, one_v_face_matches_the_hand_written_expression) {
  const int i = 3, j = 3;
  g(h, i, j - 1) = 0.41f, g(h, i, j) = 0.23f;
  g(v, i - 1, j) = 5.3f, g(v, i, j) = 4.9f, g(v, i + 1, j) = 6.05f, g(v, i, j - 1) = 5.6f, g(v, i, j + 1) = 4.3f;
  g(u, i, j) = -3.1f, g(u, i + 1, j) = -2.6f, g(u, i, j - 1) = -2.45f, g(u, i + 1, j - 1) = -3.35f;
  apply();
  const float p = ((0.23f - 0.41f) * 9.81f) / -1000.0f;
  const float x = ((0.125f * (((-3.1f + -2.6f) + -2.45f) + -3.35f)) * (6.05f - 5.3f)) / 1000.0f;
  const float a = ((0.5f * 4.9f) * (4.3f - 5.6f)) / 1000.0f;
  const float d = 200.0f * ((((6.05f - 2.0f * 4.9f) + 5.3f) / 1000.0f / 1000.0f) +
                            (((4.3f + 5.6f) - 2.0f * 4.9f) / 1000.0f / 1000.0f));
  const float expected = ((p - x) - a) + d;
  ASSERT_NE(bits(expected), bits(((p - a) - x) + d)) << "the case must tell the two orders apart";
  EXPECT_EQ(bits(g(fv, i, j)), bits(expected)) << value_text(g(fv, i, j)) << " vs " << value_text(expected);
}

}  // namespace
