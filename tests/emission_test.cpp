// The emission that forms each cone only near its source, against the
// literal one: every source's pattern over the whole field (zeros, then the
// cone over the interior cells), the patterns summed in order and the sum
// added to q at every stored point. Bit for bit, on random states full of
// special values, with and without knowledge of where q holds +0.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <sys/mman.h>

#include "diagnostics/diagnostics.hpp"
#include "driver/emission.hpp"
#include "driver/init.hpp"
#include "grid/domain.hpp"
#include "support/literal_emission.hpp"
#include "support/field_checks.hpp"
#include "support/reference_case.hpp"
#include "support/small_grid.hpp"

namespace {

using limits = std::numeric_limits<float>;
using pollutant_map::span;

// Positions whose bits differ.
int mismatches(const std::vector<float>& got, const std::vector<float>& want) {
  int n = 0;
  for (std::size_t k = 0; k < got.size(); ++k) n += bits(got[k]) != bits(want[k]);
  return n;
}

// Positions of q whose bits differ from the literal emission's. Where the
// sum and q are both NaN, the sum is either one of them, made quiet: which
// one the compiler picks (it may swap the operands of a sum), here as in
// the literal emission, so either is taken.
int mismatches(const std::vector<float>& got, const literal_result& want, const std::vector<float>& q) {
  const auto quiet = [](float f) { return bits(f) | 0x00400000u; };
  int n = 0;
  for (std::size_t k = 0; k < got.size(); ++k) {
    const std::uint32_t g = bits(got[k]);
    if (g == bits(want.q[k])) continue;
    n += !(std::isnan(want.sum[k]) && std::isnan(q[k]) && (g == quiet(want.sum[k]) || g == quiet(q[k])));
  }
  return n;
}

class state_draw {
 public:
  explicit state_draw(std::uint64_t seed) : g_(seed) {}
  int between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(g_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(g_); }
  float uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(g_); }

  // Values of q: mostly +0 (the clean cells), and everything else that a
  // sum may meet: -0, NaN (quiet and signalling, either sign, with
  // payloads), infinities, subnormals, tiny, ordinary and huge values.
  float pollutant() {
    switch (between(0, 11)) {
      case 0: return -0.0f;
      case 1: return limits::quiet_NaN();
      case 2: return std::bit_cast<float>(0xff800001u | static_cast<std::uint32_t>(between(0, 0x3fffff)));  // sNaN
      case 3: return std::bit_cast<float>(0x7fc00000u | static_cast<std::uint32_t>(between(1, 0x3fffff)));
      case 4: return chance(0.5) ? limits::infinity() : -limits::infinity();
      case 5:
        return std::bit_cast<float>(static_cast<std::uint32_t>(between(1, 0x7fffff)) |
                                    (chance(0.5) ? 0x80000000u : 0u));
      case 6: return chance(0.5) ? limits::max() : -limits::max();
      case 7: return uniform(-1e-30f, 1e-30f);
      default: return uniform(-3.0f, 3.0f);
    }
  }

  // A source's radius or peak: mostly ordinary, now and then one that a
  // scenario would refuse.
  float odd(float ordinary) {
    switch (between(0, 14)) {
      case 0: return limits::quiet_NaN();
      case 1: return limits::infinity();
      case 2: return 0.0f;
      case 3: return -ordinary;
      case 4: return -0.0f;
      default: return ordinary;
    }
  }

 private:
  std::mt19937_64 g_;
};

// A grid of 4 to 30 cells each way with a halo of two, now and then a
// block of it (its stored extent a part of the interior with a halo),
// spacing from 1 m to 5 km; the lines are now and then shuffled or hold
// NaN or an infinity.
emission_grid random_grid(state_draw& d) {
  const int ni = d.between(4, 30), nj = d.between(4, 30);
  grid_bounds b{1, ni, 1, nj, -1, ni + 2, -1, nj + 2};
  if (d.chance(0.3)) {
    const int ips = d.between(1, ni), ipe = d.between(ips, ni);
    const int jps = d.between(1, nj), jpe = d.between(jps, nj);
    b.ims = ips - 2, b.ime = ipe + 2, b.jms = jps - 2, b.jme = jpe + 2;
  }
  emission_grid g{b, std::vector<float>(static_cast<std::size_t>(b.ime - b.ims + 1)),
                  std::vector<float>(static_cast<std::size_t>(b.jme - b.jms + 1))};
  const float dx = d.chance(0.2) ? 1.0f : d.uniform(100.0f, 5000.0f);
  for (std::size_t k = 0; k < g.x.size(); ++k) g.x[k] = static_cast<float>(b.ims + static_cast<int>(k) - 1) * dx;
  for (std::size_t k = 0; k < g.y.size(); ++k) g.y[k] = static_cast<float>(b.jms + static_cast<int>(k) - 1) * dx;
  for (std::vector<float>* lines : {&g.x, &g.y}) {
    if (d.chance(0.1)) std::swap((*lines)[0], (*lines)[lines->size() / 2]);
    if (d.chance(0.05))
      (*lines)[static_cast<std::size_t>(d.between(0, static_cast<int>(lines->size()) - 1))] = limits::quiet_NaN();
    if (d.chance(0.05))
      (*lines)[static_cast<std::size_t>(d.between(0, static_cast<int>(lines->size()) - 1))] = limits::infinity();
  }
  return g;
}

// Sources: none to a few, now and then dozens; inside, at the edges of and
// beyond the grid, radii from under a cell to more than the grid.
std::vector<point_source> random_sources(state_draw& d, const emission_grid& g) {
  const int count = d.chance(0.1) ? d.between(10, 40) : d.between(0, 4);
  const float x_end = g.x.back(), y_end = g.y.back(), cell = std::fabs(g.x[2] - g.x[1]) + 1.0f;
  std::vector<point_source> sources;
  for (int m = 0; m < count; ++m) {
    point_source p;
    p.x_m = d.chance(0.2) ? (d.chance(0.5) ? g.x.front() : x_end) : d.uniform(g.x.front() - 3 * cell, x_end + 3 * cell);
    p.y_m = d.chance(0.2) ? (d.chance(0.5) ? g.y.front() : y_end) : d.uniform(g.y.front() - 3 * cell, y_end + 3 * cell);
    p.radius_m = d.odd(cell * (d.chance(0.2) ? d.uniform(10.0f, 100.0f) : d.uniform(0.3f, 6.0f)));
    p.peak = d.odd(d.uniform(0.001f, 3.0f));
    sources.push_back(p);
  }
  return sources;
}

// q: all +0, or specks, or rows with pollutant in a stretch, or
// everything; the values drawn from every kind.
std::vector<float> random_pollutant(state_draw& d, const emission_grid& g) {
  std::vector<float> q(g.size(), 0.0f);
  const int kind = d.between(0, 3);
  for (float& v : q) {
    if (kind == 1 && d.chance(0.05)) v = d.pollutant();
    if (kind == 3) v = d.pollutant();
  }
  if (kind == 2) {
    const auto ni = static_cast<int>(g.x.size());
    for (std::size_t r = 0; r < g.y.size(); ++r) {
      if (!d.chance(0.5)) continue;
      const int lo = d.between(0, ni - 1), hi = d.between(lo, ni - 1);
      for (int i = lo; i <= hi; ++i) q[r * static_cast<std::size_t>(ni) + static_cast<std::size_t>(i)] = d.pollutant();
    }
  }
  return q;
}

// What the step would know of q: in a rectangle of interior cells, each
// row's span of cells other than +0, widened now and then (never beyond
// the rectangle).
struct clean_spans {
  std::vector<span> spans;
  pollutant_map::known_clean known;
};
clean_spans random_knowledge(state_draw& d, const emission_grid& g, const std::vector<float>& q) {
  clean_spans c;
  const grid_bounds& b = g.b;
  if (d.chance(0.2)) return c;
  const int c0 = d.between(std::max(b.ids, b.ims), std::min(b.ide - 1, b.ime)),
            c1 = d.between(c0, std::min(b.ide - 1, b.ime));
  const int r0 = d.between(std::max(b.jds, b.jms), std::min(b.jde - 1, b.jme)),
            r1 = d.between(r0, std::min(b.jde - 1, b.jme));
  c.spans.assign(g.y.size(), pollutant_map::nothing);
  for (int j = r0; j <= r1; ++j) {
    span s = pollutant_map::nothing;
    for (int i = c0; i <= c1; ++i) {
      if (bits(q[static_cast<std::size_t>(at(i, j, b.ims, b.ime, b.jms))]) != 0u) s = pollutant_map::hull(s, {i, i});
    }
    if (d.chance(0.3)) s = pollutant_map::clip(pollutant_map::widen(s, d.between(1, 5)), {c0, c1});
    c.spans[static_cast<std::size_t>(j - b.jms)] = s;
  }
  c.known = {c.spans.data(), b.jms, c0, c1, r0, r1};
  return c;
}

TEST(Emission, SameBitsAsThePatternsOverTheWholeField) {
  state_draw d(20261209);
  int cases_with_cones = 0, cases_known = 0;
  for (int n = 0; n < 3000; ++n) {
    const emission_grid g = random_grid(d);
    const std::vector<point_source> sources = random_sources(d, g);
    const std::vector<float> q = random_pollutant(d, g);
    const clean_spans clean = random_knowledge(d, g, q);
    const literal_result want = literal_emission(sources, q, g);
    std::vector<float> got = q;
    emit(sources, got.data(), g.lines(), clean.known);
    ASSERT_EQ(mismatches(got, want, q), 0) << "case " << n << " with " << sources.size() << " sources";
    cases_with_cones += mismatches(q, want.q) > 0;
    cases_known += clean.known.spans != nullptr;
  }
  // The cases exercise what they are meant to.
  EXPECT_GT(cases_with_cones, 1500);
  EXPECT_GT(cases_known, 2000);
}

// Zeros of both signs in every position of the sum: peaks of -0, +0 and
// negative ones (a negative cone is -0 on its rim), q -0 or +0, sources
// bunched so that each row holds the boxes of some and not of others,
// before, between and after them. There the literal sum's +0 terms turn a
// -0 into +0, which a sum of the cones alone would not.
TEST(Emission, SignedZerosInEveryPositionOfTheSum) {
  state_draw d(99);
  const float peaks[] = {-0.0f, 0.0f, -1.0f, 1.0f, -2.5f};
  int plus_zero_matters = 0;
  for (int n = 0; n < 1500; ++n) {
    const small_grid s = small_grid::with_interior(d.between(4, 12), d.between(4, 12));
    emission_grid g{{s.ids, s.ide, s.jds, s.jde, s.ims, s.ime, s.jms, s.jme}, {}, {}};
    for (int i = s.ims; i <= s.ime; ++i) g.x.push_back(static_cast<float>(i - 1) * 1000.0f);
    for (int j = s.jms; j <= s.jme; ++j) g.y.push_back(static_cast<float>(j - 1) * 1000.0f);
    std::vector<point_source> sources(static_cast<std::size_t>(d.between(2, 7)));
    for (point_source& p : sources) {
      p.x_m = static_cast<float>(d.between(0, 2 * s.ide)) * 500.0f;
      p.y_m = static_cast<float>(d.between(0, 2 * s.jde)) * 500.0f;
      p.radius_m = static_cast<float>(d.between(1, 6)) * 500.0f;
      p.peak = peaks[d.between(0, 4)];
    }
    std::vector<float> q(g.size(), -0.0f);
    for (float& v : q) {
      if (d.chance(0.3)) v = 0.0f;
    }
    const literal_result want = literal_emission(sources, q, g);
    std::vector<float> got = q;
    emit(sources, got.data(), g.lines());
    ASSERT_EQ(mismatches(got, want.q), 0) << "case " << n;
    // Cells where the cones' sum without their +0 terms is -0, the
    // literal's +0.
    std::vector<float> without(g.size(), 0.0f), pattern(g.size());
    std::vector<bool> begun(g.size(), false);
    for (const point_source& p : sources) {
      std::fill(pattern.begin(), pattern.end(), 0.0f);
      tracer(pattern.data(), p.x_m, p.y_m, p.radius_m, p.peak, g.x.data(), g.y.data(), GRID_BOUNDS(s));
      for (std::size_t k = 0; k < g.size(); ++k) {
        if (bits(pattern[k]) == 0u) continue;
        without[k] = begun[k] ? without[k] + pattern[k] : pattern[k];
        begun[k] = true;
      }
    }
    for (std::size_t k = 0; k < g.size(); ++k) plus_zero_matters += bits(without[k]) != bits(want.sum[k]);
  }
  EXPECT_GT(plus_zero_matters, 1000) << "the cases hardly tell the +0 terms from none";
}

// No source: q is left as it is, -0 included (no +0 is added).
TEST(Emission, NoSourceLeavesEveryBit) {
  state_draw d(7);
  const emission_grid g = random_grid(d);
  std::vector<float> q(g.size(), -0.0f);
  emit({}, q.data(), g.lines());
  EXPECT_EQ(mismatches(q, std::vector<float>(g.size(), -0.0f)), 0);
}

// Far from every cone, a -0 becomes +0 and a subnormal +0 (flushed), a
// signalling NaN comes back quiet; inf, NaN and ordinary values stay.
TEST(Emission, AddsPlusZeroFarFromTheCones) {
  const small_grid s = small_grid::with_interior(8, 8);
  emission_grid g{{s.ids, s.ide, s.jds, s.jde, s.ims, s.ime, s.jms, s.jme}, {}, {}};
  for (int k = 0; k < 13; ++k) g.x.push_back(static_cast<float>(k - 2) * 1000.0f), g.y.push_back(g.x.back());
  const std::vector<point_source> far{{1e6f, 1e6f, 2000.0f, 1.0f, 0}};
  const float values[] = {-0.0f, limits::denorm_min(), std::bit_cast<float>(0x7f800001u), -limits::infinity(), 2.5f};
  const float after[] = {0.0f, 0.0f, std::bit_cast<float>(0x7fc00001u), -limits::infinity(), 2.5f};
  for (std::size_t v = 0; v < std::size(values); ++v) {
    std::vector<float> q(g.size(), values[v]);
    emit(far, q.data(), g.lines());
    EXPECT_EQ(mismatches(q, std::vector<float>(g.size(), after[v])), 0) << "value " << v;
  }
  // Where q holds +0 already nothing is written: q may lie in read-only pages.
  const std::size_t bytes = g.size() * sizeof(float);
  void* const pages = ::mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(pages, MAP_FAILED);
  emit(far, static_cast<float*>(pages), g.lines());
  ::munmap(pages, bytes);
}

// The module's grid with the scenario's three overlapping sources: the
// patterns are summed in the order of the sources, ((s1 + s2) + s3) + q,
// and the case tells that order from the reverse one.
TEST(Emission, SumsThePatternsInTheOrderOfTheSources) {
  domain::gridpara(reference::nx, reference::ny);
  using namespace domain;
  init(u, v, h, q, gpx, gpy, fx, fy, x, y, reference::spacing, reference::u_init, reference::v_init, ids, ide, jds, jde,
       ims, ime, jms, jme);
  const emission_grid g = module_emission_grid();
  std::vector<point_source> sources{{100000.0f, 100000.0f, 7000.0f, 0.3f, 0},
                                    {103000.0f, 101000.0f, 5000.0f, 1.7f, 0},
                                    {98000.0f, 102500.0f, 9000.0f, 1e-3f, 0}};
  std::vector<float> before(g.size());
  for (std::size_t k = 0; k < before.size(); ++k) before[k] = static_cast<float>(k % 89) * 0.37f;
  std::vector<float> got = before;
  emit(sources, got.data(), module_cone_grid());
  const literal_result want = literal_emission(sources, before, g);
  EXPECT_EQ(mismatches(got, want.q), 0);
  std::reverse(sources.begin(), sources.end());
  EXPECT_GT(mismatches(want.q, literal_emission(sources, before, g).q), 0) << "the case does not tell the orders apart";
}

}  // namespace
