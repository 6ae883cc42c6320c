#pragma once
// What the production step works with besides the fields it is given: its
// stage arrays, its scratch rows, its records of the rows of a stage, and
// the team of threads that shares its sweeps.
//
// The caller owns the workspace (the run, a test, a benchmark) and passes it
// to every step of one grid; it is sized for that grid's bounds and refuses
// any other. Nothing in it carries from one step to the next: every record
// that feeds a decision of a step is written by that step before it is read,
// and the storage is written before it is read. So a workspace may serve any
// sequence of states of its grid, in any order.
#include <cstddef>
#include <vector>

#include "grid/bounds.hpp"
#include "grid/storage.hpp"
#include "timestep/pollutant_map.hpp"
#include "timestep/row_team.hpp"

// The points of one field that set_bdy may write: every stored row outside
// jds..jde-1, and in those rows the columns up to ids and from ide on.
inline std::size_t boundary_frame_points(const grid_bounds& b) noexcept {
  const auto nx = static_cast<std::size_t>(b.ime - b.ims + 1);
  const auto ny = static_cast<std::size_t>(b.jme - b.jms + 1);
  const auto cell_rows = static_cast<std::size_t>(b.jde - b.jds);
  const auto sides = static_cast<std::size_t>((b.ids - b.ims + 1) + (b.ime - b.ide + 1));
  return (ny - cell_rows) * nx + cell_rows * sides;
}

class step_workspace {
 public:
  // Obtains the storage for a grid with bounds b (a halo of at least two
  // points on every side, at least four interior points each way), its
  // sweeps shared by `team`. Throws run_failure if memory cannot be had.
  step_workspace(const grid_bounds& b, step_team& team);

  const grid_bounds& bounds() const noexcept { return bounds_; }
  step_team& team() const noexcept { return *team_; }

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
  grid_bounds bounds_;
  step_team* team_;
  std::size_t row_length_;
  float_block u1_, v1_, h1_, q1_, frames_, flux_rows_;
};

// The bytes a workspace for an nx x ny interior with a halo of two takes.
std::size_t step_workspace_bytes(long long nx, long long ny, int threads) noexcept;
