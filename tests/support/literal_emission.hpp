#pragma once
// The literal emission, the yardstick of the one that forms each cone only
// near its source: every source's pattern over the whole field (zeros, then
// the cone over the interior cells), the patterns summed in the order of
// the sources and the sum added to q at every stored point.
#include <algorithm>
#include <utility>
#include <vector>

#include "diagnostics/diagnostics.hpp"
#include "driver/emission.hpp"
#include "driver/scenario.hpp"
#include "grid/domain.hpp"

// A field's bounds and grid lines.
struct emission_grid {
  grid_bounds b;
  std::vector<float> x, y;
  cone_grid lines() const { return {x.data(), y.data(), b}; }
  std::size_t size() const { return field_size(b.ims, b.ime, b.jms, b.jme); }
};

// The module's grid lines and bounds, copied.
inline emission_grid module_emission_grid() {
  using namespace domain;
  return {bounds(), std::vector<float>(x, x + (ime - ims + 1)), std::vector<float>(y, y + (jme - jms + 1))};
}

// The running sum of the patterns and the pattern being added, each the
// size of the field.
struct literal_scratch {
  std::vector<float> sum, pattern;
};

// Adds the sources' cones to q the literal way; the sum of the patterns is
// left in scratch.sum.
inline void literal_emission(const std::vector<point_source>& sources, float* q, const emission_grid& g,
                             literal_scratch& scratch) {
  const grid_bounds& b = g.b;
  const std::size_t n = g.size();
  scratch.sum.assign(n, 0.0f);
  scratch.pattern.resize(n);
  float* sum = scratch.sum.data();
  float* pattern = scratch.pattern.data();
  for (std::size_t m = 0; m < sources.size(); ++m) {
    const point_source& p = sources[m];
    std::fill_n(pattern, n, 0.0f);
    tracer(pattern, p.x_m, p.y_m, p.radius_m, p.peak, g.x.data(), g.y.data(), b.ids, b.ide, b.jds, b.jde, b.ims, b.ime,
           b.jms, b.jme);
    for (std::size_t k = 0; k < n; ++k) sum[k] = m == 0 ? pattern[k] : sum[k] + pattern[k];
  }
  if (sources.empty()) return;
  for (std::size_t k = 0; k < n; ++k) q[k] = sum[k] + q[k];
}

// The literal emission's q, and the sum of the patterns it added.
struct literal_result {
  std::vector<float> q, sum;
};

inline literal_result literal_emission(const std::vector<point_source>& sources, std::vector<float> q,
                                       const emission_grid& g) {
  literal_scratch scratch;
  literal_emission(sources, q.data(), g, scratch);
  return {std::move(q), std::move(scratch.sum)};
}
