// The two-stage step and its forward stage. Besides the properties of a
// single step, the step is rebuilt here from the public procedures (the
// stage copies, stepping, set_bdy, force, the Heun combinations, force_air,
// diagh) and compared with rk2 bit for bit over several steps and grid
// shapes, so that any faster rk2 must keep exactly the same arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

#include "support/reference_case.hpp"
#include "diagnostics/diagnostics.hpp"
#include "driver/init.hpp"
#include "grid/constant.hpp"
#include "kernels/kernels.hpp"
#include "support/field_checks.hpp"
#include "timestep/row_team.hpp"
#include "timestep/step_workspace.hpp"
#include "timestep/timestep.hpp"

namespace {

using checks::box;
using checks::field;

int wrap(int x, int n) { return ((x % n) + n) % n; }

template <class Fn>
void each(box b, Fn fn) {
  for (int j = b.j0; j <= b.j1; ++j)
    for (int i = b.i0; i <= b.i1; ++i) fn(i, j);
}

// The arguments of rk2 on one grid.
struct state {
  small_grid g;
  field u, v, h, q, dqdt, gpx, gpy, fx, fy;
  // The run's grid spacing and inflow wind.
  grid_spacing spacing = reference::spacing;
  float u_in = reference::u_init, v_in = reference::v_init;

  explicit state(small_grid grid)
      : g(grid), u(g.field()), v(g.field()), h(g.field()), q(g.field()), dqdt(g.field()), gpx(g.field()),
        gpy(g.field()), fx(static_cast<std::size_t>(g.jme - g.jms + 1)), fy(fx) {}

  // Velocities of both signs varying from face to face, a rough height, a
  // pollutant block with steep edges on a patchy background; every halo
  // point and the rate hold values the step must neither use nor change.
  static state stirred(small_grid grid) {
    state s(grid);
    const small_grid& g = s.g;
    checks::fill(g, s.u, [](int i, int j) { return 0.9f * static_cast<float>(wrap(5 * i + 3 * j, 7) - 3); });
    checks::fill(
        g, s.v, [](int i, int j) { return reference::v_init + 0.7f * static_cast<float>(wrap(2 * i + 5 * j, 6) - 3); });
    checks::fill(g, s.h, [](int i, int j) { return 0.05f * static_cast<float>(wrap(i * j, 5)); });
    checks::fill(g, s.q, [](int i, int j) {
      return (i >= 3 && i <= 5 && j >= 2 && j <= 4) ? 1.0f + 0.25f * static_cast<float>(i) : 0.01f * static_cast<float>(wrap(i + 2 * j, 3));
    });
    checks::fill(g, s.dqdt, [](int i, int j) { return checks::tagged(900.0f, i, j); });
    checks::fill(g, s.gpx, [](int i, int j) { return checks::tagged(-40.0f, i, j); });
    checks::fill(g, s.gpy, [](int i, int j) { return checks::tagged(-80.0f, i, j); });
    for (std::size_t k = 0; k < s.fx.size(); ++k) s.fx[k] = 1e-4f * static_cast<float>(k), s.fy[k] = -2e-4f * static_cast<float>(k);
    return s;
  }

  // One step of the production step, with a workspace of its own.
  void step() {
    step_team team(1);
    step_workspace ws({GRID_BOUNDS(g)}, team);
    rk2(u.data(), v.data(), h.data(), q.data(), dqdt.data(), gpx.data(), gpy.data(), fx.data(), fy.data(), spacing,
        u_in, v_in, GRID_BOUNDS(g), ws);
    ws.materialize(u.data(), v.data(), h.data());
  }

  // The same step composed from the public procedures.
  void composed_step() {
    field u_n = u, v_n = v, q_n = q, u_st = u, v_st = v, h_st = h, q_st = q;
    field dqdt_st = g.field(), du = g.field(), dv = g.field(), dq = g.field();
    stepping(u_st.data(), v_st.data(), h_st.data(), q_st.data(), dqdt_st.data(), gpx.data(), gpy.data(), fx.data(),
             fy.data(), 1.0f, spacing, u_in, v_in, GRID_BOUNDS(g));
    set_bdy(u_st.data(), v_st.data(), h_st.data(), q_st.data(), u_in, v_in, GRID_BOUNDS(g));
    force(du.data(), dv.data(), u_st.data(), v_st.data(), h_st.data(), gpx.data(), gpy.data(), fx.data(), fy.data(),
          spacing, GRID_BOUNDS(g));
    each(checks::x_faces(g), [&](int i, int j) { g(u, i, j) = 0.5f * ((g(u_n, i, j) + g(u_st, i, j)) + g(du, i, j)); });
    each(checks::y_faces(g), [&](int i, int j) { g(v, i, j) = 0.5f * ((g(v_n, i, j) + g(v_st, i, j)) + g(dv, i, j)); });
    force_air(dq.data(), q_st.data(), dqdt.data(), u_st.data(), v_st.data(), 0.5f, spacing, GRID_BOUNDS(g));
    each(checks::cells(g), [&](int i, int j) { g(q, i, j) = 0.5f * ((g(q_n, i, j) + g(q_st, i, j)) + g(dq, i, j)); });
    diagh(h.data(), u.data(), v.data(), spacing, GRID_BOUNDS(g));
  }

  testing::AssertionResult same_as(const state& other) const {
    for (auto [mine, theirs, name] : {std::tuple{&u, &other.u, "u"}, {&v, &other.v, "v"}, {&h, &other.h, "h"},
                                      {&q, &other.q, "q"}, {&dqdt, &other.dqdt, "dqdt"}}) {
      if (auto r = checks::same_bits(g, *mine, *theirs); !r) return r << " in " << name;
    }
    return testing::AssertionSuccess();
  }
};

struct two_stage_step : testing::Test {
  state s = state::stirred(small_grid::with_interior(9, 7));
};

TEST_F(two_stage_step, halo_and_boundary_points_keep_their_entry_values) {
  const state before = s;
  s.step();
  const small_grid& g = s.g;
  EXPECT_TRUE(checks::same_bits_outside(g, s.u, before.u, checks::x_faces(g)));
  EXPECT_TRUE(checks::same_bits_outside(g, s.v, before.v, checks::y_faces(g)));
  for (auto [now, then] : {std::pair{&s.h, &before.h}, {&s.q, &before.q}, {&s.dqdt, &before.dqdt}}) {
    EXPECT_TRUE(checks::same_bits_outside(g, *now, *then, checks::cells(g)));
    EXPECT_FALSE(checks::same_bits_in(g, *now, *then, checks::cells(g))) << "the step must change the cells";
  }
}

TEST_F(two_stage_step, rate_on_entry_does_not_matter) {
  state garbage = s, zero = s;
  std::fill(garbage.dqdt.begin(), garbage.dqdt.end(), std::numeric_limits<float>::quiet_NaN());
  std::fill(zero.dqdt.begin(), zero.dqdt.end(), 0.0f);
  garbage.step();
  zero.step();
  const small_grid& g = s.g;
  for (auto [a, b] : {std::pair{&garbage.u, &zero.u}, {&garbage.v, &zero.v}, {&garbage.h, &zero.h}, {&garbage.q, &zero.q}})
    EXPECT_TRUE(checks::same_bits(g, *a, *b));
  EXPECT_TRUE(checks::same_bits_in(g, garbage.dqdt, zero.dqdt, checks::cells(g)));
}

TEST_F(two_stage_step, height_is_the_diagnosis_of_the_new_velocities) {
  s.step();
  field diagnosed = s.g.field(-777.0f);
  diagh(diagnosed.data(), s.u.data(), s.v.data(), reference::spacing, GRID_BOUNDS(s.g));
  EXPECT_TRUE(checks::same_bits_in(s.g, s.h, diagnosed, checks::cells(s.g)));
}

// At the wall the stage value of u is 0 (the boundary values of stage 2 set
// it), so the new u is half the old value plus the stage-2 tendency; the
// module's u itself is never reset to 0 there.
TEST_F(two_stage_step, west_wall_face_combines_the_old_value_with_the_stage_tendency) {
  const small_grid& g = s.g;
  for (int j = g.jms; j <= g.jme; ++j) g(s.u, g.ids, j) = -1.5f + 0.1f * static_cast<float>(j);
  field u_st = s.u, v_st = s.v, h_st = s.h, q_st = s.q, rate = g.field(), du = g.field(), dv = g.field();
  stepping(u_st.data(), v_st.data(), h_st.data(), q_st.data(), rate.data(), s.gpx.data(), s.gpy.data(), s.fx.data(),
           s.fy.data(), 1.0f, reference::spacing, reference::u_init, reference::v_init, GRID_BOUNDS(g));
  set_bdy(u_st.data(), v_st.data(), h_st.data(), q_st.data(), reference::u_init, reference::v_init, GRID_BOUNDS(g));
  force(du.data(), dv.data(), u_st.data(), v_st.data(), h_st.data(), s.gpx.data(), s.gpy.data(), s.fx.data(),
        s.fy.data(), reference::spacing, GRID_BOUNDS(g));
  const field u_old = s.u;
  s.step();
  for (int j = g.jds; j <= g.jde - 1; ++j) {
    ASSERT_EQ(bits(g(u_st, g.ids, j)), 0u) << "row " << j;
    const float expected = 0.5f * (g(u_old, g.ids, j) + g(du, g.ids, j));
    EXPECT_EQ(bits(g(s.u, g.ids, j)), bits(expected)) << "row " << j;
    EXPECT_NE(g(s.u, g.ids, j), 0.0f) << "row " << j;
  }
}

TEST_F(two_stage_step, background_and_coriolis_arrays_are_neither_written_nor_read) {
  const state before = s;
  s.step();
  EXPECT_TRUE(checks::same_bits(s.g, s.gpx, before.gpx));
  EXPECT_TRUE(checks::same_bits(s.g, s.gpy, before.gpy));
  EXPECT_EQ(s.fx, before.fx);
  EXPECT_EQ(s.fy, before.fy);
  state unread = before;
  for (field* f : {&unread.gpx, &unread.gpy, &unread.fx, &unread.fy})
    std::fill(f->begin(), f->end(), std::numeric_limits<float>::quiet_NaN());
  unread.step();
  EXPECT_TRUE(s.same_as(unread));
}

// The step length of the forward stage reaches the pollutant only.
TEST_F(two_stage_step, forward_stage_step_length_moves_only_the_pollutant) {
  state one = s, half = s;
  for (auto [t, dt] : {std::pair{&one, 1.0f}, {&half, 0.5f}})
    stepping(t->u.data(), t->v.data(), t->h.data(), t->q.data(), t->dqdt.data(), t->gpx.data(), t->gpy.data(),
             t->fx.data(), t->fy.data(), dt, reference::spacing, reference::u_init, reference::v_init,
             GRID_BOUNDS(s.g));
  EXPECT_TRUE(checks::same_bits(s.g, one.u, half.u));
  EXPECT_TRUE(checks::same_bits(s.g, one.v, half.v));
  EXPECT_TRUE(checks::same_bits(s.g, one.h, half.h));
  EXPECT_FALSE(checks::same_bits(s.g, one.q, half.q));
}

// The pollutant is advanced by half the stage-1 increment (one step) and half
// the stage-2 increment (half a step): three quarters of a step of advection
// per step. A smooth blob in the uniform initial wind therefore drifts at
// 3/4 of the wind; the limiter's own phase error is a few tenths of a percent.
TEST(two_stage_step_drift, pollutant_moves_at_three_quarters_of_the_wind) {
  state s(small_grid::with_interior(24, 24));
  const small_grid& g = s.g;
  checks::fill(g, s.u, [](int, int) { return reference::u_init; });
  checks::fill(g, s.v, [](int, int) { return reference::v_init; });
  checks::fill(g, s.q, [](int i, int j) { return std::exp(-static_cast<float>((i - 12) * (i - 12) + (j - 12) * (j - 12)) / 18.0f); });
  const auto centre = [&] {
    double m = 0, x = 0, y = 0;
    each(checks::cells(g), [&](int i, int j) {
      const double c = static_cast<double>(g(s.q, i, j));
      m += c, x += c * 1000.0 * i, y += c * 1000.0 * j;
    });
    return std::pair{x / m, y / m};
  };
  const auto [x0, y0] = centre();
  const int steps = 10;
  for (int n = 0; n < steps; ++n) s.step();
  const auto [x1, y1] = centre();
  EXPECT_NEAR((x1 - x0) / (steps * static_cast<double>(reference::u_init)), 0.75, 0.01);
  EXPECT_NEAR((y1 - y0) / (steps * static_cast<double>(reference::v_init)), 0.75, 0.01);
}

// Runs rk2 and the composed step side by side from the same state.
void expect_rk2_as_composed(state fast, int steps) {
  state composed = fast;
  for (int n = 0; n < steps; ++n) {
    fast.step();
    composed.composed_step();
    ASSERT_TRUE(fast.same_as(composed)) << "after step " << n + 1;
  }
}

// rk2 against the step composed from the public procedures, three steps on
// grids of several shapes (odd and even widths, wider and taller than long).
TEST(two_stage_step_composition, matches_the_public_procedures_bit_for_bit) {
  for (auto [ni, nj] : {std::pair{9, 7}, {20, 5}, {5, 12}, {33, 9}}) {
    SCOPED_TRACE(testing::Message() << ni << " x " << nj << " cells");
    expect_rk2_as_composed(state::stirred(small_grid::with_interior(ni, nj)), 3);
  }
}

// Another spacing and inflow wind reach every part of the step alike: rk2
// still equals the composition, and both differ from the reference
// spacing's step (so the spacing is not ignored anywhere that shows).
TEST(two_stage_step_composition, matches_with_another_spacing_and_wind) {
  for (float d : {1500.0f, 887.0f, 3.0e4f}) {
    SCOPED_TRACE(testing::Message() << "spacing " << d);
    state s = state::stirred(small_grid::with_interior(11, 8));
    s.spacing = make_spacing(d, d);
    s.u_in = 2.5f, s.v_in = -1.25f;
    expect_rk2_as_composed(s, 3);
    state at_reference = state::stirred(small_grid::with_interior(11, 8));
    at_reference.u_in = 2.5f, at_reference.v_in = -1.25f;
    s.step();
    at_reference.step();
    for (auto f : {&state::u, &state::v, &state::h, &state::q, &state::dqdt})
      EXPECT_FALSE(checks::same_bits(s.g, s.*f, at_reference.*f));
  }
}

// A face whose limiter ratio is 0/0 in stage 1 (jump exactly -1e-11 as
// floats, upwind jump 0): the step still matches the composition, whose
// fluxes give that face the plain upwind flux, and stays finite. The rest of
// the pollutant is zero, so that the flux of that face shows in the bits of
// its cells.
TEST(two_stage_step_composition, matches_where_a_limiter_ratio_is_zero_over_zero) {
  state s = state::stirred(small_grid::with_interior(9, 7));
  const small_grid& g = s.g;
  const float a = 1e-11f, b = 2.0f * a;  // a - b == -1e-11f exactly
  std::fill(s.q.begin(), s.q.end(), 0.0f);
  g(s.u, 5, 3) = 3.0f;
  g(s.q, 3, 3) = b, g(s.q, 4, 3) = b, g(s.q, 5, 3) = a;
  expect_rk2_as_composed(s, 1);
  s.step();
  EXPECT_TRUE(checks::all_finite(g, s.q, checks::stored(g)));
}

// The same on the run's own grid, from the initial state with a pollutant
// block: two steps.
TEST(two_stage_step_composition, matches_on_the_run_grid_from_the_initial_state) {
  state fast(small_grid{1, 401, 1, 401, -1, 403, -1, 403});
  const small_grid& g = fast.g;
  std::vector<float> x(static_cast<std::size_t>(g.ime - g.ims + 1)), y(static_cast<std::size_t>(g.jme - g.jms + 1));
  init(fast.u.data(), fast.v.data(), fast.h.data(), fast.q.data(), fast.gpx.data(), fast.gpy.data(), fast.fx.data(),
       fast.fy.data(), x.data(), y.data(), reference::spacing, reference::u_init, reference::v_init, GRID_BOUNDS(g));
  each({170, 190, 195, 205}, [&](int i, int j) { g(fast.q, i, j) = 0.5f + 0.01f * static_cast<float>(i - j); });
  each({5, 9, 100, 110}, [&](int i, int j) { g(fast.q, i, j) = 1.0f; });
  expect_rk2_as_composed(fast, 2);
}

}  // namespace
