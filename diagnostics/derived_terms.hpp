#pragma once
// Derived quantities of the flow at one cell, written once and shared by the
// diagnostics and the fused production step. Single precision, in the order
// of the formulas; k is the cell's linear position and nx the row length.
#include <cstddef>

#include "grid/constant.hpp"
#include "grid/spacing.hpp"

namespace terms {

// Divergence of a cell from its four faces, du/dx + dv/dy: u at the cell's
// west face (u[1] its east face), v at its south face and v_n at its north
// face (the row above).
inline float divergence(const float* u, const float* v, const float* v_n, const grid_spacing& s) noexcept {
  return (u[1] - u[0]) / s.dx + (v_n[0] - v[0]) / s.dy;
}
inline float divergence(const float* u, const float* v, std::ptrdiff_t k, std::ptrdiff_t nx,
                        const grid_spacing& s) noexcept {
  return divergence(u + k, v + k, v + k + nx, s);
}

// The height diagnosed from the divergence: -20000 x (du/dx + dv/dy).
inline float diagnosed_height(const float* u, const float* v, const float* v_n, const grid_spacing& s) noexcept {
  return divergence(u, v, v_n, s) * constant::height_factor;
}
inline float diagnosed_height(const float* u, const float* v, std::ptrdiff_t k, std::ptrdiff_t nx,
                              const grid_spacing& s) noexcept {
  return diagnosed_height(u + k, v + k, v + k + nx, s);
}

// Relative vorticity dv/dx - du/dy of cell k, each derivative between two
// four-point means of the faces one grid spacing apart.
inline float vorticity(const float* u, const float* v, std::ptrdiff_t k, std::ptrdiff_t nx,
                       const grid_spacing& s) noexcept {
  const float ve = ((v[k + 1] + v[k]) + v[k + nx]) + v[k + 1 + nx];
  const float vw = ((v[k - 1] + v[k]) + v[k - 1 + nx]) + v[k + nx];
  const float un = ((u[k] + u[k + 1]) + u[k + nx]) + u[k + 1 + nx];
  const float us = ((u[k] + u[k + 1]) + u[k - nx]) + u[k + 1 - nx];
  return ((ve - vw) * 0.25f) / s.dx - ((un - us) * 0.25f) / s.dy;
}

}  // namespace terms
