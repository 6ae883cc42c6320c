// The production step of a run over several processes, each holding one
// block of the grid and exchanging halos with real MPI messages, against the
// plain composition on the whole grid: on random states, in every layout of
// the processes this test runs on (mpirun -np N), with one and two threads
// per process, every point each block owns must hold the plain
// composition's bits after each step (NaN payloads aside).
//
// Every process draws the same cases from the same seed and steps the whole
// grid with the plain composition itself; then it steps its own block with
// the production step, whose halo starts as garbage, and compares.
// PLUME_DIFFERENTIAL_CASES sets the number of cases (default 300).
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "decomposition/halo_exchange.hpp"
#include "decomposition/layout.hpp"
#include "decomposition/process_group.hpp"
#include "driver/fp_mode.hpp"
#include "support/random_step_cases.hpp"
#include "timestep/row_team.hpp"
#include "timestep/step_workspace.hpp"
#include "timestep/timestep.hpp"

namespace {

using namespace random_steps;

// The layouts of the processes of this run.
std::vector<block_layout> layouts_for(int ranks) {
  std::vector<block_layout> all;
  for (int px = 1; px <= ranks; ++px)
    if (ranks % px == 0) all.push_back({px, ranks / px});
  return all;
}

// This process's block of a case: its bounds, patch and fields.
struct block_state {
  grid_bounds b;
  patch_bounds p;
  std::vector<float> f[5];  // u, v, h, q, dqdt

  block_state(const random_case& c, const block_layout& l) {
    p = block_patch(l, processes::rank(), c.ni, c.nj);
    b = {1, c.ni, 1, c.nj, p.ips - 2, p.ipe + 2, p.jps - 2, p.jpe + 2};
    const std::vector<float>* whole[5] = {&c.u, &c.v, &c.h, &c.q, &c.dqdt};
    for (int k = 0; k < 5; ++k) {
      // Garbage in the halo: the step must give it its values before it
      // reads it.
      f[k].assign(field_size(b.ims, b.ime, b.jms, b.jme), 7.7e7f);
      for (int j = p.jps; j <= p.jpe; ++j)
        for (int i = p.ips; i <= p.ipe; ++i) f[k][mine(i, j)] = (*whole[k])[c.at(i, j)];
    }
  }
  std::size_t mine(int i, int j) const { return static_cast<std::size_t>(at(i, j, b.ims, b.ime, b.jms)); }
};

// Steps one case both ways; the first difference on this process, or "".
// Every step is taken even after a difference, since the other processes
// take part in each one. The draws are the same on every process.
std::string compare(draw& d, random_case& c, const block_layout& l, int threads) {
  std::string first;
  block_state blk(c, l);
  pace_rules every_sweep_shared;
  every_sweep_shared.sharing = pace_rules::verdicts::always_shared;
  every_sweep_shared.least_work = 0;  // the small blocks' stages too
  step_team team(threads, every_sweep_shared);
  const std::unique_ptr<halo_exchange> exchange = make_halo_exchange(blk.b, blk.p, l);
  step_workspace ws(blk.b, blk.p, team, *exchange);
  const grid_spacing s = make_spacing(c.spacing, c.spacing_y);
  const grid_bounds& g = c.b;
  const grid_bounds& b = blk.b;
  std::vector<float> unread(blk.f[0].size(), 3.0f);
  for (int step = 1; step <= c.steps; ++step) {
    rk2_reference(c.u.data(), c.v.data(), c.h.data(), c.q.data(), c.dqdt.data(), c.unread.data(), c.unread.data(),
                  c.unread.data(), c.unread.data(), s, c.u_in, c.v_in, g.ids, g.ide, g.jds, g.jde, g.ims, g.ime, g.jms,
                  g.jme);
    rk2(blk.f[0].data(), blk.f[1].data(), blk.f[2].data(), blk.f[3].data(), blk.f[4].data(), unread.data(),
        unread.data(), unread.data(), unread.data(), s, c.u_in, c.v_in, b.ids, b.ide, b.jds, b.jde, b.ims, b.ime,
        b.jms, b.jme, ws);
    // The block's arrays are looked at (and written into) after some steps
    // only; between them the step carries what it knows from one to the
    // next, as a run does between snapshots.
    if (step < c.steps && d.between(0, 2) != 0) continue;
    ws.materialize(blk.f[0].data(), blk.f[1].data(), blk.f[2].data());
    const char* const names[5] = {"u", "v", "h", "q", "dqdt"};
    const std::vector<float>* whole[5] = {&c.u, &c.v, &c.h, &c.q, &c.dqdt};
    for (int k = 0; k < 5 && first.empty(); ++k) {
      for (int j = blk.p.jps; j <= blk.p.jpe && first.empty(); ++j) {
        for (int i = blk.p.ips; i <= blk.p.ipe && first.empty(); ++i) {
          const float want = (*whole[k])[c.at(i, j)], got = blk.f[k][blk.mine(i, j)];
          if (first_difference(&want, &got, 1) < 0) continue;
          first = std::string(names[k]) + " differs after step " + std::to_string(step) + " at (" + std::to_string(i) +
                  ", " + std::to_string(j) + "): the plain composition gives " + value_text(want) + ", rank " +
                  std::to_string(processes::rank()) + " gives " + value_text(got);
        }
      }
    }
    if (step < c.steps) {
      const step_event e = draw_event(d, g);
      float* const whole_fields[4] = {c.u.data(), c.v.data(), c.h.data(), c.q.data()};
      float* const block_fields[4] = {blk.f[0].data(), blk.f[1].data(), blk.f[2].data(), blk.f[3].data()};
      apply_event(e, whole_fields, g);
      apply_event(e, block_fields, b);
      ws.forget();
    }
  }
  return first;
}

// Half the time, in a layout with blocks side by side, the u of one face
// between two blocks, in one own row, one ulp above what it was: the block
// west of the face holds it in its halo, from its neighbour, and the rows
// around it may otherwise repeat. A difference of one ulp is often lost in
// the first stage's sum and not in the average.
void nudge_a_face_between_blocks(draw& d, random_case& c, const block_layout& l) {
  if (l.px < 2 || !d.chance(0.5)) return;
  const patch_bounds west = block_patch(l, d.between(0, l.px - 2), c.ni, c.nj);
  float& x = c.u[c.at(west.ipe + 1, d.between(c.b.jds, c.b.jde - 1))];
  x = above(x);
}

TEST(BlockStep, EveryLayoutGivesTheBitsOfThePlainComposition) {
  const long cases = env_number("PLUME_DIFFERENTIAL_CASES", 300);
  const std::vector<block_layout> layouts = layouts_for(processes::count());
  int failures = 0;
  for (long n = 0; n < cases; ++n) {
    draw d(0x5EED0000ull + static_cast<std::uint64_t>(n));
    const block_layout l = layouts[static_cast<std::size_t>(n) % layouts.size()];
    const int ni = d.between(std::max(4, min_block_points * l.px), std::max(40, min_block_points * l.px));
    const int nj = d.between(std::max(4, min_block_points * l.py), std::max(60, min_block_points * l.py));
    const int threads = d.between(1, 2);
    random_case c = make_case(d, ni, nj, threads);
    nudge_a_face_between_blocks(d, c, l);
    const std::string difference = compare(d, c, l, threads);
    // Every process learns whether any failed, so that all stop together.
    const int failed = processes::first_failure(difference);
    if (!difference.empty()) {
      const std::string what =
          "case " + std::to_string(n) + ", layout " + layout_text(l) + ": " + c.describe() + ": " + difference;
      ADD_FAILURE() << what;
      if (processes::rank() != 0) std::fprintf(stderr, "rank %d: %s\n", processes::rank(), what.c_str());
    }
    if (failed >= 0 && ++failures == 3) break;
  }
}

}  // namespace

int main(int argc, char** argv) {
  processes::start(argc, argv);
  set_subnormals_to_zero();
  testing::InitGoogleTest(&argc, argv);
  // Only rank 0 reports progress; every rank reports its own failures.
  if (processes::rank() != 0) {
    auto& listeners = testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
  }
  const int result = RUN_ALL_TESTS();
  const long long worst = processes::max(result);
  processes::finish();
  return static_cast<int>(worst);
}
