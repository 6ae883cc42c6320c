#include "driver/emission.hpp"

#include <algorithm>
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

// q = +0 + q over the columns lo..hi of the row at r (the position of its
// column 0), except those of `skip`.
void add_plus_zero(float* q, std::ptrdiff_t r, int lo, int hi, span skip) {
  const auto add = [q, r](int from, int to) {
    for (int i = from; i <= to; ++i) q[r + i] = 0.0f + q[r + i];
  };
  if (skip.empty()) {
    add(lo, hi);
    return;
  }
  add(lo, std::min(hi, skip.lo - 1));
  add(std::max(lo, skip.hi + 1), hi);
}

}  // namespace

void emit(std::span<const point_source> sources, float* q, const cone_grid& g, const pollutant_map::known_clean& clean) {
  if (sources.empty()) return;
  const grid_bounds& b = g.b;
  const std::size_t count = sources.size();
  std::vector<reach> reaches(count);
  for (std::size_t m = 0; m < count; ++m) reaches[m] = reach_of(sources[m], g);
  // Of the sources whose box holds the row: the square of the row's offset
  // (0 for the others, which are not looked at).
  std::vector<float> dy2(count, 0.0f);
  for (int j = b.jms; j <= b.jme; ++j) {
    const std::ptrdiff_t r = at(0, j, b.ims, b.ime, b.jms);
    // The columns where some cone may be other than +0: there every
    // source's term is formed and summed in order.
    span cones = pollutant_map::nothing;
    for (std::size_t m = 0; m < count; ++m) {
      if (!reaches[m].holds_row(j)) continue;
      cones = pollutant_map::hull(cones, reaches[m].columns);
      dy2[m] = cone::offset_squared(g.y[j - b.jms], g.y[j + 1 - b.jms], sources[m].y_m);
    }
    for (int i = cones.lo; i <= cones.hi; ++i) {
      const auto term = [&](std::size_t m) {
        const reach& r = reaches[m];
        if (!r.holds_row(j) || i < r.columns.lo || i > r.columns.hi) return 0.0f;
        const point_source& p = sources[m];
        const float dx2 = cone::offset_squared(g.x[i - b.ims], g.x[i + 1 - b.ims], p.x_m);
        return cone::value(dx2, dy2[m], p.radius_m, p.peak);
      };
      float sum = term(0);
      for (std::size_t m = 1; m < count; ++m) sum = sum + term(m);
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
