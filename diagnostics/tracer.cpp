#include <algorithm>

#include "diagnostics/cone.hpp"
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
    const float dy2 = cone::offset_squared(y[j - jms], y[j + 1 - jms], cy);
    for (int i = std::max(ids, ims); i <= std::min(ide - 1, ime - 1); ++i) {
      const float dx2 = cone::offset_squared(x[i - ims], x[i + 1 - ims], cx);
      src[at(i, j, ims, ime, jms)] = cone::value(dx2, dy2, rc, top);
    }
  }
}
