// The production step must give exactly the bits of the plain composition of
// the procedures, in every array it writes, halo and boundary points
// included, over consecutive steps from a developed state and across an
// emission.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <limits>
#include <string>
#include <tuple>
#include <utility>

#include "driver/scenario.hpp"
#include "support/reference_case.hpp"
#include "support/developed_state.hpp"
#include "timestep/row_team.hpp"

namespace {

// First linear position where two arrays differ in their bits, or -1.
// Where both hold a NaN, its sign and payload are not compared: when two
// NaNs meet in an addition or a product, the processor passes on the one in
// its first operand, and a compiler may swap the operands of such an
// operation, so which NaN comes out is not set by the arithmetic the source
// writes. That a value is NaN, and every other bit, is.
long first_difference(const std::vector<float>& a, const std::vector<float>& b) {
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (std::isnan(a[k]) && std::isnan(b[k])) continue;
    if (std::memcmp(&a[k], &b[k], sizeof(float)) != 0) return static_cast<long>(k);
  }
  return -1;
}

void expect_same_bits(const step_state& reference, const step_state& production, int step) {
  const struct {
    const char* name;
    const std::vector<float>& a;
    const std::vector<float>& b;
  } fields[] = {{"u", reference.u, production.u},
                {"v", reference.v, production.v},
                {"h", reference.h, production.h},
                {"q", reference.q, production.q},
                {"dqdt", reference.dqdt, production.dqdt}};
  for (const auto& f : fields) {
    const long k = first_difference(f.a, f.b);
    EXPECT_EQ(k, -1) << f.name << " differs after step " << step << " at linear position " << k << ": "
                     << f.a[static_cast<std::size_t>(k < 0 ? 0 : k)] << " vs "
                     << f.b[static_cast<std::size_t>(k < 0 ? 0 : k)];
  }
}

// Advances the module state one step with the given step procedure.
// The east inflow the steps are given; some states below set their own.
float inflow_u = ::reference::u_init;
float inflow_v = ::reference::v_init;

template <class Step>
void advance(Step step) {
  using namespace domain;
  step(u, v, h, q, dqdt, gpx, gpy, fx, fy, ::reference::spacing, inflow_u, inflow_v, ids, ide, jds, jde, ims, ime, jms,
       jme);
}

TEST(ProductionStep, MatchesReferenceFromDevelopedStateAcrossEmission) {
  develop_state(400, {100, 250});
  const step_state start = step_state::save();
  constexpr int steps = 4;
  constexpr int emission_after = 1;

  std::vector<step_state> reference;
  for (int n = 0; n < steps; ++n) {
    advance(rk2_reference);
    if (n == emission_after) emit(scenario{});
    reference.push_back(step_state::save());
  }
  for (int threads = 1; threads <= 3; ++threads) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    start.restore();
    const step_team team(threads);
    for (int n = 0; n < steps; ++n) {
      advance(rk2);
      if (n == emission_after) emit(scenario{});
      expect_same_bits(reference[static_cast<std::size_t>(n)], step_state::save(), n);
    }
  }
}

TEST(ProductionStep, IgnoresStaleWorkingStorageAndEntryTendency) {
  // A second application from the same entry state, after the working
  // storage has been used for a different state and dqdt has been filled
  // with garbage, gives the same bits again.
  develop_state(300, {100});
  const step_state start = step_state::save();
  advance(rk2);
  const step_state once = step_state::save();

  advance(rk2);
  advance(rk2);
  start.restore();
  std::fill(domain::dqdt, domain::dqdt + start.dqdt.size(), 12345.0f);
  advance(rk2);
  step_state again = step_state::save();
  // dqdt's unwritten points keep what they held: compare the written ones.
  again.dqdt = once.dqdt;
  for (int j = domain::jds; j <= domain::jde - 1; ++j) {
    for (int i = domain::ids; i <= domain::ide - 1; ++i) {
      const auto k = static_cast<std::size_t>(at(i, j, domain::ims, domain::ime, domain::jms));
      again.dqdt[k] = domain::dqdt[k];
    }
  }
  expect_same_bits(once, again, 0);
}

// Deterministic pseudo-random values in [lo, hi), with exact zeros mixed in
// so that upwind choices at zero velocity and flat pollutant occur.
struct rough_values {
  std::uint32_t state = 2463534242u;
  std::uint32_t bits() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  float next(float lo, float hi) {
    const std::uint32_t b = bits();
    if (b % 11 == 0) return 0.0f;
    return lo + (hi - lo) * static_cast<float>(b >> 8) * 0x1p-24f;
  }
  void fill(float* f, std::size_t n, float lo, float hi) {
    for (std::size_t k = 0; k < n; ++k) f[k] = next(lo, hi);
  }
};

// The states the production step is compared on. Most have little or no
// pollutant, so that the step leaves out the advection of clean cells, with
// the pollutant where that is hardest to get right.
enum class pollutant_state {
  rough,         // pollutant everywhere
  clean,         // none at all
  signed_zeros,  // +0 and -0 mixed, a few specks of pollutant
  edges,         // specks on the grid's edges and halo, and at the edges of
                 // the scan's blocks and of the threads' rows
  wild_winds,    // one puff, with NaN, infinite and huge velocities around it
  wild_heights,  // one puff, and a height spike that makes the stage's
                 // velocities around it huge
  calm,          // a uniform flow, with patches where it is not calm: a
                 // one-ulp bump, a step in height, signed zeros, velocities
                 // too large to double, an infinite height, a NaN
  huge_u,        // a uniform flow, calm but for the size of u (and inflow)
  huge_v,        // the same with v
  infinite_h,    // a uniform flow over an infinite height
  repeated_rows, // one rough row repeated over every row, but for a few
                 // rows that differ: at the west wall, in q, by the sign of
                 // a zero, by a NaN, and in the first and last stored rows
};

const char* name(pollutant_state s) {
  switch (s) {
    case pollutant_state::rough: return "rough";
    case pollutant_state::clean: return "clean";
    case pollutant_state::signed_zeros: return "signed_zeros";
    case pollutant_state::edges: return "edges";
    case pollutant_state::wild_winds: return "wild_winds";
    case pollutant_state::wild_heights: return "wild_heights";
    case pollutant_state::calm: return "calm";
    case pollutant_state::huge_u: return "huge_u";
    case pollutant_state::huge_v: return "huge_v";
    case pollutant_state::infinite_h: return "infinite_h";
    case pollutant_state::repeated_rows: return "repeated_rows";
  }
  return "?";
}

void make_state(pollutant_state kind) {
  using namespace domain;
  inflow_u = ::reference::u_init;
  inflow_v = ::reference::v_init;
  const std::size_t n = field_size(ims, ime, jms, jme);
  const auto p = [](int i, int j) { return static_cast<std::size_t>(at(i, j, ims, ime, jms)); };
  rough_values r;
  r.fill(domain::u, n, -8.0f, 8.0f);
  r.fill(domain::v, n, -8.0f, 8.0f);
  r.fill(domain::h, n, -50.0f, 50.0f);
  r.fill(domain::dqdt, n, -1.0f, 1.0f);
  if (kind == pollutant_state::rough) {
    r.fill(domain::q, n, 0.0f, 1.0f);
    return;
  }
  if (kind == pollutant_state::repeated_rows) {
    r.fill(domain::q, n, 0.0f, 1.0f);
    const auto nx = static_cast<std::size_t>(ime - ims + 1);
    for (float* f : {domain::u, domain::v, domain::h, domain::q}) {
      for (std::size_t k = nx; k < n; ++k) f[k] = f[k - nx];
    }
    const int nj = jde - jds + 1;
    const auto row = [&](int part) { return jds + (part * nj) / 6; };
    domain::u[p(ids, row(1))] += 1.0f;  // only the entry value: the wall sets 0
    domain::q[p(ids + 2, row(2))] += 0.5f;
    domain::h[p(ide - 1, row(3))] = std::numeric_limits<float>::quiet_NaN();
    domain::q[p(ids + 1, row(4))] = 0.0f;
    domain::q[p(ids + 1, row(4) + 1)] = -0.0f;
    domain::q[p(ids + 1, row(4) + 2)] = 0.0f;
    domain::v[p(ids + 3, jms)] += 1.0f;
    domain::h[p(ids + 3, jme)] += 1.0f;
    return;
  }
  std::fill(domain::q, domain::q + n, 0.0f);
  const int ni = ide - ids + 1, nj = jde - jds + 1;
  switch (kind) {
    case pollutant_state::signed_zeros:
      for (std::size_t k = 0; k < n; ++k) domain::q[k] = (r.bits() & 1u) != 0 ? -0.0f : 0.0f;
      domain::q[p(ids + ni / 2, jds + nj / 2)] = 0.75f;
      domain::q[p(ide - 1, jds)] = -0.5f;
      break;
    case pollutant_state::edges: {
      const int corners[][2] = {{ids, jds}, {ide - 1, jde - 1}, {ide, jds + 1}, {ims, jme},
                                {ime, jms}, {ids - 1, jde},     {ids + 1, jde + 1}};
      for (const auto& c : corners) domain::q[p(c[0], c[1])] = 0.5f;
      // Either side of each block boundary of the scan (16 values from ims).
      for (int i = ims + 15; i <= ime; i += 16) {
        domain::q[p(i, jds + 1)] = 0.25f;
        if (i + 1 <= ime) domain::q[p(i + 1, jde - 2)] = 0.125f;
      }
      // Either side of the boundaries between the threads' rows.
      for (int parts = 2; parts <= 3; ++parts) {
        for (int k = 1; k < parts; ++k) {
          const int j = row_chunk(jds, jde, k, parts).first;
          domain::q[p(ids + (k * 7) % ni, j)] = 0.5f;
          domain::q[p(ide - 1 - (k * 5) % ni, j - 1)] = 0.5f;
        }
      }
      domain::q[p(ids + ni / 3, jds + nj / 3)] = std::numeric_limits<float>::quiet_NaN();
      break;
    }
    case pollutant_state::wild_winds: {
      const int ic = ids + ni / 2, jc = jds + nj / 2;
      domain::q[p(ic, jc)] = 1.0f;
      domain::q[p(ic + 1, jc)] = 0.5f;
      // Far from the puff, and next to it.
      domain::u[p(ids + 1, jds + 1)] = std::numeric_limits<float>::quiet_NaN();
      domain::v[p(ide - 2, jde - 1)] = std::numeric_limits<float>::infinity();
      domain::u[p(ids + 2, jde - 2)] = -std::numeric_limits<float>::infinity();
      domain::v[p(ids, jc)] = 1e20f;
      domain::u[p(ide - 1, jc)] = -1e16f;
      domain::u[p(ide, jds + 2)] = 1e25f;
      domain::u[p(ic + 3, jc)] = 1e15f;
      domain::v[p(ic, jc + 3)] = std::numeric_limits<float>::quiet_NaN();
      break;
    }
    case pollutant_state::wild_heights:
      domain::q[p(ids + ni / 2, jds + nj / 2)] = 1.0f;
      domain::h[p(ids + ni / 4, jds + nj / 4)] = 1e37f;
      break;
    case pollutant_state::huge_u:
    case pollutant_state::huge_v:
    case pollutant_state::infinite_h:
      if (kind == pollutant_state::huge_u) inflow_u = 3e38f;
      if (kind == pollutant_state::huge_v) inflow_v = 3e38f;
      std::fill(domain::u, domain::u + n, inflow_u);
      std::fill(domain::v, domain::v + n, inflow_v);
      std::fill(domain::h, domain::h + n, kind == pollutant_state::infinite_h ? std::numeric_limits<float>::infinity() : 7.0f);
      domain::q[p(ids + ni / 3, jds + nj / 3)] = 1.0f;
      break;
    case pollutant_state::calm: {
      // The inflow's own wind, so that the flow is calm up to the east edge
      // and only the west wall and the patches below unsettle it.
      std::fill(domain::u, domain::u + n, ::reference::u_init);
      std::fill(domain::v, domain::v + n, ::reference::v_init);
      std::fill(domain::h, domain::h + n, 7.0f);
      // One patch in each band of eight rows, near the east edge, so that in
      // its rows it is the easternmost face that is not calm. A patch is
      // 7 x 7, wide enough that its middle stays calm in both stages where
      // the step lets it.
      const int i0 = std::max(ids, ide - 8);
      int band = 0;
      const auto next_row = [&] { return jds + (4 + 8 * band++) % nj; };
      const auto patch = [&](float* f, int j, float value) {
        for (int jj = std::max(jms, j - 3); jj <= std::min(jme, j + 3); ++jj) {
          for (int ii = std::max(ims, i0 - 3); ii <= std::min(ime, i0 + 3); ++ii) f[p(ii, jj)] = value;
        }
      };
      domain::u[p(i0, next_row())] = std::nextafter(::reference::u_init, 0.0f);
      domain::u[p(i0, next_row())] = ::reference::u_init + 0.5f;
      domain::h[p(i0, next_row())] = 7.5f;
      const int zeros = next_row();
      patch(domain::u, zeros, 0.0f);
      domain::u[p(i0, zeros)] = -0.0f;
      patch(domain::v, next_row(), -0.0f);
      patch(domain::u, next_row(), 3e38f);
      patch(domain::v, next_row(), 1e38f);
      patch(domain::h, next_row(), std::numeric_limits<float>::infinity());
      patch(domain::h, next_row(), -std::numeric_limits<float>::infinity());
      domain::v[p(i0, next_row())] = std::numeric_limits<float>::quiet_NaN();
      domain::q[p(ids + ni / 3, jds + nj / 3)] = 1.0f;
      break;
    }
    default: break;
  }
}

// Both steps from one state on a grid with the given interior and a halo of
// two, several steps in a row, with the given number of threads.
void compare_from(pollutant_state kind, int ni, int nj, int threads, int steps) {
  using namespace domain;
  gridpara(reference::nx, reference::ny);
  ids = 1, ide = ni, jds = 1, jde = nj, ims = -1, ime = ni + 2, jms = -1, jme = nj + 2;
  const std::size_t n = field_size(ims, ime, jms, jme);
  std::vector<float> store[5];
  float** fields[5] = {&domain::u, &domain::v, &domain::h, &domain::q, &domain::dqdt};
  for (int f = 0; f < 5; ++f) {
    store[f].resize(n);
    *fields[f] = store[f].data();
  }
  make_state(kind);
  const step_state start = step_state::save();

  std::vector<step_state> reference;
  for (int s = 0; s < steps; ++s) {
    advance(rk2_reference);
    reference.push_back(step_state::save());
  }
  start.restore();
  {
    const step_team team(threads);
    for (int s = 0; s < steps; ++s) {
      advance(rk2);
      expect_same_bits(reference[static_cast<std::size_t>(s)], step_state::save(), s);
    }
  }
  gridpara(reference::nx, reference::ny);  // the module's own arrays and bounds again
  inflow_u = ::reference::u_init;
  inflow_v = ::reference::v_init;
}

class ProductionStepOn : public testing::TestWithParam<std::tuple<pollutant_state, int>> {};

TEST_P(ProductionStepOn, SmallGridsMatchTheReference) {
  const auto [kind, threads] = GetParam();
  // Grids whose rows do not fill whole vectors or the scan's blocks; the
  // last one has a band of rows for each patch of the calm state.
  for (const auto& [ni, nj] : {std::pair{5, 4}, std::pair{7, 11}, std::pair{13, 6}, std::pair{37, 29},
                               std::pair{45, 83}}) {
    SCOPED_TRACE(testing::Message() << ni << " x " << nj);
    compare_from(kind, ni, nj, threads, 4);
  }
}

TEST_P(ProductionStepOn, RunGridMatchesTheReference) {
  const auto [kind, threads] = GetParam();
  compare_from(kind, 401, 401, threads, 2);
}

INSTANTIATE_TEST_SUITE_P(States, ProductionStepOn,
                         testing::Combine(testing::Values(pollutant_state::rough, pollutant_state::clean,
                                                          pollutant_state::signed_zeros, pollutant_state::edges,
                                                          pollutant_state::wild_winds, pollutant_state::wild_heights,
                                                          pollutant_state::calm, pollutant_state::huge_u,
                                                          pollutant_state::huge_v, pollutant_state::infinite_h,
                                                          pollutant_state::repeated_rows),
                                          testing::Values(1, 2, 3)),
                         [](const auto& info) {
                           return std::string(name(std::get<0>(info.param))) + "_" +
                                  std::to_string(std::get<1>(info.param)) + "_threads";
                         });

}  // namespace
