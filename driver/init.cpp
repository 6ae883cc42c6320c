#include "driver/init.hpp"

#include <cmath>
#include <initializer_list>

#include "grid/constant.hpp"
#include "grid/domain.hpp"

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

  for (float* f : {u, v, h}) {
    for (int j = jms; j <= jme; ++j) {
      for (int i = ims; i <= ime; ++i) f[p(i, j)] = 0.0f;
    }
  }
  for (int j = jds; j <= jde; ++j) {
    for (int i = ids; i <= ide; ++i) {
      u[p(i, j)] = u_in;
      v[p(i, j)] = v_in;
    }
  }
  // Background terms that go with the uniform flow; the last stored row of
  // gpx and the last stored column of gpy stay zero. The y term takes the
  // negated inflow u.
  for (int j = jms; j <= jme - 1; ++j) {
    for (int i = ims; i <= ime; ++i) gpx[p(i, j)] = fx[j - jms] * v_in;
  }
  const float minus_u_in = -u_in;
  for (int j = jms; j <= jme; ++j) {
    for (int i = ims; i <= ime - 1; ++i) gpy[p(i, j)] = fy[j - jms] * minus_u_in;
  }
  for (int j = jms; j <= jme; ++j) {
    for (int i = ims; i <= ime; ++i) q[p(i, j)] = 0.0f;
  }
}
