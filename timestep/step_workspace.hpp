#pragma once
// What the production step works with besides the fields it is given: its
// stage arrays, its scratch rows, what it knows of the rows of the fields,
// the team of threads that shares its sweeps and the exchange that gives
// its block the boundary and halo values.
//
// The caller owns the workspace (the run, a test, a benchmark) and passes it
// to every step of one grid or block; it is sized for those bounds and
// refuses any other. It carries from one step to the next what the step
// knows of the module's arrays (flow_rows.hpp, pollutant_map.hpp): which
// rows of u, v and h repeat the row below, once for all species, and where
// each species' q and dqdt are +0. A
// row that repeats is not written out in the arrays until a caller asks:
//  - a caller that reads u, v or h calls materialize() first (q and dqdt
//    are always written out);
//  - a caller that writes into the arrays between steps calls
//    materialize() before and forget() after (forget_pollutant(k) when it
//    changed species k's q alone, as an emission does), and the next step learns the
//    rows afresh from the arrays.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "decomposition/halo_exchange.hpp"
#include "grid/bounds.hpp"
#include "grid/row_runs.hpp"
#include "grid/storage.hpp"
#include "timestep/flow_rows.hpp"
#include "timestep/pollutant_map.hpp"
#include "timestep/row_team.hpp"

// Visits the points of one field that set_bdy writes on the whole grid,
// that the stored extent holds and that the block must keep: every stored
// row outside jds..jde-1, and in the block's own rows between them the
// columns up to ids and from ide on. (A halo row of the block that lies in
// the grid's interior holds another block's points: there the exchange
// gives the block the values that it needs, to be left as they are.) Calls
// move(j, position, count) for each run of consecutive points of row j, in
// a fixed order, so that a save and a restore with the same bounds match up.
// boundary_frame_row visits the points of one row j.
template <class Move>
void boundary_frame_row(const grid_bounds& b, const patch_bounds& p, int j, Move move) {
  const std::ptrdiff_t nx = b.ime - b.ims + 1;
  const std::ptrdiff_t r = static_cast<std::ptrdiff_t>(j - b.jms) * nx;
  if (j < b.jds || j > b.jde - 1) {
    move(j, r, nx);
    return;
  }
  if (j < p.jps || j > p.jpe) return;
  if (b.ims <= b.ids) move(j, r, std::min(b.ids, b.ime) - b.ims + 1);
  if (b.ide <= b.ime) {
    const int from = std::max(b.ide, b.ims);
    move(j, r + (from - b.ims), b.ime - from + 1);
  }
}
template <class Move>
void for_boundary_frame(const grid_bounds& b, const patch_bounds& p, Move move) {
  for (int j = b.jms; j <= b.jme; ++j) boundary_frame_row(b, p, j, move);
}

inline std::size_t boundary_frame_points(const grid_bounds& b, const patch_bounds& p) {
  std::size_t n = 0;
  for_boundary_frame(b, p, [&](int, std::ptrdiff_t, std::ptrdiff_t count) { n += static_cast<std::size_t>(count); });
  return n;
}

// What the step knows and keeps of one species' pollutant (indices j - jms
// in the vectors): its stage array q1, the span of each row's cells outside
// which the module's q and dqdt and the stage's q1 hold +0, whether the
// boundary columns of each own cell row of q and q1 hold +0, and the
// records of one stage: where its input q is not +0 and the cells to
// compute, with their work.
struct species_knowledge {
  float* q1 = nullptr;
  std::vector<pollutant_map::span> module_q, module_dqdt, stage_q;
  bool q_known = false, dqdt_known = false;
  std::vector<unsigned char> module_q_frame_zero, stage_q_frame_zero;
  std::vector<pollutant_map::span> input_q, cells;
  // Of each row of the stage's plan for this species, the work of its
  // cells (in run_stage's units) and whether the species has work there.
  std::vector<long> work;
  std::vector<unsigned char> has_work;
  long last_work = 0;  // the work of its cells in the last stage
  // Per row that the grid's halo rows copy into (boundary::halo_row_index),
  // whether that row of q1 holds +0 only (the whole grid's, as the last
  // second stage's boundary values made it; q1 starts as zeros).
  std::vector<unsigned char> stage_halo_clean;
  // The rows whose records of this species may differ from those of a row
  // that holds none of its pollutant (busy, when the step's busy rows are
  // known), and the rows a stage looks at for it (plan, within the step's).
  row_runs busy, plan;
  // The rows of a stage whose column rules write this species' columns of
  // q (its marks in step_workspace::pollutant_rules).
  row_runs columns;
};

class step_workspace {
 public:
  // Obtains the storage for the whole grid with bounds b (a halo of at least
  // two points on every side, at least four interior points each way) and
  // `species` pollutants, its sweeps shared by `team`. Throws run_failure if
  // memory cannot be had.
  step_workspace(const grid_bounds& b, step_team& team, int species = 1);

  // The same for the block of a grid that owns `patch`, with the exchange
  // that gives it its boundary and halo values (which must outlive it).
  step_workspace(const grid_bounds& b, const patch_bounds& patch, step_team& team, halo_exchange& exchange,
                 int species = 1);

  const grid_bounds& bounds() const noexcept { return bounds_; }
  const patch_bounds& patch() const noexcept { return patch_; }
  step_team& team() const noexcept { return *team_; }
  halo_exchange& exchange() const noexcept { return *exchange_; }
  int species_count() const noexcept { return static_cast<int>(species.size()); }

  // Writes out every row of u, v and h that the step left unwritten because
  // it repeats the row below, and puts back their rows outside the grid's
  // interior rows that still hold the boundary values of the step's first
  // stage; what the step knows stays valid.
  void materialize(float* u, float* v, float* h);
  // Forgets what the step knows of the module's arrays; with
  // forget_pollutant, only of species k's q (an emission into it).
  void forget() noexcept {
    flow_known = busy_known = flow_frames_out = false;
    for (species_knowledge& k : species) k.q_known = k.dqdt_known = false;
    std::fill(frames_held.begin(), frames_held.end(), 0);
  }
  void forget_pollutant(int k) noexcept {
    species[static_cast<std::size_t>(k)].q_known = false;
    busy_known = false;
    frames_held[static_cast<std::size_t>(flow_fields + k)] = 0;
  }
  // Where species k's q in the module holds +0 as far as the step knows it:
  // the spans of its own cells, nothing when that q is not known.
  pollutant_map::known_clean module_q_clean(int k) const noexcept {
    const species_knowledge& s = species[static_cast<std::size_t>(k)];
    if (!s.q_known) return {};
    return {s.module_q.data(),
            bounds_.jms,
            std::max(bounds_.ids, patch_.ips),
            std::min(bounds_.ide - 1, patch_.ipe),
            std::max(bounds_.jds, patch_.jps),
            std::min(bounds_.jde - 1, patch_.jpe)};
  }

  // The stage state (set 1) of u, v, h; each species' q1 is its own.
  float* u1() const noexcept { return arrays_[u1_place]; }
  float* v1() const noexcept { return arrays_[v1_place]; }
  float* h1() const noexcept { return arrays_[h1_place]; }
  // Room for the boundary frames of the boundary fields (u, v, h and each
  // q), boundary_frame_points each.
  float* frames() const noexcept { return arrays_[frames_place]; }
  std::size_t frame_points() const noexcept { return frame_points_; }
  // Per boundary field, whether frames() holds what the module's field
  // holds in the rows outside the grid's interior rows (kept by rk2).
  std::vector<unsigned char> frames_held;
  // Per pollutant held, whether what frames() keeps of its rows outside the
  // grid's interior rows holds +0 only.
  std::vector<unsigned char> frames_clean;
  // The halo row copies that a stage's boundary values may leave out
  // (boundary::row_rules::halo_held), rewritten by each.
  std::vector<unsigned char> halo_held;
  // Whether the module's rows of u, v and h outside the grid's interior rows
  // (but the v faces north of the block's cells) still hold the last first
  // stage's boundary values, their own values held in frames() for
  // materialize to put back.
  bool flow_frames_out = false;
  // The rows of face fluxes of each thread of the team: one row of x-face
  // fluxes, then a south and a north row for each species; then its rows of
  // the correction weights of the x, north and south faces.
  float* flux_rows(int thread) const noexcept;

  // What the step knows, kept by rk2 (indices j - jms): of the module's u,
  // v and h and of the stage's u1, v1 and h1, which rows repeat the row
  // below over their computed columns.
  flow_rows module_flow, stage_flow;
  bool flow_known = false;
  // Of the pollutant, per species.
  std::vector<species_knowledge> species;
  // The rows whose records above and below may differ from those of a quiet
  // row (one whose flow repeats the row below and that holds no pollutant;
  // see rk2.cpp), when busy_known: every other row is quiet, and a stage
  // visits only the rows within a few of these (`plan`).
  row_runs busy;
  bool busy_known = false;
  row_runs plan;
  // Whether the plan leaves quiet rows out, the flow of each of its stored
  // rows having been found moderate (see plan_stage in rk2.cpp).
  bool plan_leaves_quiet_out = false;
  // The own cell rows between the first and the last whose records other
  // than the species' may differ from a quiet row's (of those that no
  // species keeps busy, where the species' are learnt first), and the rows
  // that some species keeps busy, as the last stage learnt them.
  row_runs flow_busy, polluted_rows;

  // The records of one stage, rewritten by each (indices j - jms): whether
  // the whole input row repeats the row below, which output rows repeat,
  // the rows the sweep has work in and the cost of each.
  std::vector<unsigned char> input_same, entry_same, uv_repeat, row_repeat;
  std::vector<unsigned char> rules;   // the boundary column rules each row takes
  // Of a row whose rules name the pollutant columns, the species whose
  // columns they write: a mark per row and species, [k * rows + j - jms],
  // each species' a run of its own (boundary::row_rules::pollutants).
  std::vector<unsigned char> pollutant_rules;
  std::vector<unsigned char> active;  // the rows the sweep has work in
  std::vector<unsigned char> moderate_u, moderate_v;  // per source row: unknown, yes or no
  std::vector<long> cost;
  long last_flow_work = 0;  // the work of the last stage's flow
  // The ranges of rows of species' sweeps that a thread with no part left
  // took over from another, over every stage so far.
  long ranges_taken_over = 0;

 private:
  step_workspace(const grid_bounds& b, const patch_bounds& patch, step_team& team, std::unique_ptr<halo_exchange> own,
                 halo_exchange* given, int species);
  grid_bounds bounds_;
  patch_bounds patch_;
  step_team* team_;
  std::unique_ptr<halo_exchange> own_exchange_;  // for the whole grid
  halo_exchange* exchange_;
  std::size_t row_length_;
  std::size_t frame_points_;  // boundary_frame_points of the bounds and patch
  // The working arrays in one allocation, at these places: the stage arrays
  // u1, v1 and h1, the boundary frames, the flux rows, then each species' q1.
  enum place : std::size_t { u1_place, v1_place, h1_place, frames_place, flux_rows_place, first_q1_place };
  float_blocks arrays_;
};

// The bytes a workspace for an nx x ny interior with a halo of two and
// `species` pollutants takes.
std::size_t step_workspace_bytes(long long nx, long long ny, int threads, int species = 1) noexcept;
