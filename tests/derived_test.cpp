// Derived fields: cell-centred velocities, divergence, vorticity and the
// diagnosed height, on flows whose values are known, and the ranges each
// output is written on.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "support/reference_case.hpp"
#include "diagnostics/diagnostics.hpp"
#include "driver/derived_fields.hpp"
#include "grid/domain.hpp"
#include "timestep/row_team.hpp"
#include "grid/constant.hpp"
#include "support/field_checks.hpp"

namespace {

using checks::field;

constexpr float sentinel = -777.0f;
constexpr std::uint32_t negative_zero = 0x80000000u;

struct derived : testing::Test {
  small_grid g = small_grid::with_interior(7, 6);
  field u = g.field(), v = g.field(), spare = g.field();
  field div = g.field(sentinel), vort = g.field(sentinel), us = g.field(sentinel), vs = g.field(sentinel);
  field h = g.field(sentinel);

  void diagnose() {
    div_vort(div.data(), vort.data(), us.data(), vs.data(), spare.data(), u.data(), v.data(), reference::spacing,
             GRID_BOUNDS(g));
    diagh(h.data(), u.data(), v.data(), reference::spacing, GRID_BOUNDS(g));
  }
  // Where div and vort are computed: one cell in from the cells.
  checks::box inner() const { return {g.ids + 1, g.ide - 2, g.jds + 1, g.jde - 2}; }

  // Expects f == want at every point of b (value comparison, so +0 == -0).
  void expect_in(const field& f, checks::box b, float want, const char* name) const {
    for (int j = b.j0; j <= b.j1; ++j)
      for (int i = b.i0; i <= b.i1; ++i) EXPECT_FLOAT_EQ(g(f, i, j), want) << name << " at " << i << "," << j;
  }
};

// The height is the divergence times -20000: a divergence of +0 gives -0.
TEST_F(derived, uniform_flow_gives_its_own_velocities_and_nothing_else) {
  checks::fill(g, u, [](int, int) { return reference::u_init; });
  checks::fill(g, v, [](int, int) { return reference::v_init; });
  diagnose();
  EXPECT_TRUE(checks::same_bits_in(g, us, g.field(reference::u_init), checks::cells(g)));
  EXPECT_TRUE(checks::same_bits_in(g, vs, g.field(reference::v_init), checks::cells(g)));
  EXPECT_TRUE(checks::same_bits_in(g, div, g.field(0.0f), inner()));
  EXPECT_TRUE(checks::same_bits_in(g, vort, g.field(0.0f), inner()));
  EXPECT_TRUE(checks::same_bits_in(g, h, g.field(-0.0f), checks::cells(g)));
  EXPECT_EQ(bits(g(h, g.ids, g.jds)), negative_zero);
}

// u = 1000 a i with a = 0.003 (u = 3 i, exact): div = a, h = -20000 a.
TEST_F(derived, linear_growth_of_u_gives_its_divergence_and_height) {
  checks::fill(g, u, [](int i, int) { return 3.0f * static_cast<float>(i); });
  diagnose();
  expect_in(div, inner(), 0.003f, "div");
  expect_in(h, checks::cells(g), -60.0f, "h");
  expect_in(vort, inner(), 0.0f, "vort");
  for (int j = g.jds; j <= g.jde - 1; ++j)
    for (int i = g.ids; i <= g.ide - 1; ++i) EXPECT_EQ(g(us, i, j), 3.0f * static_cast<float>(i) + 1.5f) << i << "," << j;
}

// v = 1000 b i (b = 0.002) turns anticlockwise, u = 1000 c j (c = 0.004)
// clockwise: vort = b and vort = -c, without divergence.
TEST_F(derived, shear_gives_its_vorticity) {
  checks::fill(g, v, [](int i, int) { return 2.0f * static_cast<float>(i); });
  diagnose();
  expect_in(vort, inner(), 0.002f, "vort of v shear");
  expect_in(div, inner(), 0.0f, "div of v shear");
  std::fill(v.begin(), v.end(), 0.0f);
  checks::fill(g, u, [](int, int j) { return 4.0f * static_cast<float>(j); });
  diagnose();
  expect_in(vort, inner(), -0.004f, "vort of u shear");
  expect_in(div, inner(), 0.0f, "div of u shear");
}

TEST_F(derived, outputs_are_written_on_their_ranges_only) {
  checks::fill(g, u, [](int i, int j) { return checks::tagged(-3.0f, i, j * j); });
  checks::fill(g, v, [](int i, int j) { return checks::tagged(5.0f, i * i, j); });
  diagnose();
  const field untouched = g.field(sentinel);
  for (const field* f : {&us, &vs, &h}) {
    EXPECT_TRUE(checks::same_bits_outside(g, *f, untouched, checks::cells(g)));
    EXPECT_TRUE(checks::all_written(g, *f, sentinel, checks::cells(g)));
  }
  for (const field* f : {&div, &vort}) {
    EXPECT_TRUE(checks::same_bits_outside(g, *f, untouched, inner()));
    EXPECT_TRUE(checks::all_written(g, *f, sentinel, inner()));
  }
}

// The spare argument may be any field, even one of the outputs: it is not
// read, so its contents never matter.
TEST_F(derived, spare_field_is_never_read) {
  checks::fill(g, u, [](int i, int j) { return checks::tagged(-3.0f, i, j * j); });
  checks::fill(g, v, [](int i, int j) { return checks::tagged(5.0f, i * i, j); });
  diagnose();
  const field div0 = div, vort0 = vort, us0 = us, vs0 = vs;
  std::fill(spare.begin(), spare.end(), std::numeric_limits<float>::quiet_NaN());
  diagnose();
  for (auto [got, want] : {std::pair{&div, &div0}, {&vort, &vort0}, {&us, &us0}, {&vs, &vs0}})
    EXPECT_TRUE(checks::same_bits(g, *got, *want));
  field div2 = g.field(sentinel), vort2 = g.field(sentinel);
  div_vort(div2.data(), vort2.data(), us.data(), vs.data(), div2.data(), u.data(), v.data(), reference::spacing,
           GRID_BOUNDS(g));
  EXPECT_TRUE(checks::same_bits(g, div2, div0));
  EXPECT_TRUE(checks::same_bits(g, vort2, vort0));
}

// The snapshot's derived fields with their rows shared by teams of 1 to 4
// threads: every point of us, vs, div and vort the same bits as one
// div_vort over the whole field gives, on a whole grid and on a block of
// one, from a flow full of special values (NaN, infinities, signed zeros,
// subnormals, huge values whose sums overflow).
TEST(DerivedShared, SameBitsForEveryTeamAsOneCall) {
  std::mt19937 g(4242);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            0.0f,
                            -0.0f,
                            std::numeric_limits<float>::denorm_min(),
                            3e38f,
                            -3e38f};
  const auto value = [&] {
    return g() % 10 == 0 ? specials[g() % std::size(specials)]
                         : std::uniform_real_distribution<float>(-20.0f, 20.0f)(g);
  };
  for (const patch_bounds patch : {patch_bounds{1, 37, 1, 150}, patch_bounds{5, 30, 40, 141}}) {
    domain::gridpara(37, 150, patch);
    using namespace domain;
    const std::size_t n = field_size(ims, ime, jms, jme);
    for (std::size_t k = 0; k < n; ++k) u[k] = value(), v[k] = value();
    const auto fill_outputs = [&] {
      for (std::size_t k = 0; k < n; ++k) us[k] = vs[k] = domain::div[k] = vort[k] = sentinel;
    };
    fill_outputs();
    div_vort(domain::div, vort, us, vs, forceu, u, v, reference::spacing, ids, ide, jds, jde, ims, ime, jms, jme);
    const std::vector<std::vector<float>> one{
        {us, us + n}, {vs, vs + n}, {domain::div, domain::div + n}, {vort, vort + n}};
    for (int threads = 1; threads <= 4; ++threads) {
      fill_outputs();
      step_team team(threads);
      derive_snapshot_fields(reference::spacing, team);
      const float* shared[] = {us, vs, domain::div, vort};
      for (std::size_t f = 0; f < 4; ++f) {
        int differ = 0;
        for (std::size_t k = 0; k < n; ++k) differ += bits(shared[f][k]) != bits(one[f][k]);
        EXPECT_EQ(differ, 0) << "field " << f << ", " << threads << " threads, block from row " << patch.jps;
      }
    }
  }
}

}  // namespace
