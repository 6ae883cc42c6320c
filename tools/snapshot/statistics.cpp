#include "snapshot/statistics.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace plume::snapshot {

FieldStats field_stats(std::span<const float> values) {
  FieldStats s;
  s.min = std::numeric_limits<float>::quiet_NaN();
  s.max = s.min;
  bool seen = false;
  for (const float v : values) {
    if (std::isnan(v)) {
      ++s.nan_count;
    } else if (!seen) {
      s.min = v;
      s.max = v;
      seen = true;
    } else {
      if (v < s.min) s.min = v;
      if (v > s.max) s.max = v;
    }
  }
  return s;
}

PollutantStats pollutant_stats(std::span<const float> q, int nx, int ny, double spacing_km) {
  if (nx <= 0 || ny <= 0 || q.size() != static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny)) {
    throw std::invalid_argument("pollutant_stats: q must hold nx * ny values");
  }
  if (!(spacing_km > 0.0)) throw std::invalid_argument("pollutant_stats: the spacing must be positive");
  PollutantStats s;
  double sum = 0.0, sum_x = 0.0, sum_y = 0.0;
  std::size_t k = 0;
  for (int j = 0; j < ny; ++j) {
    const double yc = (j + 0.5) * spacing_km;
    for (int i = 0; i < nx; ++i, ++k) {
      const double v = static_cast<double>(q[k]);
      if (v == 0.0) continue;
      ++s.nonzero_cells;
      sum += v;
      sum_x += v * ((i + 0.5) * spacing_km);
      sum_y += v * yc;
    }
  }
  s.total = sum * (spacing_km * spacing_km);
  if (sum != 0.0) {
    s.has_centre = true;
    s.centre_x_km = sum_x / sum;
    s.centre_y_km = sum_y / sum;
  }
  return s;
}

}  // namespace plume::snapshot
