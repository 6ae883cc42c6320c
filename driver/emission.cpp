#include "driver/emission.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstddef>
#include <vector>

#include "diagnostics/cone.hpp"
#include "grid/domain.hpp"

namespace {

using pollutant_map::span;

// The first and last of the indices first..last that pass `test`, an empty
// span if none does: it holds every one that passes.
template <class Test>
span passing(int first, int last, Test test) {
  int lo = first;
  while (lo <= last && !test(lo)) ++lo;
  int hi = last;
  while (hi >= lo && !test(hi)) --hi;
  return {lo, hi};
}

// The cells that a source's cone may reach: the columns and rows of the
// interior cells the field holds whose offset alone keeps them within the
// radius. Every cell outside the box gets +0 from the cone.
struct reach {
  span columns, rows;
  bool holds_row(int j) const noexcept { return !columns.empty() && j >= rows.lo && j <= rows.hi; }
};

reach reach_of(const point_source& p, const cone_grid& g) {
  const grid_bounds& b = g.b;
  const span columns = passing(std::max(b.ids, b.ims), std::min(b.ide - 1, b.ime - 1), [&](int i) {
    return cone::may_reach(cone::offset_squared(g.x[i - b.ims], g.x[i + 1 - b.ims], p.x_m), p.radius_m);
  });
  const span rows = passing(std::max(b.jds, b.jms), std::min(b.jde - 1, b.jme - 1), [&](int j) {
    return cone::may_reach(cone::offset_squared(g.y[j - b.jms], g.y[j + 1 - b.jms], p.y_m), p.radius_m);
  });
  return {columns, rows};
}

// A source whose box holds a row, the square of the row's offset from it,
// and whether sources whose boxes do not hold the row come between it and
// the row's source before it (or before it, for the first).
struct row_term {
  std::size_t source;
  float dy2;
  bool after_skipped;
};

// q = +0 + q over the columns lo..hi of the row at r (the position of its
// column 0), except those of `skip`. A cell is written only where that
// changes its bits (a -0, a subnormal, a signalling NaN): the rest of a
// field that holds +0 stays unwritten, and its pages, fresh from the
// system, are not cleared and mapped for the run (every row's boundary
// columns lie in a page of their own).
void add_plus_zero(float* q, std::ptrdiff_t r, int lo, int hi, span skip) {
  const auto add = [q, r](int from, int to) {
    for (int i = from; i <= to; ++i) {
      const float sum = 0.0f + q[r + i];
      if (std::bit_cast<std::uint32_t>(sum) != std::bit_cast<std::uint32_t>(q[r + i])) q[r + i] = sum;
    }
  };
  if (skip.empty()) {
    add(lo, hi);
    return;
  }
  add(lo, std::min(hi, skip.lo - 1));
  add(std::max(lo, skip.hi + 1), hi);
}

}  // namespace

void emit(std::span<const point_source> sources, float* q, const cone_grid& g,
          const pollutant_map::known_clean& clean) {
  if (sources.empty()) return;
  const grid_bounds& b = g.b;
  const std::size_t count = sources.size();
  std::vector<reach> reaches(count);
  for (std::size_t m = 0; m < count; ++m) reaches[m] = reach_of(sources[m], g);
  // The sources whose boxes hold the row, in order. Every other source
  // adds +0 at every cell of the row. Adding +0 to a sum leaves it as it is
  // but for turning -0 into +0, and adding it once more changes nothing, so
  // a run of such sources between two of the row's counts as one +0 added,
  // and before the row's first source their sum is +0 itself.
  std::vector<row_term> terms;
  terms.reserve(count);
  for (int j = b.jms; j <= b.jme; ++j) {
    const std::ptrdiff_t r = at(0, j, b.ims, b.ime, b.jms);
    // The columns where some cone may be other than +0: there the terms
    // are formed and summed in order.
    span cones = pollutant_map::nothing;
    terms.clear();
    std::size_t next = 0;  // the source after the last one taken
    for (std::size_t m = 0; m < count; ++m) {
      if (!reaches[m].holds_row(j)) continue;
      cones = pollutant_map::hull(cones, reaches[m].columns);
      terms.push_back({m, cone::offset_squared(g.y[j - b.jms], g.y[j + 1 - b.jms], sources[m].y_m), m != next});
      next = m + 1;
    }
    const bool skipped_at_end = next != count;
    for (int i = cones.lo; i <= cones.hi; ++i) {
      const auto value = [&](const row_term& t) {
        const span columns = reaches[t.source].columns;
        if (i < columns.lo || i > columns.hi) return 0.0f;
        const point_source& p = sources[t.source];
        const float dx2 = cone::offset_squared(g.x[i - b.ims], g.x[i + 1 - b.ims], p.x_m);
        return cone::value(dx2, t.dy2, p.radius_m, p.peak);
      };
      float sum = terms[0].after_skipped ? 0.0f + value(terms[0]) : value(terms[0]);
      for (std::size_t k = 1; k < terms.size(); ++k) {
        if (terms[k].after_skipped) sum = sum + 0.0f;
        sum = sum + value(terms[k]);
      }
      if (skipped_at_end) sum = sum + 0.0f;
      q[r + i] = sum + q[r + i];
    }
    // Everywhere else the sum is +0.
    if (clean.knows_row(j)) {
      const span may_hold = pollutant_map::clip(clean.spans[j - clean.first_row], {clean.c0, clean.c1});
      add_plus_zero(q, r, b.ims, clean.c0 - 1, cones);
      if (!may_hold.empty()) add_plus_zero(q, r, may_hold.lo, may_hold.hi, cones);
      add_plus_zero(q, r, clean.c1 + 1, b.ime, cones);
    } else {
      add_plus_zero(q, r, b.ims, b.ime, cones);
    }
  }
}
