// The production step must give exactly the bits of the plain composition of
// the procedures, in every array it writes, halo and boundary points
// included: over consecutive steps of a developed state on the run's grid,
// across an emission, and in the physical situations where one of its
// shortcuts would be easiest to get wrong. The random states of
// step_differential_test.cpp cover the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/scenario.hpp"
#include "kernels/boundary_rules.hpp"
#include "support/developed_state.hpp"
#include "support/float_bits.hpp"
#include "support/module_step.hpp"
#include "support/reference_case.hpp"
#include "timestep/row_team.hpp"
#include "timestep/step_workspace.hpp"

namespace {

// A team's rules that fix which sweeps are shared: every one large enough
// to share, or none.
pace_rules fixed(pace_rules::verdicts v) {
  pace_rules rules;
  rules.sharing = v;
  return rules;
}
const pace_rules every_sweep_shared = fixed(pace_rules::verdicts::always_shared);

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
                     << value_text(f.a[static_cast<std::size_t>(k < 0 ? 0 : k)]) << " vs "
                     << value_text(f.b[static_cast<std::size_t>(k < 0 ? 0 : k)]);
  }
}

void reference_step(const grid_spacing& s = reference::spacing, float u_in = reference::u_init,
                    float v_in = reference::v_init) {
  using namespace domain;
  rk2_reference(u, v, h, q, dqdt, gpx, gpy, fx, fy, s, u_in, v_in, ids, ide, jds, jde, ims, ime, jms, jme);
}

TEST(ProductionStep, MatchesReferenceFromDevelopedStateAcrossEmission) {
  develop_state(400, {100, 250});
  const step_state start = step_state::save();
  constexpr int steps = 4;
  constexpr int emission_after = 1;

  std::vector<step_state> reference;
  for (int n = 0; n < steps; ++n) {
    reference_step();
    if (n == emission_after) emit(scenario{}.sources, domain::q, module_cone_grid());
    reference.push_back(step_state::save());
  }
  for (int threads = 1; threads <= 3; ++threads) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    start.restore();
    module_step step(threads, true, every_sweep_shared);
    for (int n = 0; n < steps; ++n) {
      step();
      if (n == emission_after) {
        emit(scenario{}.sources, domain::q, module_cone_grid(), step.workspace.module_q_clean(0));
        step.workspace.forget_pollutant(0);
      }
      expect_same_bits(reference[static_cast<std::size_t>(n)], step_state::save(), n);
    }
  }
}

TEST(ProductionStep, IgnoresWhatTheWorkspaceAndTheEntryTendencyHeld) {
  // A second application from the same entry state, after the workspace has
  // been used for other states and dqdt has been filled with garbage, gives
  // the same bits again.
  develop_state(300, {100});
  const step_state start = step_state::save();
  module_step step(2);
  step();
  const step_state once = step_state::save();

  step();
  step();
  start.restore();
  std::fill(domain::dqdt, domain::dqdt + start.dqdt.size(), 12345.0f);
  step.forget();
  step();
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

TEST(ProductionStep, RefusesAWorkspaceMadeForAnotherGrid) {
  domain::gridpara(12, 9);
  step_team team(1);
  step_workspace other({1, 12, 1, 10, -1, 14, -1, 12}, team);
  using namespace domain;
  EXPECT_THROW(rk2(u, v, h, q, dqdt, gpx, gpy, fx, fy, reference::spacing, reference::u_init, reference::v_init, ids,
                   ide, jds, jde, ims, ime, jms, jme, other),
               std::invalid_argument);
  EXPECT_THROW(step_workspace({1, 3, 1, 9, -1, 5, -1, 11}, team), std::invalid_argument);
}

// A block of a grid shared among processes stores rows outside the grid's
// interior rows only at the grid's south or north edge: none in the middle,
// the three from row jde on at the north edge, all five for the whole grid.
TEST(ProductionStep, WorkspacesForBlocksAtAndAwayFromTheGridsEdges) {
  step_team team(1);
  const grid_bounds middle{1, 20, 1, 30, -1, 22, 9, 22};
  const grid_bounds north{1, 20, 1, 30, -1, 22, 19, 32};
  whole_grid_exchange exchange(middle);
  EXPECT_NO_THROW({ const step_workspace block(middle, {1, 20, 11, 20}, team, exchange); });
  EXPECT_NO_THROW({ const step_workspace block(north, {1, 20, 21, 30}, team, exchange); });
  EXPECT_EQ(boundary::halo_rows(middle.jms, middle.jds, middle.jde, middle.jme), 0);
  EXPECT_EQ(boundary::halo_rows(north.jms, north.jds, north.jde, north.jme), 3);
  EXPECT_EQ(boundary::halo_row_index(31, north.jms, north.jds, north.jde), 1);
  EXPECT_EQ(boundary::halo_rows(-1, 1, 30, 32), 5);
  EXPECT_EQ(boundary::halo_row_index(0, -1, 1, 30), 1);
  EXPECT_EQ(boundary::halo_row_index(30, -1, 1, 30), 2);
}

// A grid of ni x nj interior points in the module's arrays, in a uniform flow
// (u, v) that the east boundary also holds, over a flat height, with no
// pollutant; then the case's own changes.
void uniform_flow(int ni, int nj, float u0, float v0) {
  domain::gridpara(ni, nj);
  const std::size_t n = field_size(domain::ims, domain::ime, domain::jms, domain::jme);
  std::fill(domain::u, domain::u + n, u0);
  std::fill(domain::v, domain::v + n, v0);
}
float& at_point(float* f, int i, int j) { return f[at(i, j, domain::ims, domain::ime, domain::jms)]; }

// Between steps the module's rows of the flow outside the grid's interior
// rows may hold the boundary values until materialize puts their own values
// back. A caller that writes the arrays and says so (forget) keeps what it
// wrote: materialize then has nothing to put back.
TEST(ProductionStep, MaterializeKeepsWhatACallerWroteAfterForget) {
  develop_state(300, {100});
  const step_state start = step_state::save();
  module_step step(1, false);
  step();
  step();
  start.restore();
  for (float* f : {domain::u, domain::v, domain::h}) {
    for (int i = domain::ims; i <= domain::ime; ++i) at_point(f, i, domain::jms) = -0.0f;
  }
  const step_state written = step_state::save();
  step.forget();
  step.workspace.materialize(domain::u, domain::v, domain::h);
  expect_same_bits(written, step_state::save(), 0);
}

// Steps of the module's state by both procedures, the production step
// carrying what it knows from one to the next, compared after each; returns
// the plain composition's state after the last.
step_state both_steps(module_step& step, const grid_spacing& s, float u_in, float v_in, int steps) {
  step_state want = step_state::save();
  step_state got = want;
  for (int n = 1; n <= steps; ++n) {
    want.restore();
    reference_step(s, u_in, v_in);
    want = step_state::save();
    got.restore();
    step(s, u_in, v_in);
    got = step_state::save();
    expect_same_bits(want, got, n);
  }
  return want;
}
step_state both_steps(const grid_spacing& s, float u_in, float v_in, int threads = 1, int steps = 1) {
  module_step step(threads, true, every_sweep_shared);
  return both_steps(step, s, u_in, v_in, steps);
}

// A puff in the easternmost cell of one row, blown out east at a Courant
// number of exactly 1: the first stage carries all of it out, so the stage
// state is clean everywhere and every row of it repeats the row below. The
// cell's new value is half its entry value, which only the entry state shows.
TEST(ProductionStepSituations, PuffBlownOutEastAtCourantNumberOne) {
  const float w = 1000.0f;  // one cell per step
  uniform_flow(8, 6, w, 0.0f);
  at_point(domain::q, domain::ide - 1, 3) = 1.0f;
  const step_state want = both_steps(reference::spacing, w, 0.0f);
  EXPECT_EQ(want.q[static_cast<std::size_t>(at(domain::ide - 1, 3, domain::ims, domain::ime, domain::jms))], 0.5f);
}

// A cell holding -2^-126, the negative normal concentration nearest zero,
// blown east at a Courant number of exactly 1. The first stage moves it
// whole into the next cell; the average then halves -2^-126 in both cells,
// and the processor flushes the subnormal halves to -0. The next step finds
// nothing to move and gives both cells +0.
TEST(ProductionStepSituations, SmallestNegativeTraceBlownEastFlushesToNegativeZeroThenClears) {
  const float w = 1000.0f;
  uniform_flow(8, 6, w, 0.0f);
  at_point(domain::q, 3, 3) = -std::numeric_limits<float>::min();
  const auto bits = [](const step_state& st, int i) {
    return std::bit_cast<std::uint32_t>(st.q[static_cast<std::size_t>(at(i, 3, domain::ims, domain::ime, domain::jms))]);
  };
  const step_state start = step_state::save();
  const step_state once = both_steps(reference::spacing, w, 0.0f);
  EXPECT_EQ(bits(once, 3), 0x80000000u);
  EXPECT_EQ(bits(once, 4), 0x80000000u);
  start.restore();
  const step_state twice = both_steps(reference::spacing, w, 0.0f, 1, 2);
  EXPECT_EQ(bits(twice, 3), 0u);
  EXPECT_EQ(bits(twice, 4), 0u);
}

// Uniform rows of pollutant in a southward flow, with a step in the
// pollutant two rows above the rows that repeat: the flux through a cell's
// north face reads the pollutant two rows up against the flow.
TEST(ProductionStepSituations, PollutantStepTwoRowsUpInSouthwardFlow) {
  for (int step_row = 3; step_row <= 9; ++step_row) {
    SCOPED_TRACE(testing::Message() << "the pollutant changes at row " << step_row);
    uniform_flow(9, 12, 0.0f, -300.0f);
    for (int j = domain::jms; j <= domain::jme; ++j) {
      for (int i = domain::ims; i <= domain::ime; ++i) at_point(domain::q, i, j) = j < step_row ? 0.25f : 1.0f;
    }
    at_point(domain::q, 4, step_row + 1) = 0.5f;  // and a bump in the row above the step
    both_steps(reference::spacing, 0.0f, -300.0f);
  }
}

// One face of a clean grid at 1e22 m/s: the limited correction's
// coefficient (0.5 |u|) (1 - |u dt / dx|) overflows to -inf, and times the
// zero jump across the face it makes the flux NaN, which the two cells
// beside the face receive.
TEST(ProductionStepSituations, OneFaceFasterThanTheCorrectionCanHold) {
  uniform_flow(10, 8, 2.0f, 1.0f);
  at_point(domain::u, 5, 4) = 1e22f;
  const step_state want = both_steps(reference::spacing, 2.0f, 1.0f);
  const auto q = [&](int i, int j) { return want.q[static_cast<std::size_t>(at(i, j, domain::ims, domain::ime, domain::jms))]; };
  EXPECT_TRUE(std::isnan(q(4, 4)) && std::isnan(q(5, 4)));
}

// A clean grid in a uniform flow at the largest speed at which the step
// takes a face between two clean cells to carry nothing (1e15 m/s), over
// cells so short along the flow (1e-9 m) that the limited correction's
// coefficient (0.5 |w|) (1 - |w dt / d|) overflows in the first stage: the
// flux between two clean cells is NaN, and so is every cell. Square cells,
// and cells short along the flow only, either way.
TEST(ProductionStepSituations, CleanGridInAFlowTooFastForItsFineCells) {
  const struct {
    const char* what;
    float dx, dy, u, v;
  } cases[] = {{"square cells, northward", 1e-9f, 1e-9f, 0.0f, 1e15f},
               {"cells short along y, northward", 1000.0f, 1e-9f, 0.0f, 1e15f},
               {"cells short along x, eastward", 1e-9f, 1000.0f, 1e15f, 0.0f}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    uniform_flow(10, 8, c.u, c.v);
    const step_state want = both_steps(make_spacing(c.dx, c.dy), c.u, c.v);
    EXPECT_TRUE(std::isnan(want.q[static_cast<std::size_t>(at(6, 4, domain::ims, domain::ime, domain::jms))]));
  }
}

// A uniform flow so fast northward that the sum of the four v faces around
// a u face overflows (4 x 8.6e37 m/s): the cross-advection of u is then
// infinity times a zero difference, NaN, although u itself is uniform.
TEST(ProductionStepSituations, NorthwardSpeedWhoseFourFaceSumOverflows) {
  const float v0 = 8.6e37f;
  uniform_flow(10, 8, 1.5f, v0);
  const step_state want = both_steps(reference::spacing, 1.5f, v0);
  EXPECT_TRUE(std::isnan(want.u[static_cast<std::size_t>(at(5, 4, domain::ims, domain::ime, domain::jms))]));
}

// A huge uniform flow (1e37 m/s eastward) with one face at the largest
// float: the sum of the four u faces around each v face next to it
// overflows, and the cross-advection of v there is infinity times a zero
// difference, NaN.
TEST(ProductionStepSituations, HugeUniformFlowWithOneFaceAtTheLargestFloat) {
  const float u0 = std::bit_cast<float>(0x7cf0bdc2u);  // 1e37
  uniform_flow(10, 8, u0, 1.0f);
  at_point(domain::u, 6, 4) = std::numeric_limits<float>::max();
  const step_state want = both_steps(reference::spacing, u0, 1.0f);
  EXPECT_TRUE(std::isnan(want.v[static_cast<std::size_t>(at(5, 5, domain::ims, domain::ime, domain::jms))]));
}

// A wide grid whose southern rows hold a rough flow and whose other rows
// all repeat a flow that varies along x (and so changes from step to step),
// with pollutant everywhere, stepped by two threads. The rows are shared
// out by their work, so that the second thread's part begins among the
// repeating rows, whose flow is that of a row the first thread computes
// well into its own part: the second thread must compute its first row
// rather than copy a row that it may reach before the first thread.
TEST(ProductionStepSituations, RoughSouthernRowsUnderRepeatingRowsSharedByTwoThreads) {
  uniform_flow(1600, 60, 3.0f, -2.0f);
  for (int j = domain::jms; j <= domain::jme; ++j) {
    const int rough = j <= 16 ? j : 0;
    for (int i = domain::ims; i <= domain::ime; ++i) {
      at_point(domain::u, i, j) = 3.0f + 0.25f * static_cast<float>((7 * i + 3 * rough) % 5);
      at_point(domain::v, i, j) = -2.0f + 0.5f * static_cast<float>((2 * i + 5 * rough) % 3);
      at_point(domain::q, i, j) = 0.5f + 0.125f * static_cast<float>(i % 4);
    }
  }
  both_steps(reference::spacing, 3.0f, -2.0f, 2, 6);
}

// Two grids stepped one after the other in one process: a taller one, then
// a band of pollutant on a shorter one that the southward flow carries
// across the periodic edge into the northern rows. Each grid has its own
// workspace, and nothing of the first reaches the second.
TEST(ProductionStepSituations, GridSteppedAfterATallerOne) {
  uniform_flow(8, 14, 1.0f, -2.0f);
  module_step{}(reference::spacing, 1.0f, -2.0f);
  uniform_flow(8, 12, 1.0f, -2.0f);
  for (int i = 1; i <= 7; ++i) at_point(domain::q, i, 2) = 1.0f;
  const step_state want = both_steps(reference::spacing, 1.0f, -2.0f);
  EXPECT_EQ(want.q[static_cast<std::size_t>(at(3, 11, domain::ims, domain::ime, domain::jms))], 1.00000763e-09f);
}

// Runs of rows. On a grid whose flow repeats from row to row, the step
// looks only at the rows that may differ from a clean repeating row (its
// busy rows) and a few around them. These cases split and merge such runs:
// one differing row at the first or the last cell row or between them, and
// puffs that move through the rows and across the periodic edge, on tall
// grids where most rows are left out, compared bit for bit after every step.

// The busy rows of a clean grid in a uniform flow after `steps` steps.
std::size_t busy_rows_of_clean_grid(int nj, int steps) {
  uniform_flow(10, nj, 2.0f, 1.0f);
  module_step step;
  both_steps(step, reference::spacing, 2.0f, 1.0f, steps);
  EXPECT_TRUE(step.workspace.busy_known);
  return step.workspace.busy.rows();
}

TEST(ProductionStepRuns, CleanRepeatingGridKeepsAFewRowsBusyWhateverItsHeight) {
  const std::size_t short_grid = busy_rows_of_clean_grid(30, 5);
  EXPECT_LE(short_grid, 12u);
  EXPECT_EQ(busy_rows_of_clean_grid(150, 5), short_grid);
}

TEST(ProductionStepRuns, OneDifferingRowSplitsTheRepeatingRows) {
  constexpr int nj = 90;
  for (const int row : {1, 2, 45, nj - 1, nj}) {
    SCOPED_TRACE(testing::Message() << "row " << row << " differs");
    uniform_flow(10, nj, 2.0f, 1.0f);
    at_point(domain::u, 5, row) = 2.5f;
    at_point(domain::h, 3, row) = 0.25f;
    module_step step;
    both_steps(step, reference::spacing, 2.0f, 1.0f, 8);
    // The difference spreads a row or two each step: most rows stay quiet.
    EXPECT_LT(step.workspace.busy.rows(), static_cast<std::size_t>(nj / 2));
  }
}

TEST(ProductionStepRuns, PuffsMoveThroughQuietRowsAndAcrossThePeriodicEdge) {
  constexpr int nj = 80;
  const struct {
    const char* what;
    float v;
    int row;
  } cases[] = {{"northward across the north edge", 600.0f, nj - 1},
               {"southward across the south edge", -600.0f, 2},
               {"northward from the middle", 600.0f, 40},
               {"southward onto the first row", -600.0f, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    uniform_flow(12, nj, 1.0f, c.v);
    for (int i = 3; i <= 6; ++i) at_point(domain::q, i, c.row) = 1.0f;
    at_point(domain::q, 4, c.row - 1) = -0.0f;
    at_point(domain::q, 5, c.row + 1) = std::numeric_limits<float>::min();
    both_steps(reference::spacing, 1.0f, c.v, 1, 10);
  }
}

// Bands of pollutant far apart on a wide grid, enough work for the stage
// to be cut into parts (four per thread): the rows looked at come in short
// runs between rows left out, and a part may begin only where its first
// row's neighbours are looked at too. Bands of one to three rows at several
// heights, so that the cuts fall at every place in the runs.
TEST(ProductionStepRuns, BandsOfPollutantCutIntoParts) {
  for (int threads = 1; threads <= 3; threads += 2) {
    for (const int width : {1, 3}) {
      for (const int first : {9, 33}) {
        SCOPED_TRACE(testing::Message() << threads << " threads, bands of " << width << " rows from row " << first);
        uniform_flow(1600, 80, 3.0f, 2.0f);
        for (int i = 1; i < 1600; ++i) {
          for (int j : {first, first + 30}) {
            for (int n = 0; n < width; ++n) at_point(domain::q, i, j + n) = 0.5f + 0.125f * static_cast<float>(i % 4);
          }
        }
        both_steps(reference::spacing, 3.0f, 2.0f, threads, 3);
      }
    }
  }
}

// The same bands, three rows wide, on two threads whose team shares every
// stage, or none, or as it measures: each stage holds at least six rows of
// 1,599 cells to compute (some 38,000 units of work, more than the least a
// stage is shared for), so every stage is handed out, or none is; the
// bits are the plain composition's whatever is decided.
TEST(ProductionStepRuns, StagesSharedAsDecidedGiveTheSameBits) {
  constexpr int steps = 4;
  const struct {
    const char* what;
    pace_rules::verdicts sharing;
    long shared;  // stages handed out (-1: whatever the team measures)
  } cases[] = {{"every stage shared", pace_rules::verdicts::always_shared, 2 * steps},
               {"none", pace_rules::verdicts::never_shared, 0},
               {"as measured", pace_rules::verdicts::measured, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    uniform_flow(1600, 80, 3.0f, 2.0f);
    for (int i = 1; i < 1600; ++i) {
      for (int j : {9, 10, 11, 40, 41, 42}) at_point(domain::q, i, j) = 0.5f + 0.125f * static_cast<float>(i % 4);
    }
    module_step step(2, true, fixed(c.sharing));
    both_steps(step, reference::spacing, 3.0f, 2.0f, steps);
    if (c.shared >= 0) {
      EXPECT_EQ(step.team.shared_sweeps(), c.shared);
    }
  }
}

// A clean grid in a fast uniform eastward flow, which the wall drives
// faster each step in every row at once: its rows are quiet after the first
// step, and within a step or two the flow passes the speed up to which the
// step takes a face between clean cells to carry nothing (1e15 m/s). From
// then on every cell must be computed, in the rows left out before too: the
// fluxes between clean cells turn NaN.
TEST(ProductionStepRuns, RepeatingFlowDrivenOverTheSpeedForSkippingCells) {
  for (const float u0 : {1e4f, 2.8e4f, 3e5f}) {
    SCOPED_TRACE(testing::Message() << "u = " << u0);
    uniform_flow(12, 60, u0, 0.0f);
    const step_state want = both_steps(reference::spacing, u0, 0.0f, 1, 4);
    EXPECT_TRUE(std::isnan(want.q[static_cast<std::size_t>(at(6, 40, domain::ims, domain::ime, domain::jms))]));
  }
}

}  // namespace
