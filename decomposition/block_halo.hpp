#pragma once
// What one block of a split grid sends to its neighbours and takes from
// them so that its stored points hold what set_bdy gives the whole grid
// (boundary values), or what the grid's interior holds (shared halo).
//
// Both go in two phases, as set_bdy itself: first the columns of the
// block's own rows (the boundary columns at the grid's west and east edges,
// from the row itself; two columns from each neighbour to the west and
// east), then whole stored rows, halo columns included, so that the corners
// come from the diagonal neighbours by way of the rows. In the second phase
// a block at the grid's south edge takes the three rows at the top of the
// grid (jde - 2 .. jde) from the block across the periodic edge and makes
// its halo rows from them by the south rules; a block at the north edge
// takes the three rows jds .. jds + 2 and makes rows jde .. jme by the north
// rules. Between other blocks the two rows next to the shared edge travel
// unchanged. The sender packs first and the receiver unpacks after, so a
// row is sent as it stood before the phase (row jde of v, in particular,
// before the north rules replace it).
//
// A message holds, field after field, the rows or columns it carries in
// increasing order. This class only describes and packs them; how they
// travel is the exchange's business (mpi_exchange.cpp, or a test).
#include <cstddef>

#include "decomposition/layout.hpp"
#include "grid/bounds.hpp"
#include "kernels/boundary_rules.hpp"

class block_halo {
 public:
  // The block of process `rank` in layout l, with the bounds its arrays use.
  block_halo(const grid_bounds& b, const patch_bounds& p, const block_layout& l, int rank) noexcept;

  // The ranks of the neighbours, or -1 where the grid's west or east edge
  // lies. South and north neighbours always exist: the grid is periodic
  // between south and north (the block itself when py = 1).
  int west() const noexcept { return west_; }
  int east() const noexcept { return east_; }
  int south() const noexcept { return south_; }
  int north() const noexcept { return north_; }
  bool at_south_edge() const noexcept { return p_.jps == b_.jds; }
  bool at_north_edge() const noexcept { return p_.jpe == b_.jde; }

  // Floats in a column message (two columns of every own row, per field).
  std::size_t column_floats(int fields) const noexcept;
  // Floats in a row message to the south or north: three rows across the
  // periodic edge, two otherwise (whole stored rows, per field).
  std::size_t south_floats(int fields, bool periodic) const noexcept;
  std::size_t north_floats(int fields, bool periodic) const noexcept;

  // The first phase of boundary(): the fields are u, v, h, then each
  // species' q (count in all, grid/state.hpp), and the boundary columns of
  // a block at the grid's west or east edge are set from its own rows (only
  // the rules that row_rules names for each row, when given: see
  // set_bdy_fields); in any case the columns for the neighbours are packed,
  // and theirs unpacked into the halo columns.
  void edge_columns(float* const* fields, int count, float u_in, float v_in,
                    const boundary::row_rules* row_rules = nullptr) const;
  void pack_west(float* const* fields, int count, float* out) const noexcept;
  void pack_east(float* const* fields, int count, float* out) const noexcept;
  void unpack_west(float* const* fields, int count, const float* in) const noexcept;
  void unpack_east(float* const* fields, int count, const float* in) const noexcept;

  // The second phase. `periodic` says whether the rows cross the grid's
  // south-north edge (where the boundary rules apply, and the fields are u,
  // v, h, then each species' q); without it, rows across that edge are not exchanged at all.
  void pack_south(float* const* fields, int count, bool periodic, float* out) const noexcept;
  void pack_north(float* const* fields, int count, bool periodic, float* out) const noexcept;
  void unpack_south(float* const* fields, int count, bool periodic, const float* in) const noexcept;
  void unpack_north(float* const* fields, int count, bool periodic, const float* in) const noexcept;

 private:
  std::ptrdiff_t row(int j) const noexcept;
  grid_bounds b_;
  patch_bounds p_;
  std::ptrdiff_t nx_;
  int west_, east_, south_, north_;
};
