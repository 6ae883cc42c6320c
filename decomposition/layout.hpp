#pragma once
// The split of a grid's interior points into px x py blocks, one per
// process of a run: px blocks from west to east, py from south to north.
// The process of rank r holds block (r mod px, r / px). The points of each
// direction are shared out as evenly as whole points allow: block k of n
// points in `parts` blocks starts at point 1 + n k / parts.
#include <optional>
#include <string>
#include <string_view>

#include "grid/bounds.hpp"

struct block_layout {
  int px = 1;
  int py = 1;
  int blocks() const noexcept { return px * py; }
  bool operator==(const block_layout&) const = default;
};

// The smallest block, in points each way: the boundary rows at the south and
// north edges copy three rows of the block across the periodic edge, and the
// halo of two must not reach past a neighbouring block into the boundary
// columns and rows of the grid's edges.
inline constexpr int min_block_points = 3;

// "PXxPY" with two positive whole numbers, as in "2x3"; nothing otherwise.
std::optional<block_layout> parse_layout(std::string_view text) noexcept;

// "PXxPY".
std::string layout_text(const block_layout& l);

// The first point of block k of n points split into `parts` blocks.
int block_start(int n, int parts, int k) noexcept;

// The interior points of the block that the process of `rank` holds.
patch_bounds block_patch(const block_layout& l, int rank, int nx, int ny) noexcept;

// Why the layout cannot split an nx x ny grid (its blocks would be smaller
// than min_block_points), or "" when it can.
std::string layout_problem(const block_layout& l, int nx, int ny);

// The layout a run over `ranks` processes takes without --layout: of the
// splits px x py = ranks whose blocks are large enough, the one whose blocks
// exchange the fewest halo points (a block's width for a split in y, its
// height for a split in x), the one with more blocks in y on a tie, since
// whole rows are exchanged without gathering. Nothing when no split fits.
std::optional<block_layout> choose_layout(int ranks, int nx, int ny) noexcept;
