#pragma once
// Where the flow is calm: the faces whose momentum tendency is known to be
// +0 without forming it, so that the production step can leave out its
// divisions there.
//
// Take a u face whose own value c and its four neighbours along x and y are
// the same number (the same bits), with c finite and |c| <= 1e37, whose
// two cells hold the same finite height, and whose four surrounding v are
// at most 1e37 in size. Then each difference in the tendency is x - x = +0:
// the pressure term (+0 g) / (-dx) and both advection terms (a finite
// factor times a zero, over the spacing) are zeros, and the diffusion is
// visc ((c - 2c) + c) / dx / dx + visc ((c + c) - 2c) / dy / dy = +0, 2c
// being exact below 1e37. The tendency ((P - A) - X) + D, zeros combined
// and then +0 added, is +0 whatever the signs of the zeros. The same holds
// for a v face with its own neighbours, heights and surrounding u. So the
// step writes old + 0 (stage 1) and 0.5 ((old + stage) + 0) (stage 2) at
// such faces: the very expressions of the full step with the tendency
// that it would have found.
//
// Only the bits are compared: -0 against +0, NaN or infinity never count
// as calm, and a spacing outside the range in pollutant_map.hpp computes
// every face.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "timestep/pollutant_map.hpp"

namespace calm_flow {

using idx = std::ptrdiff_t;

inline std::uint32_t bits(float x) noexcept { return std::bit_cast<std::uint32_t>(x); }
inline std::uint32_t magnitude(float x) noexcept { return bits(x) & 0x7fffffffu; }
// Magnitudes above these are not modest (1e37) or not finite.
inline constexpr std::uint32_t modest_limit = 0x7cf0bdc2u;  // the bits of 1e37f
inline constexpr std::uint32_t finite_limit = 0x7f7fffffu;  // the bits of the largest float

// Non-zero unless u face k (between cells k-1 and k) is calm; nx is the row
// length. Written as integer operations without branches, so that a block of
// faces is checked a vector at a time.
inline std::uint32_t unsettled_u(const float* u, const float* v, const float* h, idx k, idx nx) noexcept {
  const std::uint32_t c = bits(u[k]);
  const std::uint32_t differ = (bits(u[k - 1]) ^ c) | (bits(u[k + 1]) ^ c) | (bits(u[k - nx]) ^ c) |
                               (bits(u[k + nx]) ^ c) | (bits(h[k - 1]) ^ bits(h[k]));
  const std::uint32_t around = std::max(std::max(magnitude(v[k]), magnitude(v[k + nx])),
                                        std::max(magnitude(v[k - 1]), magnitude(v[k - 1 + nx])));
  return differ | static_cast<std::uint32_t>(std::max(magnitude(u[k]), around) > modest_limit) |
         static_cast<std::uint32_t>(magnitude(h[k]) > finite_limit);
}

// Non-zero unless v face k (between cells k-nx and k) is calm.
inline std::uint32_t unsettled_v(const float* u, const float* v, const float* h, idx k, idx nx) noexcept {
  const std::uint32_t c = bits(v[k]);
  const std::uint32_t differ = (bits(v[k - 1]) ^ c) | (bits(v[k + 1]) ^ c) | (bits(v[k - nx]) ^ c) |
                               (bits(v[k + nx]) ^ c) | (bits(h[k - nx]) ^ bits(h[k]));
  const std::uint32_t around = std::max(std::max(magnitude(u[k]), magnitude(u[k + 1])),
                                        std::max(magnitude(u[k - nx]), magnitude(u[k + 1 - nx])));
  return differ | static_cast<std::uint32_t>(std::max(magnitude(v[k]), around) > modest_limit) |
         static_cast<std::uint32_t>(magnitude(h[k]) > finite_limit);
}

// The faces first..last that may not be calm, where unsettled(i) is non-zero
// unless face i is calm, found block by block from each end: the span covers
// every face that is not calm and is at most one block too wide at each end.
template <class Unsettled>
pollutant_map::span unsettled_faces(int first, int last, Unsettled unsettled) noexcept {
  constexpr int block = 16;
  const auto settled = [&](int start) {
    std::uint32_t any = 0;
    if (start + block - 1 <= last) {
      for (int t = 0; t < block; ++t) any |= unsettled(start + t);
    } else {
      for (int i = start; i <= last; ++i) any |= unsettled(i);
    }
    return any == 0;
  };
  int lo = first;
  while (lo <= last && settled(lo)) lo += block;
  if (lo > last) return pollutant_map::nothing;
  int hi = lo + (last - lo) / block * block;  // start of the last block
  while (settled(hi)) hi -= block;
  return {lo, hi + block - 1 < last ? hi + block - 1 : last};
}

}  // namespace calm_flow
