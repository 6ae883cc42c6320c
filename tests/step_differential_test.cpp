// The production step against the plain composition on many random states:
// every array the step writes, halo included, must hold the same bits after
// each of a few steps (NaN payloads aside, see first_difference).
//
// Each case draws a grid (4 x 4 to 40 x 60 interior points), a spacing (from
// the smallest the scenario validator accepts up to 1e38 m, with the values
// either side of the step's own limits and infinity, now and then along one
// axis only), an inflow, a flow (rough, uniform, the same row repeated, or
// uniform with patches), a height, a pollutant (none, specks, blobs or
// everywhere) and a thread count (1 to 8), then runs one to four steps with
// emissions and stray writes between them. Special values appear
// throughout: NaN, infinities, signed zeros, subnormals, and values just
// below, at and just above every limit the step's shortcuts test
// (pollutant_map.hpp, flow_rows.hpp). The cases run back to back with
// no clearing between them, and one case in three reuses the workspace and
// team of the case before, so that anything one case left behind would
// show in the next.
//
// PLUME_DIFFERENTIAL_CASES sets the number of cases (default 3000) and
// PLUME_DIFFERENTIAL_SEED the seed of the whole sequence (default 1); a
// failure names the seed, the case and the first difference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kernels/boundary_rules.hpp"
#include "support/random_step_cases.hpp"
#include "timestep/row_team.hpp"
#include "timestep/step_workspace.hpp"
#include "timestep/timestep.hpp"

namespace {

using namespace random_steps;

// The teams share every stage, however small and whatever sharing would
// gain on this machine, so that the small random grids are cut into parts
// (by rows, or by species where there are several) as large ones are.
pace_rules shared_always() {
  pace_rules rules;
  rules.sharing = pace_rules::verdicts::always_shared;
  rules.least_work = 0;
  return rules;
}
const pace_rules every_sweep_shared = shared_always();

// The first own cell row (but the block's first and last) of the last
// stage's plan that lies outside species k's own plan and whose records of
// the species are not those of a row without its pollutant: a span of q,
// dqdt, q1, the stage's input or its cells that is not empty, or boundary
// columns of q or q1 not known to hold +0. The step takes every such row to
// be clean for the species without looking at it, so there must be none;
// "" when there is none.
std::string unclean_row_outside_own_plan(const step_workspace& ws, std::size_t k) {
  const species_knowledge& s = ws.species[k];
  const grid_bounds& b = ws.bounds();
  std::string found;
  ws.plan.for_each_row(b.jds + 1, b.jde - 2, [&](int j) {
    bool own = false;
    s.plan.for_each_row(j, j, [&](int) { own = true; });
    const auto at = static_cast<std::size_t>(j - b.jms);
    const bool spans_empty = s.module_q[at].empty() && s.module_dqdt[at].empty() && s.stage_q[at].empty() &&
                             s.input_q[at].empty() && s.cells[at].empty();
    const bool columns_clean = s.module_q_frame_zero[at] != 0 && s.stage_q_frame_zero[at] != 0;
    if (own || (spans_empty && columns_clean) || !found.empty()) return;
    found = "row " + std::to_string(j) + " of species " + std::to_string(k + 1) + " outside its own plan";
  });
  return found;
}

// Steps the case with both procedures; the first difference, or "". The
// production step carries what it knows from step to step: the arrays are
// written out and compared after some steps only (and always after the
// last), and the events between steps tell the workspace what they changed.
std::string compare_steps(draw& d, random_case& c, step_workspace& ws) {
  random_case ref = c;
  const grid_spacing s = make_spacing(c.spacing, c.spacing_y);
  const grid_bounds& b = c.b;
  // A new case's arrays are not what the workspace may know of.
  ws.forget();
  for (int step = 1; step <= c.steps; ++step) {
    rk2_reference(ref.u.data(), ref.v.data(), ref.h.data(), ref.q.data(), ref.dqdt.data(), c.unread.data(),
                  c.unread.data(), c.unread.data(), c.unread.data(), s, c.u_in, c.v_in, b.ids, b.ide, b.jds, b.jde,
                  b.ims, b.ime, b.jms, b.jme);
    rk2(c.u.data(), c.v.data(), c.h.data(), c.q.data(), c.dqdt.data(), c.unread.data(), c.unread.data(),
        c.unread.data(), c.unread.data(), s, c.u_in, c.v_in, b.ids, b.ide, b.jds, b.jde, b.ims, b.ime, b.jms, b.jme,
        ws);
    const step_event e = step < c.steps ? draw_event(d, b) : step_event{};
    const bool compare = step == c.steps || d.chance(0.5) || e.kind == step_event::stray;
    if (!compare) {
      // q and dqdt are always written out; u, v and h may not be.
      if (e.kind == step_event::emission) {
        float* const mine[4] = {c.u.data(), c.v.data(), c.h.data(), c.q.data()};
        float* const theirs[4] = {ref.u.data(), ref.v.data(), ref.h.data(), ref.q.data()};
        apply_event(e, mine, b);
        apply_event(e, theirs, b);
        ws.forget_pollutant(0);
      }
      continue;
    }
    ws.materialize(c.u.data(), c.v.data(), c.h.data());
    const struct {
      const char* name;
      const std::vector<float>& want;
      const std::vector<float>& got;
    } fields[] = {{"u", ref.u, c.u}, {"v", ref.v, c.v}, {"h", ref.h, c.h}, {"q", ref.q, c.q}, {"dqdt", ref.dqdt, c.dqdt}};
    for (const auto& f : fields) {
      const long k = first_difference(f.want.data(), f.got.data(), f.want.size());
      if (k < 0) continue;
      const int nx = b.ime - b.ims + 1;
      const int i = b.ims + static_cast<int>(k % nx), j = b.jms + static_cast<int>(k / nx);
      return std::string(f.name) + " differs after step " + std::to_string(step) + " at (" + std::to_string(i) + ", " +
             std::to_string(j) + "): the plain composition gives " + value_text(f.want[static_cast<std::size_t>(k)]) +
             ", rk2 gives " + value_text(f.got[static_cast<std::size_t>(k)]);
    }
    if (step < c.steps) {
      float* const mine[4] = {c.u.data(), c.v.data(), c.h.data(), c.q.data()};
      float* const theirs[4] = {ref.u.data(), ref.v.data(), ref.h.data(), ref.q.data()};
      apply_event(e, mine, b);
      apply_event(e, theirs, b);
      if (e.kind == step_event::stray) ws.forget();
      if (e.kind == step_event::emission) ws.forget_pollutant(0);
    }
  }
  return "";
}

// The grids a sequence of cases draws from: their widths and heights.
struct grid_sizes {
  int ni_from, ni_to, nj_from, nj_to;
};

// Runs `cases` random cases on grids of `sizes`, each from a draw made of the
// seed, `mix` and its number; the differences found, as test failures.
void random_cases(long cases, std::uint64_t seed, std::uint64_t mix, const grid_sizes& sizes) {
  std::vector<std::unique_ptr<step_team>> teams;
  for (int threads = 1; threads <= 8; ++threads)
    teams.push_back(std::make_unique<step_team>(threads, every_sweep_shared));
  std::unique_ptr<step_workspace> ws;
  std::unique_ptr<random_case> previous;
  int failures = 0;
  for (long n = 0; n < cases && failures < 5; ++n) {
    draw d(seed * mix + static_cast<std::uint64_t>(n));
    const bool reuse = previous != nullptr && d.chance(1.0 / 3.0);
    const int ni = reuse ? previous->ni : d.between(sizes.ni_from, sizes.ni_to);
    const int nj = reuse ? previous->nj : d.between(sizes.nj_from, sizes.nj_to);
    const int threads = reuse ? previous->threads : d.between(1, 8);
    random_case c = make_case(d, ni, nj, threads);
    if (!reuse) ws = std::make_unique<step_workspace>(c.b, *teams[static_cast<std::size_t>(c.threads - 1)]);
    const std::string difference = compare_steps(d, c, *ws);
    if (!difference.empty()) {
      ++failures;
      ADD_FAILURE() << "seed " << seed << ", case " << n << (reuse ? " (reusing the workspace of case " : "")
                    << (reuse ? std::to_string(n - 1) + ")" : std::string()) << ": " << c.describe() << ": "
                    << difference << "\nrerun with PLUME_DIFFERENTIAL_SEED=" << seed
                    << " PLUME_DIFFERENTIAL_CASES=" << n + 1;
    }
    previous = std::make_unique<random_case>(std::move(c));
  }
}

TEST(StepDifferential, RandomStatesGiveTheBitsOfThePlainComposition) {
  const long cases = env_number("PLUME_DIFFERENTIAL_CASES", 3000);
  const auto seed = static_cast<std::uint64_t>(env_number("PLUME_DIFFERENTIAL_SEED", 1));
  random_cases(cases, seed, 0x9E3779B97F4A7C15ull, {4, 40, 4, 60});
}

// Tall, narrow grids, where the step leaves out most rows of a repeating
// flow once it knows them: the runs of rows it looks at split and merge
// around the patches of flow and the puffs of pollutant, and move with them
// from step to step.
TEST(StepDifferential, RandomStatesOnTallGridsGiveTheBitsOfThePlainComposition) {
  const long cases = env_number("PLUME_DIFFERENTIAL_CASES", 3000) / 10;
  const auto seed = static_cast<std::uint64_t>(env_number("PLUME_DIFFERENTIAL_SEED", 1));
  random_cases(cases, seed, 0xC2B2AE3D27D4EB4Full, {4, 12, 60, 240});
}

// Wide grids, whose rows of pollutant are long enough for the flux loops
// to read their faces' weights formed ahead, once for the rows that read
// the same velocities.
TEST(StepDifferential, RandomStatesOnWideGridsGiveTheBitsOfThePlainComposition) {
  const long cases = env_number("PLUME_DIFFERENTIAL_CASES", 3000) / 15;
  const auto seed = static_cast<std::uint64_t>(env_number("PLUME_DIFFERENTIAL_SEED", 1));
  random_cases(cases, seed, 0x94D049BB133111EBull, {70, 200, 4, 30});
}

// Several species on one flow: the state of a random case with two to four
// species (one case in eight five to twelve, so that many species' sweeps
// share a team and take over each other's rows), each pollutant drawn as a
// case's pollutant is (from other cases of the same grid), stepped at once,
// against the plain composition of the flow with each species alone.
// Emissions into one species between steps.
TEST(StepDifferential, EachSpeciesGetsTheBitsOfItsPollutantSteppedAlone) {
  const long cases = env_number("PLUME_DIFFERENTIAL_CASES", 3000) / 5;
  const auto seed = static_cast<std::uint64_t>(env_number("PLUME_DIFFERENTIAL_SEED", 1));
  std::vector<std::unique_ptr<step_team>> teams;
  for (int threads = 1; threads <= 4; ++threads)
    teams.push_back(std::make_unique<step_team>(threads, every_sweep_shared));
  int failures = 0;
  long taken_over = 0;
  for (long n = 0; n < cases && failures < 5; ++n) {
    draw d(seed * 0xD1B54A32D192ED03ull + static_cast<std::uint64_t>(n));
    const int ni = d.between(4, 30), nj = d.between(4, 40);
    const int species = d.between(0, 7) == 0 ? d.between(5, 12) : d.between(2, 4);
    random_case c = make_case(d, ni, nj, d.between(1, 4));
    std::vector<std::vector<float>> q{c.q}, dqdt{c.dqdt};
    std::string pollutants = c.pollutant;
    for (int k = 1; k < species; ++k) {
      const random_case other = make_case(d, ni, nj, 1);
      q.push_back(other.q);
      dqdt.push_back(other.dqdt);
      pollutants += ", " + other.pollutant;
    }
    // Each species alone: the flow and its own pollutant.
    std::vector<random_case> alone(static_cast<std::size_t>(species), c);
    std::vector<species_fields> list;
    for (int k = 0; k < species; ++k) {
      alone[k].q = q[k];
      alone[k].dqdt = dqdt[k];
      list.push_back({q[k].data(), dqdt[k].data()});
    }
    const grid_spacing s = make_spacing(c.spacing, c.spacing_y);
    const grid_bounds& b = c.b;
    step_workspace ws(b, *teams[static_cast<std::size_t>(c.threads - 1)], species);
    std::string difference;
    for (int step = 1; step <= c.steps && difference.empty(); ++step) {
      for (random_case& a : alone) {
        rk2_reference(a.u.data(), a.v.data(), a.h.data(), a.q.data(), a.dqdt.data(), a.unread.data(), a.unread.data(),
                      a.unread.data(), a.unread.data(), s, c.u_in, c.v_in, b.ids, b.ide, b.jds, b.jde, b.ims, b.ime,
                      b.jms, b.jme);
      }
      rk2(model_state{c.u.data(), c.v.data(), c.h.data(), list}, s, c.u_in, c.v_in, ws);
      ws.materialize(c.u.data(), c.v.data(), c.h.data());
      for (int k = 0; k < species && difference.empty() && ws.busy_known; ++k) {
        const std::string unclean = unclean_row_outside_own_plan(ws, static_cast<std::size_t>(k));
        if (!unclean.empty()) difference = unclean + " after step " + std::to_string(step);
      }
      for (int k = 0; k < species && difference.empty(); ++k) {
        const random_case& a = alone[static_cast<std::size_t>(k)];
        const struct {
          std::string name;
          const std::vector<float>& want;
          const std::vector<float>& got;
        } fields[] = {{"u", a.u, c.u},
                      {"v", a.v, c.v},
                      {"h", a.h, c.h},
                      {"q of species " + std::to_string(k + 1), a.q, q[k]},
                      {"dqdt of species " + std::to_string(k + 1), a.dqdt, dqdt[k]}};
        for (const auto& f : fields) {
          const long at = first_difference(f.want.data(), f.got.data(), f.want.size());
          if (at < 0) continue;
          difference = f.name + " differs after step " + std::to_string(step) + " at linear position " +
                       std::to_string(at) + ": alone " + value_text(f.want[static_cast<std::size_t>(at)]) +
                       ", together " + value_text(f.got[static_cast<std::size_t>(at)]);
          break;
        }
      }
      // An emission into one species between steps.
      const step_event e = draw_event(d, b);
      if (step < c.steps && e.kind == step_event::emission) {
        const auto k = static_cast<std::size_t>(d.between(0, species - 1));
        random_case& a = alone[k];
        float* const mine[4] = {c.u.data(), c.v.data(), c.h.data(), q[k].data()};
        float* const theirs[4] = {a.u.data(), a.v.data(), a.h.data(), a.q.data()};
        apply_event(step_event{e.kind, e.ic, e.jc, e.radius, e.peak, {}}, mine, b);
        apply_event(step_event{e.kind, e.ic, e.jc, e.radius, e.peak, {}}, theirs, b);
        ws.forget_pollutant(static_cast<int>(k));
      }
    }
    taken_over += ws.ranges_taken_over;
    if (!difference.empty()) {
      ++failures;
      ADD_FAILURE() << "seed " << seed << ", case " << n << ": " << c.describe() << ", " << species
                    << " species (pollutants " << pollutants << "): " << difference;
    }
  }
  // The threads that finish their parts first take over rows of the
  // species' sweeps still running: the bits above include such stages.
  std::printf("rows taken over from a species' sweep: %ld times\n", taken_over);
  EXPECT_GT(taken_over, 0) << "no stage had rows of a species' sweep taken over";
}

}  // namespace

namespace {

// Species on one flow, and each species alone: the flow with its own
// pollutant, stepped by the plain composition, whose bits the production
// step must give each species.
struct species_alone {
  struct state {
    std::vector<float> u, v, h, q, dqdt;
  };
  std::vector<state> alone;
  std::vector<float> unread;
  species_alone(const std::vector<float>& u, const std::vector<float>& v, const std::vector<float>& h,
                const std::vector<std::vector<float>>& q, const std::vector<std::vector<float>>& dqdt)
      : unread(u.size(), 0.0f) {
    for (std::size_t k = 0; k < q.size(); ++k) alone.push_back({u, v, h, q[k], dqdt[k]});
  }
  void step(const grid_bounds& b, const grid_spacing& s, float u_in, float v_in) {
    for (state& a : alone) {
      rk2_reference(a.u.data(), a.v.data(), a.h.data(), a.q.data(), a.dqdt.data(), unread.data(), unread.data(),
                    unread.data(), unread.data(), s, u_in, v_in, b.ids, b.ide, b.jds, b.jde, b.ims, b.ime, b.jms,
                    b.jme);
    }
  }
};
std::vector<species_fields> species_list(std::vector<std::vector<float>>& q, std::vector<std::vector<float>>& dqdt) {
  std::vector<species_fields> list;
  for (std::size_t k = 0; k < q.size(); ++k) list.push_back({q[k].data(), dqdt[k].data()});
  return list;
}

}  // namespace

// Species whose pollutant lies in bands far apart on a tall grid whose flow
// repeats from row to row: each species' own busy rows stay around its own
// band, not the others', and each species still gets the bits of its
// pollutant stepped alone, as its band moves through rows that only the
// other species keep busy and across the periodic edge. Also in a flow that
// the wall drives past the speed up to which clean cells may be skipped,
// where every species must compute every cell (NaN fluxes between clean
// cells), in the other species' rows too.
TEST(StepDifferential, SpeciesInBandsFarApartKeepTheirOwnBusyRows) {
  constexpr int ni = 12, nj = 90;
  const grid_bounds b{1, ni, 1, nj, -1, ni + 2, -1, nj + 2};
  const std::size_t n = field_size(b.ims, b.ime, b.jms, b.jme);
  const auto at_point = [&](int i, int j) { return static_cast<std::size_t>(at(i, j, b.ims, b.ime, b.jms)); };
  const struct {
    const char* what;
    float u, v;
    int bands[3];
    bool own_rows_only;  // whether each species' busy rows stay within reach of its band
  } cases[] = {{"northward, the last band across the north edge", 1.0f, 600.0f, {25, 55, nj - 2}, true},
               {"southward, the first band across the south edge", 1.0f, -600.0f, {3, 33, 63}, true},
               {"eastward past the speed for skipping clean cells", 3e5f, 0.0f, {10, 45, 80}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<float> u(n, c.u), v(n, c.v), h(n, 0.0f);
    std::vector<std::vector<float>> q(3, std::vector<float>(n, 0.0f)), dqdt = q;
    for (std::size_t k = 0; k < 3; ++k) {
      const int row = c.bands[k];
      for (int i = 3; i <= 6; ++i) q[k][at_point(i, row)] = 1.0f + static_cast<float>(k);
      q[k][at_point(4, row - 1)] = -0.0f;
      q[k][at_point(5, row + 1)] = std::numeric_limits<float>::min();
    }
    species_alone each(u, v, h, q, dqdt);
    const std::vector<species_fields> list = species_list(q, dqdt);
    step_team team(1);
    step_workspace ws(b, team, 3);
    const grid_spacing s = make_spacing(1000.0f, 1000.0f);
    for (int step = 1; step <= 12; ++step) {
      each.step(b, s, c.u, c.v);
      rk2(model_state{u.data(), v.data(), h.data(), list}, s, c.u, c.v, ws);
      ws.materialize(u.data(), v.data(), h.data());
      for (std::size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(testing::Message() << "species " << k + 1 << ", step " << step);
        ASSERT_TRUE(ws.busy_known);
        ASSERT_EQ(unclean_row_outside_own_plan(ws, k), "");
        ASSERT_EQ(first_difference(each.alone[k].u, u), -1);
        ASSERT_EQ(first_difference(each.alone[k].q, q[k]), -1);
        ASSERT_EQ(first_difference(each.alone[k].dqdt, dqdt[k]), -1);
      }
    }
    if (!c.own_rows_only) {
      EXPECT_TRUE(std::isnan(q[0][at_point(6, 45)]));
      continue;
    }
    // Twelve steps at 600 m/s carry a band about seven rows, its traces a
    // row a step; its busy rows reach a few more, short of the next band.
    ASSERT_TRUE(ws.busy_known);
    for (std::size_t k = 0; k < 3; ++k) {
      SCOPED_TRACE(testing::Message() << "species " << k + 1);
      EXPECT_LT(ws.species[k].busy.rows(), ws.busy.rows() * 2 / 3);
      EXPECT_LT(ws.species[k].plan.rows(), ws.plan.rows() * 2 / 3);
      for (std::size_t other = 0; other < 3; ++other) {
        if (other == k) continue;
        bool holds = false;
        ws.species[k].busy.for_each_row(c.bands[other], c.bands[other], [&](int) { holds = true; });
        EXPECT_FALSE(holds) << "the band of species " << other + 1;
      }
    }
  }
}

// Species in the same rows: one against the west wall, one in the middle
// and one at the east boundary. Those rows' column rules name the pollutant
// columns for the species at the sides, not for the one in the middle,
// whose columns are then neither rewritten nor kept and put back around the
// first stage. Every species still gets the bits of its pollutant stepped
// alone, on one thread and with every stage shared by two; and in a row
// where only the species at the sides reach the columns, the middle one's
// are not marked.
TEST(StepDifferential, SpeciesBesidePlumesAtTheSidesGetTheirOwnColumns) {
  constexpr int ni = 18, nj = 24;
  const grid_bounds b{1, ni, 1, nj, -1, ni + 2, -1, nj + 2};
  const std::size_t n = field_size(b.ims, b.ime, b.jms, b.jme);
  const auto at_point = [&](int i, int j) { return static_cast<std::size_t>(at(i, j, b.ims, b.ime, b.jms)); };
  const float u_wind = 20.0f, v_wind = 3.0f;
  const int columns[3][2] = {{1, 3}, {8, 10}, {ni - 3, ni - 1}};
  step_team alone_team(1), shared_team(2, every_sweep_shared);
  for (step_team* team : {&alone_team, &shared_team}) {
    SCOPED_TRACE(testing::Message() << team->size() << " thread(s)");
    std::vector<float> u(n, u_wind), v(n, v_wind), h(n, 0.0f);
    std::vector<std::vector<float>> q(3, std::vector<float>(n, 0.0f)), dqdt = q;
    for (std::size_t k = 0; k < 3; ++k) {
      for (int j = 10; j <= 13; ++j) {
        for (int i = columns[k][0]; i <= columns[k][1]; ++i) q[k][at_point(i, j)] = 1.0f + static_cast<float>(k);
      }
      q[k][at_point(columns[k][0], 9)] = -0.0f;
      q[k][at_point(columns[k][1], 14)] = std::numeric_limits<float>::min();
    }
    species_alone each(u, v, h, q, dqdt);
    const std::vector<species_fields> list = species_list(q, dqdt);
    step_workspace ws(b, *team, 3);
    const grid_spacing s = make_spacing(1000.0f, 1000.0f);
    bool middle_left_alone = false;  // a row named the columns for a side species but not the middle one
    for (int step = 1; step <= 10; ++step) {
      each.step(b, s, u_wind, v_wind);
      rk2(model_state{u.data(), v.data(), h.data(), list}, s, u_wind, v_wind, ws);
      ws.materialize(u.data(), v.data(), h.data());
      for (int j = b.jds + 1; j <= b.jde - 2; ++j) {
        const auto row = static_cast<std::size_t>(j - b.jms);
        const auto mark = [&](std::size_t k) { return ws.pollutant_rules[k * ws.rules.size() + row] != 0; };
        middle_left_alone = middle_left_alone || (!mark(1) && (mark(0) || mark(2)));
      }
      for (std::size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(testing::Message() << "species " << k + 1 << ", step " << step);
        ASSERT_EQ(first_difference(each.alone[k].u, u), -1);
        ASSERT_EQ(first_difference(each.alone[k].h, h), -1);
        ASSERT_EQ(first_difference(each.alone[k].q, q[k]), -1);
        ASSERT_EQ(first_difference(each.alone[k].dqdt, dqdt[k]), -1);
      }
    }
    EXPECT_TRUE(middle_left_alone);
  }
}
