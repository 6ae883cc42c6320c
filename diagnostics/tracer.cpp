#include <algorithm>
#include <cmath>

#include "diagnostics/diagnostics.hpp"
#include "grid/domain.hpp"

void tracer(float* src, const float& x0, const float& y0, const float& radius, const float& peak, const float* x,
            const float* y, const int& ids, const int& ide, const int& jds, const int& jde, const int& ims,
            const int& ime, const int& jms, const int& jme) {
  const float cx = x0;
  const float cy = y0;
  const float rc = radius;
  const float top = peak;
  // The cells of the interior that the stored extent holds with their
  // north-east grid lines (all of them unless it is a block of the grid).
  for (int j = std::max(jds, jms); j <= std::min(jde - 1, jme - 1); ++j) {
    const float dy = 0.5f * (y[j - jms] + y[j + 1 - jms]) - cy;
    const float dy2 = dy * dy;
    for (int i = std::max(ids, ims); i <= std::min(ide - 1, ime - 1); ++i) {
      const float dx = 0.5f * (x[i - ims] + x[i + 1 - ims]) - cx;
      const float dx2 = dx * dx;
      const float r = std::sqrt(dx2 + dy2);
      // The negated test also sends a distance that is not a number to 0.
      src[at(i, j, ims, ime, jms)] = !(r <= rc) ? 0.0f : top * (1.0f - std::fabs(r / rc));
    }
  }
}
