#pragma once
// Small fields with arbitrary bounds for the kernel tests, laid out exactly
// like the model's fields: (ims:ime, jms:jme), i fastest.
#include <bit>
#include <cstdint>
#include <vector>

#include "grid/domain.hpp"

struct small_grid {
  int ids, ide, jds, jde, ims, ime, jms, jme;

  // A grid with the given interior and a halo of two points on every side.
  static small_grid with_interior(int ni, int nj) { return {1, ni, 1, nj, -1, ni + 2, -1, nj + 2}; }

  std::vector<float> field(float fill = 0.0f) const {
    return std::vector<float>(field_size(ims, ime, jms, jme), fill);
  }
  float& operator()(std::vector<float>& f, int i, int j) const { return f[static_cast<std::size_t>(at(i, j, ims, ime, jms))]; }
  float operator()(const std::vector<float>& f, int i, int j) const {
    return f[static_cast<std::size_t>(at(i, j, ims, ime, jms))];
  }
};

inline std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }
