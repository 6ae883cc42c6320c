#include <memory>

#include "diagnostics/diagnostics.hpp"
#include "grid/domain.hpp"
#include "kernels/kernels.hpp"
#include "timestep/timestep.hpp"

void stepping(float* u, float* v, float* h, float* q, float* dqdt, const float* gpx, const float* gpy, const float* fx,
              const float* fy, const float& dt, const grid_spacing& s, const float& u_in, const float& v_in,
              const int& ids, const int& ide, const int& jds, const int& jde, const int& ims, const int& ime,
              const int& jms, const int& jme) {
  const std::size_t n = field_size(ims, ime, jms, jme);
  const auto tend_u_block = std::make_unique_for_overwrite<float[]>(n);
  float* tend_u = tend_u_block.get();
  const auto tend_v_block = std::make_unique_for_overwrite<float[]>(n);
  float* tend_v = tend_v_block.get();

  set_bdy(u, v, h, q, u_in, v_in, ids, ide, jds, jde, ims, ime, jms, jme);
  adv_air(q, dqdt, u, v, dt, s, ids, ide, jds, jde, ims, ime, jms, jme);
  force(tend_u, tend_v, u, v, h, gpx, gpy, fx, fy, s, ids, ide, jds, jde, ims, ime, jms, jme);
  for (int j = jds; j <= jde - 1; ++j) {
    const std::ptrdiff_t row = at(0, j, ims, ime, jms);
    for (int i = ids; i <= ide; ++i) u[row + i] = u[row + i] + tend_u[row + i];
  }
  for (int j = jds; j <= jde; ++j) {
    const std::ptrdiff_t row = at(0, j, ims, ime, jms);
    for (int i = ids; i <= ide - 1; ++i) v[row + i] = v[row + i] + tend_v[row + i];
  }
  diagh(h, u, v, s, ids, ide, jds, jde, ims, ime, jms, jme);
}
