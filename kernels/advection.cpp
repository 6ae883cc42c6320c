#include <algorithm>
#include <memory>

#include "grid/domain.hpp"
#include "kernels/kernels.hpp"
#include "kernels/point_terms.hpp"

void flux_limiterx(float& jump, float& ratio, const float* q, const float* u, const int& i, const int& j,
                   const int& ims, const int& ime, const int& jms, const int& /*jme*/) {
  const terms::idx k = at(i, j, ims, ime, jms);
  const terms::jumps r = terms::face_jumps(u[k], q[k - 2], q[k - 1], q[k], q[k + 1]);
  jump = r.jump;
  ratio = r.ratio;
}

void flux_limitery(float& jump, float& ratio, const float* q, const float* v, const int& i, const int& j,
                   const int& ims, const int& ime, const int& jms, const int& /*jme*/) {
  const terms::idx k = at(i, j, ims, ime, jms);
  const terms::idx nx = ime - ims + 1;
  const terms::jumps r = terms::face_jumps(v[k], q[k - 2 * nx], q[k - nx], q[k], q[k + nx]);
  jump = r.jump;
  ratio = r.ratio;
}

void flux(float* flux_x, float* flux_y, const float* q, const float* u, const float* v, const float& dt,
          const grid_spacing& s, const int& ids, const int& ide, const int& jds, const int& jde, const int& ims,
          const int& ime, const int& jms, const int& jme) {
  const float step = dt;
  const terms::idx nx = ime - ims + 1;
  for (int j = jds; j <= jde - 1; ++j) {
    for (int i = ids; i <= ide; ++i) {
      terms::jumps r;
      flux_limiterx(r.jump, r.ratio, q, u, i, j, ims, ime, jms, jme);
      const terms::idx k = at(i, j, ims, ime, jms);
      flux_x[k] = terms::face_flux(u[k], q[k - 1], q[k], r, step, s.dx, s.dy);
    }
  }
  for (int j = jds; j <= jde; ++j) {
    for (int i = ids; i <= ide - 1; ++i) {
      terms::jumps r;
      flux_limitery(r.jump, r.ratio, q, v, i, j, ims, ime, jms, jme);
      const terms::idx k = at(i, j, ims, ime, jms);
      flux_y[k] = terms::face_flux(v[k], q[k - nx], q[k], r, step, s.dy, s.dx);
    }
  }
}

namespace {

// The cell balance shared by adv_air and force_air: copy q, compute every
// face flux from the copy, then hand each interior cell its entry value and
// its change to `apply`. All fluxes exist before any cell is touched. The
// three working arrays live for the call.
template <class Apply>
void balance_cells(const float* q, const float* u, const float* v, float dt, const grid_spacing& s, const int& ids,
                   const int& ide, const int& jds, const int& jde, const int& ims, const int& ime, const int& jms,
                   const int& jme, Apply apply) {
  const std::size_t n = field_size(ims, ime, jms, jme);
  const auto q_old_block = std::make_unique_for_overwrite<float[]>(n);
  const auto flux_x_block = std::make_unique_for_overwrite<float[]>(n);
  const auto flux_y_block = std::make_unique_for_overwrite<float[]>(n);
  float* q_old = q_old_block.get();
  float* flux_x = flux_x_block.get();
  float* flux_y = flux_y_block.get();
  std::copy_n(q, n, q_old);
  flux(flux_x, flux_y, q_old, u, v, dt, s, ids, ide, jds, jde, ims, ime, jms, jme);
  const terms::idx nx = ime - ims + 1;
  for (int j = jds; j <= jde - 1; ++j) {
    const terms::idx row = at(0, j, ims, ime, jms);
    for (int i = ids; i <= ide - 1; ++i) {
      const terms::idx k = row + i;
      apply(k, q_old[k], terms::cell_change(flux_x[k], flux_x[k + 1], flux_y[k], flux_y[k + nx], s));
    }
  }
}

}  // namespace

void adv_air(float* q, float* dqdt, const float* u, const float* v, const float& dt, const grid_spacing& s,
             const int& ids, const int& ide, const int& jds, const int& jde, const int& ims, const int& ime,
             const int& jms, const int& jme) {
  const float step = dt;
  balance_cells(q, u, v, step, s, ids, ide, jds, jde, ims, ime, jms, jme, [&](terms::idx k, float q_old, float change) {
                  q[k] = q_old + change;
                  dqdt[k] = change / step;
                });
}

void force_air(float* dq, const float* q, float* dqdt, const float* u, const float* v, const float& dt,
               const grid_spacing& s, const int& ids, const int& ide, const int& jds, const int& jde, const int& ims,
               const int& ime, const int& jms, const int& jme) {
  balance_cells(q, u, v, dt, s, ids, ide, jds, jde, ims, ime, jms, jme, [&](terms::idx k, float, float change) {
                  dq[k] = change;
                  dqdt[k] = change * 2.0f;
                });
}
