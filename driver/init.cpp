#include "driver/init.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "grid/constant.hpp"
#include "grid/domain.hpp"
#include "grid/storage.hpp"

void init(float* u, float* v, float* h, float* q, float* gpx, float* gpy, float* fx, float* fy, float* x, float* y,
          const grid_spacing& s, const float& u_in, const float& v_in, const int& ids, const int& ide, const int& jds,
          const int& jde, const int& ims, const int& ime, const int& jms, const int& jme) {
  const auto p = [&](int i, int j) { return at(i, j, ims, ime, jms); };

  for (int i = ims; i <= ime; ++i) x[i - ims] = static_cast<float>(i - ids) * s.dx;

  // The sine is taken in single precision, once.
  const float f0 = constant::two_omega * std::sin(constant::latitude);
  for (int j = jms; j <= jme; ++j) {
    fx[j - jms] = f0;
    fy[j - jms] = f0;
    y[j - jms] = static_cast<float>(j - jds) * s.dy;
  }

  // Every point +0, written only where a field holds something else: the
  // fields come zero from the system, and pages left unwritten cost nothing.
  const std::ptrdiff_t points = p(ime, jme) + 1;
  const auto zero = [](std::ptrdiff_t) { return 0.0f; };
  for (float* f : {u, v, h}) store_changed(f, 0, points, zero);
  // The uniform flow over the interior (where a block of the grid holds it).
  for (int j = std::max(jds, jms); j <= std::min(jde, jme); ++j) {
    for (int i = std::max(ids, ims); i <= std::min(ide, ime); ++i) {
      u[p(i, j)] = u_in;
      v[p(i, j)] = v_in;
    }
  }
  // Background terms that go with the uniform flow; the grid's last stored
  // row of gpx (j = jde + halo) and last stored column of gpy stay zero. The
  // y term takes the negated inflow u. Where gpx or gpy is nullptr, that
  // term is left out.
  if (gpx != nullptr) {
    for (int j = jms; j <= std::min(jme, jde + domain::halo - 1); ++j) {
      for (int i = ims; i <= ime; ++i) gpx[p(i, j)] = fx[j - jms] * v_in;
    }
  }
  const float minus_u_in = -u_in;
  if (gpy != nullptr) {
    for (int j = jms; j <= jme; ++j) {
      for (int i = ims; i <= std::min(ime, ide + domain::halo - 1); ++i) gpy[p(i, j)] = fy[j - jms] * minus_u_in;
    }
  }
  store_changed(q, 0, points, zero);
}
