#pragma once
// The interior rows of a run's fields in the grid's own order, whatever the
// processes and their blocks: scattered from rank 0 to the processes that
// own them as rank 0 reads them in (a checkpoint of format 1). So a file of
// rows written by a run of one layout can be read by a run of any other.
//
// A collective. Rank 0 runs the producer of the rows; if it fails, every
// process learns of it (processes::together), with no message left
// unmatched.
#include <cstdint>
#include <functional>

#include "decomposition/layout.hpp"
#include "grid/bounds.hpp"

namespace field_rows {

// Takes the nx values of interior row j of field f.
using sink = std::function<void(int f, int j, const float* row)>;

// The fields of this process's block: `count` arrays with its bounds, the
// block owning `patch` of a grid split as `layout`.
struct blocks {
  float* const* fields;
  int count;
  grid_bounds bounds;
  patch_bounds patch;
  block_layout layout;
};

// The memory that scatter takes on process `rank` of a grid of nx x ny
// points split as `layout`, for the memory check.
std::uint64_t buffer_bytes(const block_layout& layout, int rank, int nx, int ny) noexcept;

// On rank 0, calls read(rows) once, which must hand every interior row of
// every field to rows(f, j, row) in the same order; each reaches the
// fields of the processes that own it.
void scatter(const blocks& b, const std::function<void(const sink& rows)>& read);

}  // namespace field_rows
