#pragma once
// The interior rows of a run's fields in the grid's own order, whatever the
// processes and their blocks: gathered at rank 0 from the processes that own
// them (to be written out), or scattered from rank 0 to them (as they are
// read in). So a file of rows written by a run of one layout can be read by
// a run of any other.
//
// Both are collectives. Rank 0 runs the consumer or producer of the rows;
// if it fails, every process learns of it (processes::together), with no
// message left unmatched.
#include <cstdint>
#include <functional>

#include "decomposition/layout.hpp"
#include "grid/bounds.hpp"

namespace field_rows {

// Fills row (the nx values i = ids..ide) of interior row j of field f.
using source = std::function<void(int f, int j, float* row)>;
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

// The memory that gather and scatter take on process `rank` of a grid of
// nx x ny points split as `layout`, for the memory check.
std::uint64_t buffer_bytes(const block_layout& layout, int rank, int nx, int ny) noexcept;

// On rank 0, calls write(rows) once, where rows(f, j, row) gives interior
// row j of field f; write must ask for them field by field, each field's
// rows in order j = jds..jde.
void gather(const blocks& b, const std::function<void(const source& rows)>& write);

// On rank 0, calls read(rows) once, which must hand every interior row of
// every field to rows(f, j, row) in the same order; each reaches the
// fields of the processes that own it.
void scatter(const blocks& b, const std::function<void(const sink& rows)>& read);

}  // namespace field_rows
