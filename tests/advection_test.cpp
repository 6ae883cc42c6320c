// Flux-limited pollutant advection: adv_air, flux, the limiter ratios, and
// force_air as the non-updating counterpart of adv_air.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "support/reference_case.hpp"
#include "kernels/kernels.hpp"
#include "support/field_checks.hpp"
#include "timestep/row_team.hpp"
#include "timestep/step_workspace.hpp"
#include "timestep/timestep.hpp"

namespace {

using checks::field;

constexpr float sentinel = -777.0f;
constexpr float inf = std::numeric_limits<float>::infinity();

int wrap(int x, int n) { return ((x % n) + n) % n; }
float ulp(float x) { return std::nextafter(x, inf) - x; }

struct advection : testing::Test {
  small_grid g = small_grid::with_interior(8, 6);
  field q = g.field(), u = g.field(), v = g.field();
  field dqdt = g.field(sentinel);
  float dt = 1.0f;

  void advance() { adv_air(q.data(), dqdt.data(), u.data(), v.data(), dt, reference::spacing, GRID_BOUNDS(g)); }
  void fluxes(field& fx, field& fy) const {
    flux(fx.data(), fy.data(), q.data(), u.data(), v.data(), dt, reference::spacing, GRID_BOUNDS(g));
  }

  // Steppy concentrations (so the limiter sees every kind of ratio) and
  // velocities of both signs with some exact zeros, Courant numbers up to 0.3.
  void stirred() {
    checks::fill(g, q, [](int i, int j) { return 1.0f + 0.37f * static_cast<float>(wrap(7 * i + 13 * j, 11)); });
    checks::fill(g, u, [](int i, int j) { return 100.0f * static_cast<float>(wrap(3 * i + 5 * j, 7) - 3); });
    checks::fill(g, v, [](int i, int j) { return 70.0f * static_cast<float>(wrap(2 * i + 3 * j, 5) - 2); });
  }
};

TEST_F(advection, no_flow_leaves_q_unchanged_and_the_rate_positive_zero) {
  checks::fill(g, q, [](int i, int j) { return checks::tagged(-5.0f, i, j); });
  const field q_in = q;
  advance();
  EXPECT_TRUE(checks::same_bits(g, q, q_in));
  EXPECT_TRUE(checks::same_bits_in(g, dqdt, g.field(0.0f), checks::cells(g)));
  EXPECT_TRUE(checks::same_bits_outside(g, dqdt, g.field(sentinel), checks::cells(g)));
}

TEST_F(advection, uniform_field_in_uniform_flow_is_unchanged) {
  checks::fill(g, q, [](int, int) { return 0.7f; });
  checks::fill(g, u, [](int, int) { return -2.3f; });
  checks::fill(g, v, [](int, int) { return 1.7f; });
  const field q_in = q;
  advance();
  EXPECT_TRUE(checks::same_bits(g, q, q_in));
  EXPECT_TRUE(checks::same_bits_in(g, dqdt, g.field(0.0f), checks::cells(g)));
}

// At Courant number 1 the correction term vanishes and one call moves every
// cell's value one cell downstream. With whole-number concentrations every
// operation is exact, so the shift is exact too, for either step length.
TEST_F(advection, courant_number_one_shifts_by_one_cell_in_each_direction) {
  struct direction {
    const char* name;
    int di, dj;  // the upstream neighbour
  };
  for (float step : {1.0f, 0.5f}) {
    for (direction d : {direction{"east", -1, 0}, {"west", 1, 0}, {"north", 0, -1}, {"south", 0, 1}}) {
      SCOPED_TRACE(testing::Message() << d.name << ", dt " << step);
      dt = step;
      const float w = 1000.0f / step;
      checks::fill(g, u, [&](int, int) { return d.di == 0 ? 0.0f : -static_cast<float>(d.di) * w; });
      checks::fill(g, v, [&](int, int) { return d.dj == 0 ? 0.0f : -static_cast<float>(d.dj) * w; });
      checks::fill(g, q, [](int i, int j) { return static_cast<float>(wrap(5 * i + 11 * j, 17) + 1); });
      const field q_in = q;
      advance();
      for (int j = g.jds; j <= g.jde - 1; ++j) {
        for (int i = g.ids; i <= g.ide - 1; ++i) {
          EXPECT_EQ(g(q, i, j), g(q_in, i + d.di, j + d.dj)) << i << "," << j;
          EXPECT_EQ(g(dqdt, i, j) * step, g(q, i, j) - g(q_in, i, j)) << i << "," << j;
        }
      }
    }
  }
}

// A face whose velocity is zero, the wall face included, passes nothing,
// whatever the concentrations on either side.
TEST_F(advection, a_face_at_rest_carries_no_flux) {
  stirred();
  for (int j = g.jms; j <= g.jme; ++j) g(u, 4, j) = 0.0f;
  for (int i = g.ims; i <= g.ime; ++i) g(v, i, 3) = 0.0f;
  field h = g.field();
  set_bdy(u.data(), v.data(), h.data(), q.data(), reference::u_init, reference::v_init, GRID_BOUNDS(g));
  field fx = g.field(sentinel), fy = g.field(sentinel);
  fluxes(fx, fy);
  for (int j = g.jds; j <= g.jde - 1; ++j) {
    EXPECT_EQ(g(fx, g.ids, j), 0.0f) << "wall face, row " << j;
    EXPECT_EQ(g(fx, 4, j), 0.0f) << "row " << j;
  }
  for (int i = g.ids; i <= g.ide - 1; ++i) EXPECT_EQ(g(fy, i, 3), 0.0f) << "column " << i;
}

// The upwind jump of a face is taken from the west (south) side when the
// velocity is +0 or -0, from the east (north) side for any negative value.
TEST_F(advection, a_velocity_of_zero_counts_as_eastward_in_the_limiter) {
  const int i = 4, j = 3;
  const float row[] = {1.0f, 3.0f, 4.0f, 9.0f};  // cells i-2 .. i+1 (or j-2 .. j+1): jump 1, upwind 2 or 5
  for (int k = 0; k < 4; ++k) g(q, i - 2 + k, j) = row[k], g(q, i, j - 2 + k) = row[k];
  struct expectation {
    float w, ratio;
  };
  for (expectation e : {expectation{0.0f, 2.0f}, {-0.0f, 2.0f}, {1e-30f, 2.0f}, {-1e-30f, 5.0f}}) {
    SCOPED_TRACE(testing::Message() << "velocity " << value_text(e.w));
    g(u, i, j) = e.w, g(v, i, j) = e.w;
    float jump = 0.0f, ratio = 0.0f;
    flux_limiterx(jump, ratio, q.data(), u.data(), i, j, g.ims, g.ime, g.jms, g.jme);
    EXPECT_EQ(jump, 1.0f);
    EXPECT_EQ(ratio, e.ratio) << "x face";
    flux_limitery(jump, ratio, q.data(), v.data(), i, j, g.ims, g.ime, g.jms, g.jme);
    EXPECT_EQ(jump, 1.0f);
    EXPECT_EQ(ratio, e.ratio) << "y face";
  }
}

// The superbee limiter seen through the flux of one face: with the cells
// upstream to downstream -r, 0, 1 the ratio is exactly r (1 + 1e-11 rounds
// to 1), and with w = 500, dt = 1 the flux is exactly 125000 times the
// limiter value.
TEST_F(advection, superbee_limiter_values_appear_in_the_face_flux) {
  struct point {
    float r, phi;
  };
  const point table[] = {{-inf, 0.0f}, {-1.0f, 0.0f}, {0.0f, 0.0f}, {0.25f, 0.5f}, {0.5f, 1.0f}, {0.75f, 1.0f},
                         {1.0f, 1.0f}, {1.5f, 1.5f},  {2.0f, 2.0f}, {3.0f, 2.0f},  {inf, 2.0f}};
  const int i = 4, j = 3;
  g(u, i, j) = 500.0f, g(v, i, j) = 500.0f;
  for (point p : table) {
    SCOPED_TRACE(testing::Message() << "ratio " << p.r);
    g(q, i - 2, j) = -p.r, g(q, i - 1, j) = 0.0f, g(q, i, j) = 1.0f;
    g(q, i, j - 2) = -p.r, g(q, i, j - 1) = 0.0f;
    field fx = g.field(), fy = g.field();
    fluxes(fx, fy);
    EXPECT_EQ(g(fx, i, j), 125000.0f * p.phi) << "x face";
    EXPECT_EQ(g(fy, i, j), 125000.0f * p.phi) << "y face";
  }
}

// Where the jump across a face is exactly the float nearest -1e-11 and the
// upwind jump is 0 the ratio is 0/0. The limiter then gives 0: the face
// carries the plain upwind flux and no NaN reaches the field.
struct nan_ratio : advection {
  static constexpr float offset = 1e-11f;
  const float a = offset, b = 2.0f * offset;  // normal floats with a - b == -offset exactly
  const int i0 = 5, j0 = 3;

  // Across the face (i0, j0) the cell on its west (south) side holds b and
  // the one on its east (north) side a; the next cell upstream repeats the
  // upstream value. The flow is eastward through the x face, southward
  // through the y face.
  void place(bool along_x) {
    checks::fill(g, q, [](int, int) { return 0.5f; });
    checks::fill(g, u, [&](int, int) { return along_x ? 3.0f : 0.0f; });
    checks::fill(g, v, [&](int, int) { return along_x ? 0.0f : -4.0f; });
    if (along_x) {
      g(q, i0 - 2, j0) = b, g(q, i0 - 1, j0) = b, g(q, i0, j0) = a;
    } else {
      g(q, i0, j0 - 1) = b, g(q, i0, j0) = a, g(q, i0, j0 + 1) = a;
    }
  }
};

TEST_F(nan_ratio, the_offending_face_exists) {
  ASSERT_TRUE(std::isnormal(a) && std::isnormal(b));
  ASSERT_EQ(a - b, -offset);
  ASSERT_EQ((a - b) + offset, 0.0f);
  place(true);
  float jump = 0.0f, ratio = 0.0f;
  flux_limiterx(jump, ratio, q.data(), u.data(), i0, j0, g.ims, g.ime, g.jms, g.jme);
  EXPECT_EQ(jump, -offset);
  EXPECT_TRUE(std::isnan(ratio));
}

TEST_F(nan_ratio, face_carries_the_plain_upwind_flux) {
  for (bool along_x : {true, false}) {
    SCOPED_TRACE(along_x ? "x face" : "y face");
    place(along_x);
    field fx = g.field(), fy = g.field();
    fluxes(fx, fy);
    const float w = along_x ? 3.0f : -4.0f;
    const float upwind = (std::min(w, 0.0f) * a + std::max(w, 0.0f) * b) * (dt * 1000.0f);
    const float got = along_x ? g(fx, i0, j0) : g(fy, i0, j0);
    EXPECT_TRUE(std::isfinite(got));
    EXPECT_EQ(bits(got), bits(upwind)) << value_text(got) << " vs " << value_text(upwind);
  }
}

TEST_F(nan_ratio, field_stays_finite_after_an_advection_and_a_whole_step) {
  for (bool along_x : {true, false}) {
    SCOPED_TRACE(along_x ? "x face" : "y face");
    place(along_x);
    const field q_in = q;
    advance();
    EXPECT_TRUE(checks::all_finite(g, q, checks::stored(g)));
    EXPECT_TRUE(checks::all_finite(g, dqdt, checks::cells(g)));

    q = q_in;
    field h = g.field(), gpx = g.field(), gpy = g.field(), fx(static_cast<std::size_t>(g.jme - g.jms + 1));
    step_team team(1);
    step_workspace ws({GRID_BOUNDS(g)}, team);
    rk2(u.data(), v.data(), h.data(), q.data(), dqdt.data(), gpx.data(), gpy.data(), fx.data(), fx.data(),
        reference::spacing, reference::u_init, reference::v_init, GRID_BOUNDS(g), ws);
    EXPECT_TRUE(checks::all_finite(g, q, checks::stored(g)));
    EXPECT_TRUE(checks::all_finite(g, dqdt, checks::cells(g)));
  }
}

// After the boundary values are set the rows are periodic, so the flux
// through the northern face row equals that through the southern one bit for
// bit; with no flow through the wall and the last x face, the interior total
// changes only by rounding.
TEST_F(advection, periodic_rows_conserve_the_interior_total) {
  stirred();
  for (int j = g.jds; j <= g.jde - 1; ++j) g(u, g.ide, j) = 0.0f;
  field h = g.field();
  set_bdy(u.data(), v.data(), h.data(), q.data(), reference::u_init, reference::v_init, GRID_BOUNDS(g));
  field fx = g.field(), fy = g.field();
  fluxes(fx, fy);
  for (int i = g.ids; i <= g.ide - 1; ++i) EXPECT_EQ(bits(g(fy, i, g.jde)), bits(g(fy, i, g.jds))) << "column " << i;
  for (int j = g.jds; j <= g.jde - 1; ++j) {
    EXPECT_EQ(g(fx, g.ids, j), 0.0f);
    EXPECT_EQ(g(fx, g.ide, j), 0.0f);
  }
  const auto total = [&] {
    double sum = 0.0, largest = 0.0;
    for (int j = g.jds; j <= g.jde - 1; ++j)
      for (int i = g.ids; i <= g.ide - 1; ++i) {
        sum += static_cast<double>(g(q, i, j));
        largest = std::max(largest, std::fabs(static_cast<double>(g(q, i, j))));
      }
    return std::pair{sum, largest};
  };
  const auto [before, largest] = total();
  const field q_before = q;
  advance();
  EXPECT_FALSE(checks::same_bits(g, q, q_before));
  // Each cell's update and its balance of four fluxes round a few times, each
  // by at most half an ulp of a value no larger than the largest q.
  const double cell_count = (g.ide - g.ids) * (g.jde - g.jds);
  EXPECT_NEAR(total().first, before, cell_count * largest * 0x1p-21);
}

// force_air forms the same fluxes and the same cell balance as adv_air:
// adv_air's new q is q + dq and its rate dq / dt, while force_air's rate is
// the fixed 2 dq whatever dt is. force_air changes none of q, u, v.
TEST_F(advection, force_air_gives_the_increment_adv_air_applies) {
  stirred();
  dt = 0.75f;
  const field q_in = q, u_in = u, v_in = v;
  field dq = g.field(sentinel), rate = g.field(sentinel);
  force_air(dq.data(), q.data(), rate.data(), u.data(), v.data(), dt, reference::spacing, GRID_BOUNDS(g));
  EXPECT_TRUE(checks::same_bits(g, q, q_in));
  EXPECT_TRUE(checks::same_bits(g, u, u_in));
  EXPECT_TRUE(checks::same_bits(g, v, v_in));
  advance();
  field q_expected = q_in, dqdt_expected = dqdt, rate_expected = rate;
  for (int j = g.jds; j <= g.jde - 1; ++j) {
    for (int i = g.ids; i <= g.ide - 1; ++i) {
      g(q_expected, i, j) = g(q_in, i, j) + g(dq, i, j);
      g(dqdt_expected, i, j) = g(dq, i, j) / dt;
      g(rate_expected, i, j) = 2.0f * g(dq, i, j);
    }
  }
  EXPECT_TRUE(checks::same_bits(g, q, q_expected));
  EXPECT_TRUE(checks::same_bits(g, dqdt, dqdt_expected));
  EXPECT_TRUE(checks::same_bits(g, rate, rate_expected));
  EXPECT_FALSE(checks::same_bits(g, rate, dqdt)) << "the case must tell 2 dq from dq / dt";
}

// The rate times the step length reproduces the change of q up to rounding,
// for a step length whose reciprocal is not exact.
TEST_F(advection, rate_times_step_length_is_the_change) {
  stirred();
  dt = 0.3f;
  const field q_in = q;
  advance();
  for (int j = g.jds; j <= g.jde - 1; ++j) {
    for (int i = g.ids; i <= g.ide - 1; ++i) {
      // The rate and its product each round once (relative to the change);
      // the update of q rounds by half an ulp of q.
      const float change = g(q, i, j) - g(q_in, i, j);
      EXPECT_NEAR(g(dqdt, i, j) * dt, change, 2.0f * ulp(std::max(std::fabs(g(q, i, j)), std::fabs(g(q_in, i, j)))))
          << i << "," << j;
    }
  }
}

// Each output is written exactly on its range: adv_air's q and dqdt and
// force_air's dq and rate on the cells, flux_x on the x faces, flux_y on the
// y faces. Everything else keeps its sentinel.
TEST_F(advection, outputs_are_written_on_their_ranges_only) {
  stirred();
  checks::fill(g, q, [](int i, int j) { return checks::tagged(50.0f, i, j); });
  const field q_in = q;
  field dq = g.field(sentinel), rate = g.field(sentinel), fx = g.field(sentinel), fy = g.field(sentinel);
  fluxes(fx, fy);
  force_air(dq.data(), q.data(), rate.data(), u.data(), v.data(), dt, reference::spacing, GRID_BOUNDS(g));
  advance();
  EXPECT_TRUE(checks::same_bits_outside(g, q, q_in, checks::cells(g)));
  const field untouched = g.field(sentinel);
  for (auto [f, range] : {std::pair{&dqdt, checks::cells(g)}, {&dq, checks::cells(g)}, {&rate, checks::cells(g)},
                          {&fx, checks::x_faces(g)}, {&fy, checks::y_faces(g)}}) {
    EXPECT_TRUE(checks::same_bits_outside(g, *f, untouched, range));
    EXPECT_TRUE(checks::all_written(g, *f, sentinel, range));
  }
}

}  // namespace
