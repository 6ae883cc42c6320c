#include "decomposition/layout.hpp"

#include <charconv>

namespace {

// The fewest points of a block of n points split into `parts`.
int smallest_block(int n, int parts) noexcept { return n / parts; }

std::optional<int> whole_number(std::string_view text) noexcept {
  int n = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), n);
  if (r.ec != std::errc{} || r.ptr != text.data() + text.size() || n < 1) return std::nullopt;
  return n;
}

}  // namespace

std::optional<block_layout> parse_layout(std::string_view text) noexcept {
  const auto x = text.find('x');
  if (x == std::string_view::npos) return std::nullopt;
  const auto px = whole_number(text.substr(0, x));
  const auto py = whole_number(text.substr(x + 1));
  if (!px || !py) return std::nullopt;
  return block_layout{*px, *py};
}

std::string layout_text(const block_layout& l) { return std::to_string(l.px) + "x" + std::to_string(l.py); }

int block_start(int n, int parts, int k) noexcept {
  return 1 + static_cast<int>(static_cast<long long>(n) * k / parts);
}

patch_bounds block_patch(const block_layout& l, int rank, int nx, int ny) noexcept {
  const int bx = rank % l.px, by = rank / l.px;
  return {block_start(nx, l.px, bx), block_start(nx, l.px, bx + 1) - 1, block_start(ny, l.py, by),
          block_start(ny, l.py, by + 1) - 1};
}

std::string layout_problem(const block_layout& l, int nx, int ny) {
  const int w = smallest_block(nx, l.px), h = smallest_block(ny, l.py);
  if (w >= min_block_points && h >= min_block_points) return "";
  return "a " + std::to_string(nx) + " x " + std::to_string(ny) + " grid split " + layout_text(l) +
         " has blocks of " + std::to_string(w) + " x " + std::to_string(h) + " points; each block needs at least " +
         std::to_string(min_block_points) + " x " + std::to_string(min_block_points);
}

std::optional<block_layout> choose_layout(int ranks, int nx, int ny) noexcept {
  std::optional<block_layout> best;
  long long best_cost = 0;
  for (int px = 1; px <= ranks; ++px) {  // more blocks in y first, to win ties
    if (ranks % px != 0) continue;
    const block_layout l{px, ranks / px};
    if (smallest_block(nx, l.px) < min_block_points || smallest_block(ny, l.py) < min_block_points) continue;
    const long long width = (nx + l.px - 1) / l.px, height = (ny + l.py - 1) / l.py;
    const long long cost = (l.py > 1 ? width : 0) + (l.px > 1 ? height : 0);
    if (!best || cost < best_cost) best = l, best_cost = cost;
  }
  return best;
}
