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

// Tells the compiler that the points of the loop that follows are
// independent, in the dialect of each compiler the project builds with.
#if defined(__clang__)
#define PLUME_INDEPENDENT_POINTS _Pragma("clang loop vectorize(assume_safety)")
#elif defined(__GNUC__)
#define PLUME_INDEPENDENT_POINTS _Pragma("GCC ivdep")
#else
#define PLUME_INDEPENDENT_POINTS
#endif

namespace {

using terms::idx;

struct extent {
  int ids, ide, jds, jde, ims, ime, jms, jme;
  idx nx;
  grid_spacing s;
  idx row(int j) const noexcept { return at(0, j, ims, ime, jms); }
};

// Fluxes through the y faces i = ids..ide-1 of the row starting at `row`.
void y_fluxes(float* __restrict f, const float* __restrict q, const float* __restrict v, idx row, const extent& e,
              float dt) noexcept {
  for (int i = e.ids; i <= e.ide - 1; ++i) f[i - e.ims] = terms::y_face_flux(q, v, row + i, e.nx, dt, e.s);
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
  for (int i = e.ids; i <= e.ide - 1; ++i) h[row + i] = terms::diagnosed_height(u, v, row + i, e.nx, e.s);
}

// One stage's sweep over the cell rows [first, last) of jds..jde-1.
//
// Each row takes three loops. The first computes the x-face fluxes and
// hands each face to `face_u`, which advances u there; the second the
// fluxes through the cells' north faces, with `face_v` advancing v; the
// third hands each cell its four fluxes (`cell`, which advances q) and,
// from the second row on, diagnoses the height of the cell below, whose
// north v is now in place. Pairing the flux arithmetic with the
// division-heavy momentum terms keeps the divider and the other units busy
// together. The sweep that ends at jde also advances v on row jde; the
// height of the sweep's last row, whose north neighbour may belong to
// another sweep, is left to the caller.
//
// Within a row no point reads what another point of the row writes (the
// stage arrays, the module arrays and the flux rows are distinct), which
// the loops tell the compiler so that it need not check at run time.
template <class FaceU, class FaceV, class Cell, class Height>
void sweep(const extent& e, int first, int last, const float* q, const float* u, const float* v, float dt,
           float* rows, FaceU face_u, FaceV face_v, Cell cell, Height height) {
  const int ids = e.ids, ide = e.ide, ims = e.ims;
  const idx nx = e.nx;
  const grid_spacing s = e.s;
  float* const fx = rows;
  float* fy_south = rows + nx;
  float* fy_north = rows + 2 * nx;
  if (first < last) y_fluxes(fy_south, q, v, e.row(first), e, dt);
  for (int j = first; j < last; ++j) {
    const idx r = e.row(j);
PLUME_INDEPENDENT_POINTS
    for (int i = ids; i <= ide; ++i) {
      fx[i - ims] = terms::x_face_flux(q, u, r + i, dt, s);
      face_u(r + i);
    }
PLUME_INDEPENDENT_POINTS
    for (int i = ids; i <= ide - 1; ++i) {
      fy_north[i - ims] = terms::y_face_flux(q, v, r + nx + i, nx, dt, s);
      face_v(r + i);
    }
    if (j > first) {
PLUME_INDEPENDENT_POINTS
      for (int i = ids; i <= ide - 1; ++i) {
        const idx c = i - ims;
        cell(r + i, fx[c], fx[c + 1], fy_south[c], fy_north[c]);
        height(r - nx + i);
      }
    } else {
PLUME_INDEPENDENT_POINTS
      for (int i = ids; i <= ide - 1; ++i) {
        const idx c = i - ims;
        cell(r + i, fx[c], fx[c + 1], fy_south[c], fy_north[c]);
      }
    }
    std::swap(fy_south, fy_north);
  }
  if (last == e.jde) {
    const idx r = e.row(e.jde);
PLUME_INDEPENDENT_POINTS
    for (int i = ids; i <= ide - 1; ++i) face_v(r + i);
  }
}

// Stage 1, the forward step of set 0 into set 1: the pollutant advected over
// one step, the velocities advanced by their tendencies, the height
// diagnosed from the advanced velocities.
void predictor(float* __restrict u1, float* __restrict v1, float* __restrict h1, float* __restrict q1,
               const float* __restrict u0, const float* __restrict v0, const float* __restrict h0,
               const float* __restrict q0, float* rows, const extent& e, int first, int last) noexcept {
  const idx nx = e.nx;
  const grid_spacing s = e.s;
  sweep(
      e, first, last, q0, u0, v0, constant::step_length, rows,
      [=](idx k) { u1[k] = u0[k] + terms::u_tendency(u0, v0, h0, k, nx, s); },
      [=](idx k) { v1[k] = v0[k] + terms::v_tendency(u0, v0, h0, k, nx, s); },
      [=](idx k, float fx_w, float fx_e, float fy_s, float fy_n) {
        q1[k] = q0[k] + terms::cell_change(fx_w, fx_e, fy_s, fy_n, s);
      },
      [=](idx k) { h1[k] = terms::diagnosed_height(u1, v1, k, nx, s); });
}

// Stage 2, the corrector: tendencies and the half-step pollutant increment
// on the boundary-completed set 1, averaged with the entry state held in
// u, v, q, which are overwritten point by point; then the final height.
void corrector(float* __restrict u, float* __restrict v, float* __restrict h, float* __restrict q,
               float* __restrict dqdt, const float* __restrict u1, const float* __restrict v1,
               const float* __restrict h1, const float* __restrict q1, float* rows, const extent& e, int first,
               int last) noexcept {
  const idx nx = e.nx;
  const grid_spacing s = e.s;
  sweep(
      e, first, last, q1, u1, v1, constant::stage2_length, rows,
      [=](idx k) { u[k] = terms::heun(u[k], u1[k], terms::u_tendency(u1, v1, h1, k, nx, s)); },
      [=](idx k) { v[k] = terms::heun(v[k], v1[k], terms::v_tendency(u1, v1, h1, k, nx, s)); },
      [=](idx k, float fx_w, float fx_e, float fy_s, float fy_n) {
        const float dq = terms::cell_change(fx_w, fx_e, fy_s, fy_n, s);
        dqdt[k] = dq * 2.0f;
        q[k] = terms::heun(q[k], q1[k], dq);
      },
      [=](idx k) { h[k] = terms::diagnosed_height(u, v, k, nx, s); });
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
         const float* /*fx*/, const float* /*fy*/, const grid_spacing& s, const float& u_in, const float& v_in,
         const int& ids, const int& ide, const int& jds, const int& jde, const int& ims, const int& ime, const int& jms,
         const int& jme) {
  const extent e{ids, ide, jds, jde, ims, ime, jms, jme, static_cast<idx>(ime - ims + 1), s};
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
  set_bdy(u, v, h, q, u_in, v_in, ids, ide, jds, jde, ims, ime, jms, jme);
  in_chunks(e, rows, h1, u1, v1,
            [&](float* r, int first, int last) { predictor(u1, v1, h1, q1, u, v, h, q, r, e, first, last); });
  for (std::size_t f = 0; f < 4; ++f) restore_frame(fields[f], kept + f * nf, e);

  set_bdy(u1, v1, h1, q1, u_in, v_in, ids, ide, jds, jde, ims, ime, jms, jme);
  in_chunks(e, rows, h, u, v,
            [&](float* r, int first, int last) { corrector(u, v, h, q, dqdt, u1, v1, h1, q1, r, e, first, last); });
}
