#include <algorithm>
#include <memory>

#include "diagnostics/diagnostics.hpp"
#include "grid/constant.hpp"
#include "grid/domain.hpp"
#include "kernels/kernels.hpp"
#include "timestep/timestep.hpp"

void rk2_reference(float* u, float* v, float* h, float* q, float* dqdt, const float* gpx, const float* gpy,
                   const float* fx, const float* fy, const grid_spacing& s, const float& u_in, const float& v_in,
                   const int& ids, const int& ide, const int& jds, const int& jde, const int& ims, const int& ime,
                   const int& jms, const int& jme) {
  const std::size_t n = field_size(ims, ime, jms, jme);
  const auto u_n_block = std::make_unique_for_overwrite<float[]>(n);
  float* u_n = u_n_block.get();
  const auto v_n_block = std::make_unique_for_overwrite<float[]>(n);
  float* v_n = v_n_block.get();
  const auto q_n_block = std::make_unique_for_overwrite<float[]>(n);
  float* q_n = q_n_block.get();
  const auto u_st_block = std::make_unique_for_overwrite<float[]>(n);
  float* u_st = u_st_block.get();
  const auto v_st_block = std::make_unique_for_overwrite<float[]>(n);
  float* v_st = v_st_block.get();
  const auto h_st_block = std::make_unique_for_overwrite<float[]>(n);
  float* h_st = h_st_block.get();
  const auto q_st_block = std::make_unique_for_overwrite<float[]>(n);
  float* q_st = q_st_block.get();
  const auto dqdt_st_block = std::make_unique_for_overwrite<float[]>(n);
  float* dqdt_st = dqdt_st_block.get();
  const auto du_st_block = std::make_unique_for_overwrite<float[]>(n);
  float* du_st = du_st_block.get();
  const auto dv_st_block = std::make_unique_for_overwrite<float[]>(n);
  float* dv_st = dv_st_block.get();
  const auto dq_st_block = std::make_unique_for_overwrite<float[]>(n);
  float* dq_st = dq_st_block.get();

  std::copy_n(u, n, u_n);
  std::copy_n(v, n, v_n);
  std::copy_n(q, n, q_n);
  std::copy_n(u, n, u_st);
  std::copy_n(v, n, v_st);
  std::copy_n(h, n, h_st);
  std::copy_n(q, n, q_st);

  // Stage 1, the predictor: a forward step of the stage copies.
  stepping(u_st, v_st, h_st, q_st, dqdt_st, gpx, gpy, fx, fy, constant::step_length, s, u_in, v_in, ids, ide, jds, jde,
           ims, ime, jms, jme);

  // Stage 2, the corrector: tendencies on the stage state, then the averages.
  set_bdy(u_st, v_st, h_st, q_st, u_in, v_in, ids, ide, jds, jde, ims, ime, jms, jme);
  force(du_st, dv_st, u_st, v_st, h_st, gpx, gpy, fx, fy, s, ids, ide, jds, jde, ims, ime, jms, jme);
  for (int j = jds; j <= jde - 1; ++j) {
    const std::ptrdiff_t row = at(0, j, ims, ime, jms);
    for (int i = ids; i <= ide; ++i) u[row + i] = terms::heun(u_n[row + i], u_st[row + i], du_st[row + i]);
  }
  for (int j = jds; j <= jde; ++j) {
    const std::ptrdiff_t row = at(0, j, ims, ime, jms);
    for (int i = ids; i <= ide - 1; ++i) v[row + i] = terms::heun(v_n[row + i], v_st[row + i], dv_st[row + i]);
  }
  force_air(dq_st, q_st, dqdt, u_st, v_st, constant::stage2_length, s, ids, ide, jds, jde, ims, ime, jms, jme);
  for (int j = jds; j <= jde - 1; ++j) {
    const std::ptrdiff_t row = at(0, j, ims, ime, jms);
    for (int i = ids; i <= ide - 1; ++i) q[row + i] = terms::heun(q_n[row + i], q_st[row + i], dq_st[row + i]);
  }
  diagh(h, u, v, s, ids, ide, jds, jde, ims, ime, jms, jme);
}
