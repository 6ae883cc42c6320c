// Summary figures of one field, as snapinfo prints them.
#pragma once

#include <cstdint>
#include <span>

namespace plume::snapshot {

struct FieldStats {
  float min = 0.0f;  // over the values that are not NaN; NaN when all are
  float max = 0.0f;
  std::int64_t nan_count = 0;
};

FieldStats field_stats(std::span<const float> values);

// The pollutant as a whole. Sums are taken in double: a float sum over
// 160801 cells would lose the small late emissions against the large total.
struct PollutantStats {
  double total = 0.0;  // sum(q) * cell area, in q·km²
  std::int64_t nonzero_cells = 0;
  bool has_centre = false;  // false when the total is zero
  double centre_x_km = 0.0;  // sum(q * x_centre) / sum(q)
  double centre_y_km = 0.0;
};

// q holds nx * ny values, i fastest; cell (i, j) (from 0) is a square of
// spacing_km with its centre at ((i + 0.5) spacing_km, (j + 0.5) spacing_km).
PollutantStats pollutant_stats(std::span<const float> q, int nx, int ny, double spacing_km);

}  // namespace plume::snapshot
