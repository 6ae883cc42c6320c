// The production time step: the same arithmetic as the plain composition of
// the procedures, evaluated by the same per-point functions, but swept over
// the grid row by row so that each stage is one pass over memory.
//
// Stage 1 reads the entry state with its boundary values set (set 0). Rather
// than copying the four fields for that, set_bdy is applied to the module
// arrays themselves, after the points it writes (the frame around the
// core of the interior) have been saved; they are put back before stage 2,
// so the module arrays hold the exact entry state again. Stage 1 writes the
// stage state (set 1) on the points the forward step advances; every other
// point of set 1 is then filled by set_bdy, exactly as the corrector stage
// expects. Stage 2 reads set 1 and updates the module arrays in place: each
// new value needs the entry value of its own point only.
#include <algorithm>
#include <utility>

#include "diagnostics/derived_terms.hpp"
#include "grid/constant.hpp"
#include "grid/domain.hpp"
#include "grid/work_arrays.hpp"
#include "kernels/kernels.hpp"
#include "kernels/point_terms.hpp"
#include "timestep/row_team.hpp"
#include "timestep/timestep.hpp"

namespace {

using terms::idx;

struct extent {
  int ids, ide, jds, jde, ims, ime, jms, jme;
  idx nx;
  idx row(int j) const noexcept { return at(0, j, ims, ime, jms); }
};

// Fluxes through the x faces i = ids..ide of the row starting at `row`,
// into f[i - ims].
void x_fluxes(float* __restrict f, const float* __restrict q, const float* __restrict u, idx row, const extent& e,
              float dt) noexcept {
  for (int i = e.ids; i <= e.ide; ++i) {
    const idx k = row + i;
    const terms::jumps r = terms::face_jumps(u[k], q[k - 2], q[k - 1], q[k], q[k + 1]);
    f[i - e.ims] = terms::face_flux(u[k], q[k - 1], q[k], r, dt);
  }
}

// Fluxes through the y faces i = ids..ide-1 of the row starting at `row`.
void y_fluxes(float* __restrict f, const float* __restrict q, const float* __restrict v, idx row, const extent& e,
              float dt) noexcept {
  const idx nx = e.nx;
  for (int i = e.ids; i <= e.ide - 1; ++i) {
    const idx k = row + i;
    const terms::jumps r = terms::face_jumps(v[k], q[k - 2 * nx], q[k - nx], q[k], q[k + nx]);
    f[i - e.ims] = terms::face_flux(v[k], q[k - nx], q[k], r, dt);
  }
}

// The frame of a field: every point set_bdy may write. It is all of the
// rows outside jds..jde-1, and in those rows the columns up to ids and from
// ide on. Points are visited in a fixed order, so that a save and a restore
// with the same extent match up.
template <class Move>
void for_frame(const extent& e, Move move) {
  for (int j = e.jms; j <= e.jme; ++j) {
    const idx r = e.row(j);
    if (j < e.jds || j > e.jde - 1) {
      move(r + e.ims, e.nx);
    } else {
      move(r + e.ims, e.ids - e.ims + 1);
      move(r + e.ide, e.ime - e.ide + 1);
    }
  }
}

std::size_t frame_size(const extent& e) {
  std::size_t n = 0;
  for_frame(e, [&](idx, idx count) { n += static_cast<std::size_t>(count); });
  return n;
}

void save_frame(const float* f, float* kept, const extent& e) {
  for_frame(e, [&](idx from, idx count) { kept = std::copy_n(f + from, count, kept); });
}

void restore_frame(float* f, const float* kept, const extent& e) {
  for_frame(e, [&](idx to, idx count) {
    std::copy_n(kept, count, f + to);
    kept += count;
  });
}

// Height of the cells of one row, diagnosed from u and v.
void height_row(float* __restrict h, const float* __restrict u, const float* __restrict v, idx row,
                const extent& e) noexcept {
  for (int i = e.ids; i <= e.ide - 1; ++i) h[row + i] = terms::diagnosed_height(u, v, row + i, e.nx);
}

// One stage's sweep over the cell rows [first, last) of jds..jde-1. Each row
// gets its fluxes (the y faces on its south side come from the row before,
// or are computed afresh at the start of the sweep) and is handed to
// `update`; the height of a row follows one row later, as it needs v on the
// row's north side. The sweep that ends at jde also updates v on row jde.
// The height of the last row, whose north neighbour may belong to another
// sweep, is left to the caller.
template <class Update, class NorthV, class Height>
void sweep(const extent& e, int first, int last, const float* q, const float* u, const float* v, float dt,
           float* rows, Update update, NorthV north_v, Height height) {
  float* fx = rows;
  float* fy_south = rows + e.nx;
  float* fy_north = rows + 2 * e.nx;
  if (first < last) y_fluxes(fy_south, q, v, e.row(first), e, dt);
  for (int j = first; j < last; ++j) {
    y_fluxes(fy_north, q, v, e.row(j + 1), e, dt);
    x_fluxes(fx, q, u, e.row(j), e, dt);
    update(e.row(j), fx, fy_south, fy_north);
    if (j > first) height(e.row(j - 1));
    std::swap(fy_south, fy_north);
  }
  if (last == e.jde) north_v(e.row(e.jde));
}

// Stage 1, the forward step of set 0 into set 1: the pollutant advected over
// one step, the velocities advanced by their tendencies, the height
// diagnosed from the advanced velocities.
void predictor(float* __restrict u1, float* __restrict v1, float* __restrict h1, float* __restrict q1,
               const float* __restrict u0, const float* __restrict v0, const float* __restrict h0,
               const float* __restrict q0, float* rows, const extent& e, int first, int last) noexcept {
  const idx nx = e.nx;
  const auto advance_v = [&](idx r) {
    for (int i = e.ids; i <= e.ide - 1; ++i) v1[r + i] = v0[r + i] + terms::v_tendency(u0, v0, h0, r + i, nx);
  };
  sweep(
      e, first, last, q0, u0, v0, constant::step_length, rows,
      [&](idx r, const float* fx, const float* fy_south, const float* fy_north) {
        for (int i = e.ids; i <= e.ide - 1; ++i) {
          const idx c = i - e.ims;
          q1[r + i] = q0[r + i] + terms::cell_change(fx[c], fx[c + 1], fy_south[c], fy_north[c]);
        }
        for (int i = e.ids; i <= e.ide; ++i) u1[r + i] = u0[r + i] + terms::u_tendency(u0, v0, h0, r + i, nx);
        advance_v(r);
      },
      advance_v, [&](idx r) { height_row(h1, u1, v1, r, e); });
}

// Stage 2, the corrector: tendencies and the half-step pollutant increment
// on the boundary-completed set 1, averaged with the entry state held in
// u, v, q, which are overwritten point by point; then the final height.
void corrector(float* __restrict u, float* __restrict v, float* __restrict h, float* __restrict q,
               float* __restrict dqdt, const float* __restrict u1, const float* __restrict v1,
               const float* __restrict h1, const float* __restrict q1, float* rows, const extent& e, int first,
               int last) noexcept {
  const idx nx = e.nx;
  const auto combine_v = [&](idx r) {
    for (int i = e.ids; i <= e.ide - 1; ++i) {
      v[r + i] = terms::heun(v[r + i], v1[r + i], terms::v_tendency(u1, v1, h1, r + i, nx));
    }
  };
  sweep(
      e, first, last, q1, u1, v1, constant::stage2_length, rows,
      [&](idx r, const float* fx, const float* fy_south, const float* fy_north) {
        for (int i = e.ids; i <= e.ide; ++i) {
          u[r + i] = terms::heun(u[r + i], u1[r + i], terms::u_tendency(u1, v1, h1, r + i, nx));
        }
        combine_v(r);
        for (int i = e.ids; i <= e.ide - 1; ++i) {
          const idx c = i - e.ims;
          const float dq = terms::cell_change(fx[c], fx[c + 1], fy_south[c], fy_north[c]);
          dqdt[r + i] = dq * 2.0f;
          q[r + i] = terms::heun(q[r + i], q1[r + i], dq);
        }
      },
      combine_v, [&](idx r) { height_row(h, u, v, r, e); });
}

// Runs a stage over all cell rows in chunks, then the height of each
// chunk's last row, once every chunk's v is in place.
template <class Stage>
void in_chunks(const extent& e, float* rows, float* h, const float* u, const float* v, Stage stage) {
  for_each_chunk(e.jds, e.jde, [&](int k, int first, int last) {
    stage(rows + static_cast<std::size_t>(k) * 3 * static_cast<std::size_t>(e.nx), first, last);
  });
  for (int k = 0; k < step_threads; ++k) {
    const auto [first, last] = row_chunk(e.jds, e.jde, k);
    if (first < last) height_row(h, u, v, e.row(last - 1), e);
  }
}

}  // namespace

void rk2(float* u, float* v, float* h, float* q, float* dqdt, const float* /*gpx*/, const float* /*gpy*/,
         const float* /*fx*/, const float* /*fy*/, const int& ids, const int& ide, const int& jds, const int& jde,
         const int& ims, const int& ime, const int& jms, const int& jme) {
  const extent e{ids, ide, jds, jde, ims, ime, jms, jme, static_cast<idx>(ime - ims + 1)};
  const std::size_t n = field_size(ims, ime, jms, jme);
  const std::size_t nf = frame_size(e);
  float* kept = work::array(work::fused_frame, 4 * nf);
  float* u1 = work::array(work::fused_u1, n);
  float* v1 = work::array(work::fused_v1, n);
  float* h1 = work::array(work::fused_h1, n);
  float* q1 = work::array(work::fused_q1, n);
  float* rows = work::array(work::fused_rows, 3 * static_cast<std::size_t>(e.nx) * step_threads);

  float* const fields[4] = {u, v, h, q};
  for (std::size_t f = 0; f < 4; ++f) save_frame(fields[f], kept + f * nf, e);
  set_bdy(u, v, h, q, ids, ide, jds, jde, ims, ime, jms, jme);
  in_chunks(e, rows, h1, u1, v1,
            [&](float* r, int first, int last) { predictor(u1, v1, h1, q1, u, v, h, q, r, e, first, last); });
  for (std::size_t f = 0; f < 4; ++f) restore_frame(fields[f], kept + f * nf, e);

  set_bdy(u1, v1, h1, q1, ids, ide, jds, jde, ims, ime, jms, jme);
  in_chunks(e, rows, h, u, v,
            [&](float* r, int first, int last) { corrector(u, v, h, q, dqdt, u1, v1, h1, q1, r, e, first, last); });
}
