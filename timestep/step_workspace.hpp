#pragma once
// What the production step works with besides the fields it is given: its
// stage arrays, its scratch rows, its records of the rows of a stage, the
// team of threads that shares its sweeps and the exchange that gives its
// block the boundary and halo values.
//
// The caller owns the workspace (the run, a test, a benchmark) and passes it
// to every step of one grid or block; it is sized for those bounds and
// refuses any other. Nothing in it carries from one step to the next: every
// record that feeds a decision of a step is written by that step before it
// is read, and the storage is written before it is read. So a workspace may
// serve any sequence of states of its grid, in any order.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "decomposition/halo_exchange.hpp"
#include "grid/bounds.hpp"
#include "grid/storage.hpp"
#include "timestep/pollutant_map.hpp"
#include "timestep/row_team.hpp"

// Visits the points of one field that set_bdy writes on the whole grid,
// that the stored extent holds and that the block must keep: every stored
// row outside jds..jde-1, and in the block's own rows between them the
// columns up to ids and from ide on. (A halo row of the block that lies in
// the grid's interior holds another block's points: there the exchange
// gives the block the values that it needs, to be left as they are.) Calls
// move(position, count) for each run of consecutive points, in a fixed
// order, so that a save and a restore with the same bounds match up.
template <class Move>
void for_boundary_frame(const grid_bounds& b, const patch_bounds& p, Move move) {
  const std::ptrdiff_t nx = b.ime - b.ims + 1;
  for (int j = b.jms; j <= b.jme; ++j) {
    const std::ptrdiff_t r = static_cast<std::ptrdiff_t>(j - b.jms) * nx;
    if (j < b.jds || j > b.jde - 1) {
      move(r, nx);
      continue;
    }
    if (j < p.jps || j > p.jpe) continue;
    if (b.ims <= b.ids) move(r, std::min(b.ids, b.ime) - b.ims + 1);
    if (b.ide <= b.ime) {
      const int from = std::max(b.ide, b.ims);
      move(r + (from - b.ims), b.ime - from + 1);
    }
  }
}

inline std::size_t boundary_frame_points(const grid_bounds& b, const patch_bounds& p) {
  std::size_t n = 0;
  for_boundary_frame(b, p, [&](std::ptrdiff_t, std::ptrdiff_t count) { n += static_cast<std::size_t>(count); });
  return n;
}

class step_workspace {
 public:
  // Obtains the storage for the whole grid with bounds b (a halo of at least
  // two points on every side, at least four interior points each way), its
  // sweeps shared by `team`. Throws run_failure if memory cannot be had.
  step_workspace(const grid_bounds& b, step_team& team);

  // The same for the block of a grid that owns `patch`, with the exchange
  // that gives it its boundary and halo values (which must outlive it).
  step_workspace(const grid_bounds& b, const patch_bounds& patch, step_team& team, halo_exchange& exchange);

  const grid_bounds& bounds() const noexcept { return bounds_; }
  const patch_bounds& patch() const noexcept { return patch_; }
  step_team& team() const noexcept { return *team_; }
  halo_exchange& exchange() const noexcept { return *exchange_; }

  // What one stage's sweep knows of its inputs, row by row (index j - jms):
  // where q may be non-zero, and whether the whole stored row j of each of
  // u, v, h and q holds the same bits as row j - 1.
  struct survey {
    std::vector<pollutant_map::span> pollutant;
    std::vector<unsigned char> same_as_below;
  };

  // The stage state (set 1) of u, v, h, q.
  float* u1() const noexcept { return u1_.get(); }
  float* v1() const noexcept { return v1_.get(); }
  float* h1() const noexcept { return h1_.get(); }
  float* q1() const noexcept { return q1_.get(); }
  // Room for the boundary frames of four fields (boundary_frame_points each).
  float* frames() const noexcept { return frames_.get(); }
  // Three rows of face fluxes for each thread of the team.
  float* flux_rows(int thread) const noexcept;

  // The step's records of its rows, rewritten by every step.
  survey entry, stage;
  // Row j of u at the west wall face repeats row j - 1 in the entry state.
  std::vector<unsigned char> wall_same;
  // Rows of each stage whose results are copied from the row below.
  std::vector<unsigned char> first_repeats, second_repeats;

 private:
  step_workspace(const grid_bounds& b, const patch_bounds& patch, step_team& team,
                 std::unique_ptr<halo_exchange> own, halo_exchange* given);
  grid_bounds bounds_;
  patch_bounds patch_;
  step_team* team_;
  std::unique_ptr<halo_exchange> own_exchange_;  // for the whole grid
  halo_exchange* exchange_;
  std::size_t row_length_;
  float_block u1_, v1_, h1_, q1_, frames_, flux_rows_;
};

// The bytes a workspace for an nx x ny interior with a halo of two takes.
std::size_t step_workspace_bytes(long long nx, long long ny, int threads) noexcept;
