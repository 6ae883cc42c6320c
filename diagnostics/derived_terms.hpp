#pragma once
// Derived quantities of the flow at one cell, written once and shared by the
// diagnostics and the fused production step. Single precision, in the order
// of the formulas; k is the cell's linear position and nx the row length.
#include <cstddef>

#include "grid/constant.hpp"
#include "grid/spacing.hpp"

namespace terms {

// Divergence of cell k from its four faces: du/dx + dv/dy.
inline float divergence(const float* u, const float* v, std::ptrdiff_t k, std::ptrdiff_t nx,
                        const grid_spacing& s) noexcept {
  return (u[k + 1] - u[k]) / s.dx + (v[k + nx] - v[k]) / s.dy;
}

// The height diagnosed from the divergence: -20000 x (du/dx + dv/dy).
inline float diagnosed_height(const float* u, const float* v, std::ptrdiff_t k, std::ptrdiff_t nx,
                              const grid_spacing& s) noexcept {
  return divergence(u, v, k, nx, s) * constant::height_factor;
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
