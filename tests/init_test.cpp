// The initial state: coordinates, Coriolis values, the uniform flow and its
// background terms, bit for bit, and what stays untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/reference_case.hpp"
#include "driver/init.hpp"
#include "grid/constant.hpp"
#include "grid/domain.hpp"
#include "support/module_arrays.hpp"

namespace {

std::uint32_t bits_of(float v) { return std::bit_cast<std::uint32_t>(v); }

// The value printed with 7 significant digits, as the figures are quoted.
std::string seven_digits(float v) {
  char text[32];
  const auto r = std::to_chars(text, text + sizeof text, v, std::chars_format::scientific, 6);
  return std::string(text, r.ptr);
}

// The Coriolis parameter as the run defines it: the single-precision sine,
// times twice the rotation rate, in float.
const float f0 = 1.4584e-4f * std::sin(0.6632251f);
const float gpx_value = f0 * 5.196152f;
const float gpy_value = f0 * 3.0000005f;

TEST(InitialState, ConstantsHaveTheirBitPatterns) {
  EXPECT_EQ(bits_of(reference::u_init), 0xC0400002u);
  EXPECT_EQ(bits_of(reference::v_init), 0x40A646E1u);
  EXPECT_EQ(bits_of(reference::minus_u_init), 0x40400002u);
  EXPECT_EQ(seven_digits(f0), "8.978807e-05");
  EXPECT_EQ(seven_digits(gpx_value), "4.665525e-04");
  EXPECT_EQ(seven_digits(gpy_value), "2.693642e-04");
}

struct bounds {
  int ids, ide, jds, jde, ims, ime, jms, jme;
};

struct arrays {
  float *u, *v, *h, *q, *gpx, *gpy, *fx, *fy, *x, *y;
};

// Points of the field over the stored bounds whose bits differ from the
// expected value at (i, j).
int mismatches(const float* f, const bounds& b, const std::function<float(int, int)>& expected) {
  int n = 0;
  for (int j = b.jms; j <= b.jme; ++j) {
    for (int i = b.ims; i <= b.ime; ++i) n += bits_of(f[at(i, j, b.ims, b.ime, b.jms)]) != bits_of(expected(i, j));
  }
  return n;
}

// `unwritten` is what the last stored row of gpx and the last stored column
// of gpy held before: init leaves them alone.
void expect_initial_state(const bounds& b, const arrays& a, float unwritten) {
  for (int i = b.ims; i <= b.ime; ++i) {
    EXPECT_EQ(a.x[i - b.ims], static_cast<float>(i - b.ids) * 1000.0f) << "x(" << i << ")";
  }
  for (int j = b.jms; j <= b.jme; ++j) {
    EXPECT_EQ(a.y[j - b.jms], static_cast<float>(j - b.jds) * 1000.0f) << "y(" << j << ")";
    EXPECT_EQ(bits_of(a.fx[j - b.jms]), bits_of(f0)) << "fx(" << j << ")";
    EXPECT_EQ(bits_of(a.fy[j - b.jms]), bits_of(f0)) << "fy(" << j << ")";
  }
  const auto inside = [&](int i, int j) { return i >= b.ids && i <= b.ide && j >= b.jds && j <= b.jde; };
  EXPECT_EQ(mismatches(a.u, b, [&](int i, int j) { return inside(i, j) ? reference::u_init : 0.0f; }), 0);
  EXPECT_EQ(mismatches(a.v, b, [&](int i, int j) { return inside(i, j) ? reference::v_init : 0.0f; }), 0);
  EXPECT_EQ(mismatches(a.h, b, [](int, int) { return 0.0f; }), 0);
  EXPECT_EQ(mismatches(a.q, b, [](int, int) { return 0.0f; }), 0);
  EXPECT_EQ(mismatches(a.gpx, b, [&](int, int j) { return j < b.jme ? gpx_value : unwritten; }), 0);
  EXPECT_EQ(mismatches(a.gpy, b, [&](int i, int) { return i < b.ime ? gpy_value : unwritten; }), 0);
}

TEST(InitialState, ModuleFieldsAfterGridparaAndInit) {
  domain::gridpara(reference::nx, reference::ny);
  using namespace domain;
  const bounds b{ids, ide, jds, jde, ims, ime, jms, jme};
  init(u, v, h, q, gpx, gpy, fx, fy, x, y, reference::spacing, reference::u_init, reference::v_init, ids, ide, jds, jde,
       ims, ime, jms, jme);
  expect_initial_state(b, {u, v, h, q, gpx, gpy, fx, fy, x, y}, 0.0f);

  // The figures quoted for the configured grid.
  EXPECT_EQ(x[-1 - ims], -2000.0f);
  EXPECT_EQ(x[1 - ims], 0.0f);
  EXPECT_EQ(x[403 - ims], 402000.0f);
  EXPECT_EQ(y[401 - jms], 400000.0f);
  const auto p = [&](int i, int j) { return at(i, j, ims, ime, jms); };
  EXPECT_EQ(u[p(0, 5)], 0.0f);
  EXPECT_EQ(u[p(402, 5)], 0.0f);
  EXPECT_EQ(u[p(5, 0)], 0.0f);
  EXPECT_EQ(bits_of(u[p(1, 1)]), 0xC0400002u);
  EXPECT_EQ(bits_of(u[p(401, 401)]), 0xC0400002u);
  EXPECT_EQ(bits_of(v[p(401, 1)]), 0x40A646E1u);

  // Fields that init does not touch keep the zeros of gridpara.
  for (const module_array& a : module_arrays()) {
    const std::string name = a.name;
    if (name == "dqdt" || name == "us" || name == "vs" || name == "div" || name == "vort" || name == "qc" ||
        name == "qr" || name == "forceu" || name == "forcev") {
      EXPECT_EQ(count_not(a, 0u), 0u) << name;
    }
  }
}

// Small bounds that differ in every value from the configured ones and from
// each other, over arrays full of stale values: init must follow the bounds
// it is given, overwrite every point it owns and no other.
TEST(InitialState, FollowsTheBoundsItIsGiven) {
  const bounds b{3, 6, 2, 4, 1, 8, 0, 6};
  const std::size_t n = field_size(b.ims, b.ime, b.jms, b.jme);
  const float stale = 1234.5f;
  std::vector<float> u(n, stale), v(n, stale), h(n, stale), q(n, stale), gpx(n, stale), gpy(n, stale);
  std::vector<float> x(8, stale), y(7, stale), fx(7, stale), fy(7, stale);
  init(u.data(), v.data(), h.data(), q.data(), gpx.data(), gpy.data(), fx.data(), fy.data(), x.data(), y.data(),
       reference::spacing, reference::u_init, reference::v_init, b.ids, b.ide, b.jds, b.jde, b.ims, b.ime, b.jms,
       b.jme);
  expect_initial_state(b,
                       {u.data(), v.data(), h.data(), q.data(), gpx.data(), gpy.data(), fx.data(), fy.data(), x.data(),
                        y.data()},
                       stale);
}

// Another spacing and wind: the coordinates step by the spacing, the
// interior holds the wind, and the background terms are fx x v_in and
// fy x (-u_in), the negation keeping the sign of a zero component.
TEST(InitialState, TakesTheSpacingAndTheWind) {
  const bounds b{1, 4, 1, 3, -1, 6, -1, 5};
  const std::size_t n = field_size(b.ims, b.ime, b.jms, b.jme);
  std::vector<float> u(n), v(n), h(n), q(n), gpx(n), gpy(n), x(8), y(7), fx(7), fy(7);
  const float u_in = 0.0f, v_in = -2.75f;
  init(u.data(), v.data(), h.data(), q.data(), gpx.data(), gpy.data(), fx.data(), fy.data(), x.data(), y.data(),
       make_spacing(1250.0f, 1250.0f), u_in, v_in, b.ids, b.ide, b.jds, b.jde, b.ims, b.ime, b.jms, b.jme);
  EXPECT_EQ(x, (std::vector<float>{-2500.0f, -1250.0f, 0.0f, 1250.0f, 2500.0f, 3750.0f, 5000.0f, 6250.0f}));
  EXPECT_EQ(y, (std::vector<float>{-2500.0f, -1250.0f, 0.0f, 1250.0f, 2500.0f, 3750.0f, 5000.0f}));
  const auto p = [&](int i, int j) { return static_cast<std::size_t>(at(i, j, b.ims, b.ime, b.jms)); };
  EXPECT_EQ(bits_of(u[p(2, 2)]), 0u);
  EXPECT_EQ(v[p(4, 3)], -2.75f);
  EXPECT_EQ(v[p(5, 3)], 0.0f);
  EXPECT_EQ(bits_of(gpx[p(0, 0)]), bits_of(f0 * -2.75f));
  EXPECT_EQ(bits_of(gpy[p(0, 0)]), 0x80000000u);  // f0 x -0
}

// A run leaves the background terms out (nullptr for gpx and gpy): every
// other array gets the same bits as with them, over stale values.
TEST(InitialState, WithoutTheBackgroundTermsTheRestIsTheSame) {
  const bounds b{3, 6, 2, 4, 1, 8, 0, 6};
  const std::size_t n = field_size(b.ims, b.ime, b.jms, b.jme);
  const float stale = 1234.5f;
  struct arrays {
    std::vector<float> u, v, h, q, gpx, gpy, x, y, fx, fy;
  };
  const auto fresh = [&] {
    return arrays{std::vector<float>(n, stale), std::vector<float>(n, stale), std::vector<float>(n, stale),
                  std::vector<float>(n, stale), std::vector<float>(n, stale), std::vector<float>(n, stale),
                  std::vector<float>(8, stale), std::vector<float>(7, stale), std::vector<float>(7, stale),
                  std::vector<float>(7, stale)};
  };
  arrays with = fresh(), without = fresh();
  const auto run = [&](arrays& a, bool background) {
    init(a.u.data(), a.v.data(), a.h.data(), a.q.data(), background ? a.gpx.data() : nullptr,
         background ? a.gpy.data() : nullptr, a.fx.data(), a.fy.data(), a.x.data(), a.y.data(),
         make_spacing(1250.0f, 1250.0f), -0.0f, 5.196152f, b.ids, b.ide, b.jds, b.jde, b.ims, b.ime, b.jms, b.jme);
  };
  run(with, true);
  run(without, false);
  const auto same_bits = [](const std::vector<float>& a, const std::vector<float>& c) {
    return a.size() == c.size() && std::memcmp(a.data(), c.data(), a.size() * sizeof(float)) == 0;
  };
  for (const auto& [mine, theirs] :
       {std::pair{&with.u, &without.u}, std::pair{&with.v, &without.v}, std::pair{&with.h, &without.h},
        std::pair{&with.q, &without.q}, std::pair{&with.x, &without.x}, std::pair{&with.y, &without.y},
        std::pair{&with.fx, &without.fx}, std::pair{&with.fy, &without.fy}}) {
    EXPECT_TRUE(same_bits(*mine, *theirs));
  }
  EXPECT_EQ(without.gpx, std::vector<float>(n, stale));
  EXPECT_EQ(without.gpy, std::vector<float>(n, stale));
  EXPECT_NE(with.gpx, without.gpx);
}

}  // namespace
