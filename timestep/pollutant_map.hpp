#pragma once
// Where the pollutant is: what lets the production step leave out the
// advection of cells that are clean and stay clean, and the writing of
// zeros over cells that already hold them.
//
// The flux through a face is a zero whenever the two cells it separates
// hold zeros (+0 or -0) and the arithmetic of the flux stays finite: the
// jump across the face is then a zero, so the limited correction, which is
// the jump times the limiter (between 0 and 2 for every ratio, NaN and
// infinite ones included), is a zero however rough q is further upstream;
// the upwind products are zeros too. That needs the face's velocity w
// finite and the correction's coefficient (0.5 |w|) (1 - |w dt / dx|) from
// overflowing. So where a cell and its four neighbours hold zeros and its
// four face velocities are moderate, every flux through its faces is a
// zero, and its change, 0 - (... zeros ...), is +0 whatever the signs of
// the zeros; the stage value q + (+0) is +0, and so are the second stage's
// increment, its rate and its average 0.5 ((q + q_stage) + dq) once the
// entry q of the cell is a zero too. Such cells get +0 without any flux
// being formed; every other cell is computed in full. A row whose
// velocities are not finite and moderate everywhere is computed in full.
//
// The step keeps, for each row of the module's q and dqdt and of its own
// stage q, the span of the row's cells outside which every cell holds +0
// (the bits of +0: a -0, a NaN or an infinity counts as pollutant). The
// spans are carried from one step to the next and made afresh from the
// fields when they are not known (at the first step, or after the caller
// has written into q, as an emission does). A cell that is to hold +0 is
// written only if its span says that it may hold something else; each span
// is narrowed to the cells the step found other than +0.
#include <algorithm>
#include <bit>
#include <cstdint>

namespace pollutant_map {

// Columns lo..hi of a row; empty when lo > hi.
struct span {
  int lo;
  int hi;
  bool empty() const noexcept { return lo > hi; }
};
inline constexpr span nothing{1, 0};

inline span hull(span a, span b) noexcept {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return {std::min(a.lo, b.lo), std::max(a.hi, b.hi)};
}
inline span widen(span a, int by) noexcept { return a.empty() ? a : span{a.lo - by, a.hi + by}; }
inline span clip(span a, span to) noexcept { return {std::max(a.lo, to.lo), std::min(a.hi, to.hi)}; }

// What is known of where a field of the pollutant holds +0 (its bits): in
// rows r0..r1, every cell of columns c0..c1 outside the row's span
// (spans[j - first_row]). Nothing is known of the other points, nor of any
// when spans is empty.
struct known_clean {
  const span* spans = nullptr;
  int first_row = 0;
  int c0 = 1, c1 = 0, r0 = 1, r1 = 0;
  bool knows_row(int j) const noexcept { return spans != nullptr && j >= r0 && j <= r1; }
};

// The columns of a row of n values, the first at column `first`, that may
// hold something other than a zero, found block by block: the span covers
// every non-zero value and is at most one block too wide at each end.
inline span nonzero_columns(const float* row, int n, int first) noexcept {
  constexpr int block = 16;
  const auto clean = [row, n](int start) {
    const int end = std::min(start + block, n);
    std::uint32_t any = 0;
    for (int k = start; k < end; ++k) any |= std::bit_cast<std::uint32_t>(row[k]) << 1;
    return any == 0;
  };
  int lo = 0;
  while (lo < n && clean(lo)) lo += block;
  if (lo >= n) return nothing;
  int hi = lo + (n - 1 - lo) / block * block;  // start of the last block
  while (clean(hi)) hi -= block;
  return {first + lo, first + std::min(hi + block, n) - 1};
}

// Largest face velocity for which a flux built from zeros is a zero: with
// |w| <= 1e15, dt <= 1 and a spacing of at least 1e-6 m the correction's
// coefficient stays below 1e36.
inline constexpr float moderate_speed = 1e15f;

// True if every one of the n velocities is finite and at most
// moderate_speed in size (NaN is neither).
inline bool moderate(const float* w, int n) noexcept {
  constexpr std::uint32_t limit = std::bit_cast<std::uint32_t>(moderate_speed);
  std::uint32_t largest = 0;
  for (int k = 0; k < n; ++k) largest = std::max(largest, std::bit_cast<std::uint32_t>(w[k]) & 0x7fffffffu);
  return largest <= limit;
}

// True if a spacing lets a flux built from zeros stay a zero: at least
// 1e-6 m (the Courant number stays below 1e21 and the cell area normal)
// and at most 1e15 m (the face length times dt stays finite).
inline bool spacing_allows_skipping(float dx, float dy) noexcept {
  const auto sane = [](float d) { return d >= 1e-6f && d <= 1e15f; };
  return sane(dx) && sane(dy);
}

}  // namespace pollutant_map
