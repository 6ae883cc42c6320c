#pragma once
// The arithmetic of the dynamics at one grid point, written once.
//
// Every kernel procedure and the fused production step evaluate the model
// through these functions, so both give the same bits by construction. Each
// expression is single precision and keeps the order of operations of the
// model's formulas: a sum or product is formed left to right as written, a
// division by the grid spacing stays a division (never a multiplication by
// its reciprocal), and the build forbids contraction into fused
// multiply-adds. The spacing is the run's (grid_spacing); a division by it
// gives the same bits as a division by the same value as a constant.
//
// Each function takes the rows around its point as pointers at the point's
// column in each row: u (for u(i, j)) with u[-1], u[1] its neighbours along
// the row, u_s and u_n the rows below and above at the same column. So a
// caller may keep the rows of a field anywhere, not only one after another
// (the production step reads a row that repeats the row below from where
// that row is stored).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "grid/constant.hpp"
#include "grid/spacing.hpp"

namespace terms {

using idx = std::ptrdiff_t;

// Tendency of u on an x face (between cells i-1 and i of row j): pressure
// gradient, self- and cross-advection, and diffusion, as ((P - A) - X) + D.
// u_s, u, u_n: rows j-1, j, j+1 of u; v, v_n: rows j, j+1 of v; h: row j.
inline float u_tendency(const float* u_s, const float* u, const float* u_n, const float* v, const float* v_n,
                        const float* h, const grid_spacing& s) noexcept {
  const float p = ((h[0] - h[-1]) * constant::g) / (-s.dx);
  const float a = ((0.5f * u[0]) * (u[1] - u[-1])) / s.dx;
  const float x = ((0.125f * (((v[0] + v_n[0]) + v[-1]) + v_n[-1])) * (u_n[0] - u_s[0])) / s.dy;
  const float d = constant::visc * ((((u[1] - 2.0f * u[0]) + u[-1]) / s.dx / s.dx) +
                                    (((u_n[0] + u_s[0]) - 2.0f * u[0]) / s.dy / s.dy));
  return ((p - a) - x) + d;
}

// Tendency of v on a y face (between cells j-1 and j of column i), as
// ((P - X) - A) + D. u_s, u: rows j-1, j of u; v_s, v, v_n: rows j-1, j,
// j+1 of v; h_s, h: rows j-1, j of h.
inline float v_tendency(const float* u_s, const float* u, const float* v_s, const float* v, const float* v_n,
                        const float* h_s, const float* h, const grid_spacing& s) noexcept {
  const float p = ((h[0] - h_s[0]) * constant::g) / (-s.dy);
  const float x = ((0.125f * (((u[0] + u[1]) + u_s[0]) + u_s[1])) * (v[1] - v[-1])) / s.dx;
  const float a = ((0.5f * v[0]) * (v_n[0] - v_s[0])) / s.dy;
  const float d = constant::visc * ((((v[1] - 2.0f * v[0]) + v[-1]) / s.dx / s.dx) +
                                    (((v_n[0] + v_s[0]) - 2.0f * v[0]) / s.dy / s.dy));
  return ((p - x) - a) + d;
}

// a if c holds, else b. Both values are computed before the choice and the
// choice is made on their bits: a compiler may not move a floating-point
// operation into a branch arm, which would keep it from evaluating many
// faces at once.
inline float choose(bool c, float a, float b) noexcept {
  const std::uint32_t mask = 0u - static_cast<std::uint32_t>(c);
  return std::bit_cast<float>((std::bit_cast<std::uint32_t>(a) & mask) | (std::bit_cast<std::uint32_t>(b) & ~mask));
}

// The numbers that the limiter and the upwind split of a face's flux take
// the minimum or maximum against. The per-point functions take them as
// literals; the production loops pass them as values the compiler does
// not know (pollutant_span::held_bounds), the same numbers.
struct limiter_bounds {
  float zero = 0.0f;
  float one = 1.0f;
  float two = 2.0f;
};

// The superbee limiter max(0, max(min(1, 2r), min(2, r))). A ratio that is
// not a number (0/0 where the jump is exactly -1e-11 and the upwind jump is
// 0) gives 0, plain upwind at that face, so that it cannot poison the flux.
// That comes from the order of the operands: std::min(a, b) returns a when
// either is not a number and std::max(0, m) returns 0, so a NaN ratio runs
// through both minima and the inner maximum to the outer one. For every
// other ratio the order of the operands of min and max changes nothing.
inline float superbee(float ratio, limiter_bounds b = {}) noexcept {
  const float zero = b.zero, one = b.one, two = b.two;
  return std::max(zero, std::max(std::min(2.0f * ratio, one), std::min(ratio, two)));
}

// Jump of q across a face and the limiter's smoothness ratio. Along the face
// normal the cells are, upstream of an eastward (northward) flow first:
// q_mm, q_m | face | q_0, q_p. A velocity of exactly 0 counts as eastward.
struct jumps {
  float jump;
  float ratio;
};
inline jumps face_jumps(float w, float q_mm, float q_m, float q_0, float q_p) noexcept {
  const float jump = q_0 - q_m;
  const float upwind = choose(w >= 0.0f, q_m - q_mm, q_p - q_0);
  return {jump, upwind / (jump + constant::ratio_offset)};
}

// The weight of a face's Lax-Wendroff correction, (0.5 |w|) (1 - |cr|) with
// cr the Courant number (w dt) / across: the part of the flux that depends
// on the flow alone. `across` is the spacing along the face normal.
inline float correction_weight(float w, float dt, float across) noexcept {
  const float cr = (w * dt) / across;
  return (0.5f * std::fabs(w)) * (1.0f - std::fabs(cr));
}

// Pollutant crossing a face with velocity w during dt: the upwind flux plus
// the superbee-limited correction (its weight from correction_weight), times
// dt_length, dt times the face's length.
inline float face_flux(float w, float weight, float q_m, float q_0, jumps j, float dt_length,
                       limiter_bounds b = {}) noexcept {
  const float phi = superbee(j.ratio, b);
  const float zero = b.zero;
  return ((std::min(w, zero) * q_0 + std::max(w, zero) * q_m) + (weight * j.jump) * phi) * dt_length;
}
// The same with the weight formed here: `length` is the face's length.
inline float face_flux(float w, float q_m, float q_0, jumps j, float dt, float across, float length) noexcept {
  return face_flux(w, correction_weight(w, dt, across), q_m, q_0, j, dt * length);
}

// The flux through an x face (between cells i-1 and i) from q and u of the
// face's row, and through a y face (between rows j-1 and j) from q of rows
// j-2 .. j+1 and v of row j.
inline float x_face_flux(const float* q, const float* u, float dt, const grid_spacing& s) noexcept {
  return face_flux(u[0], q[-1], q[0], face_jumps(u[0], q[-2], q[-1], q[0], q[1]), dt, s.dx, s.dy);
}
inline float y_face_flux(const float* q_ss, const float* q_s, const float* q, const float* q_n, const float* v, float dt,
                         const grid_spacing& s) noexcept {
  return face_flux(v[0], q_s[0], q[0], face_jumps(v[0], q_ss[0], q_s[0], q[0], q_n[0]), dt, s.dy, s.dx);
}

// Change of a cell's concentration from the fluxes through its four faces.
// Formed as a subtraction from zero, so a cell where nothing moves gets +0.
inline float cell_change(float flux_w, float flux_e, float flux_s, float flux_n, const grid_spacing& s) noexcept {
  return 0.0f - ((flux_e - flux_w) / s.cell_area + (flux_n - flux_s) / s.cell_area);
}

}  // namespace terms
