#include <algorithm>

#include "grid/domain.hpp"
#include "kernels/kernels.hpp"
#include "kernels/point_terms.hpp"

void force(float* forceu, float* forcev, const float* u, const float* v, const float* h, const float* /*gpx*/,
           const float* /*gpy*/, const float* /*fx*/, const float* /*fy*/, const grid_spacing& s, const int& ids,
           const int& ide, const int& jds, const int& jde, const int& ims, const int& ime, const int& jms,
           const int& jme) {
  const std::size_t n = field_size(ims, ime, jms, jme);
  std::fill_n(forceu, n, 0.0f);
  std::fill_n(forcev, n, 0.0f);
  const terms::idx nx = ime - ims + 1;
  for (int j = jds; j <= jde - 1; ++j) {
    const terms::idx row = at(0, j, ims, ime, jms);
    for (int i = ids; i <= ide; ++i) {
      const terms::idx k = row + i;
      forceu[k] = terms::u_tendency(u + k - nx, u + k, u + k + nx, v + k, v + k + nx, h + k, s);
    }
  }
  for (int j = jds; j <= jde; ++j) {
    const terms::idx row = at(0, j, ims, ime, jms);
    for (int i = ids; i <= ide - 1; ++i) {
      const terms::idx k = row + i;
      forcev[k] = terms::v_tendency(u + k - nx, u + k, v + k - nx, v + k, v + k + nx, h + k - nx, h + k, s);
    }
  }
}
