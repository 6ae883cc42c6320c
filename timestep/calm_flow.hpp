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
#include <bit>
#include <cstddef>
#include <cstdint>

#include "timestep/pollutant_map.hpp"

namespace calm_flow {

using idx = std::ptrdiff_t;

inline std::uint32_t bits(float x) noexcept { return std::bit_cast<std::uint32_t>(x); }
// |x| <= 1e37, false for infinity and NaN.
inline bool modest(float x) noexcept { return (bits(x) & 0x7fffffffu) <= std::bit_cast<std::uint32_t>(1e37f); }
inline bool finite(float x) noexcept { return (bits(x) & 0x7fffffffu) < 0x7f800000u; }

// u face k (between cells k-1 and k), nx the row length.
inline bool calm_u(const float* u, const float* v, const float* h, idx k, idx nx) noexcept {
  const std::uint32_t c = bits(u[k]);
  const bool same = (bits(u[k - 1]) == c) & (bits(u[k + 1]) == c) & (bits(u[k - nx]) == c) & (bits(u[k + nx]) == c);
  const bool flat = (bits(h[k - 1]) == bits(h[k])) & finite(h[k]);
  const bool around = modest(v[k]) & modest(v[k + nx]) & modest(v[k - 1]) & modest(v[k - 1 + nx]);
  return same & modest(u[k]) & flat & around;
}

// v face k (between cells k-nx and k).
inline bool calm_v(const float* u, const float* v, const float* h, idx k, idx nx) noexcept {
  const std::uint32_t c = bits(v[k]);
  const bool same = (bits(v[k - 1]) == c) & (bits(v[k + 1]) == c) & (bits(v[k - nx]) == c) & (bits(v[k + nx]) == c);
  const bool flat = (bits(h[k - nx]) == bits(h[k])) & finite(h[k]);
  const bool around = modest(u[k]) & modest(u[k + 1]) & modest(u[k - nx]) & modest(u[k + 1 - nx]);
  return same & modest(v[k]) & flat & around;
}

// The faces first..last of the row whose linear positions start at `row`
// (face i at row + i) that may not be calm, found block by block: the span
// covers every face that is not calm and is at most one block too wide at
// each end.
template <class Calm>
pollutant_map::span unsettled(int first, int last, Calm calm) noexcept {
  constexpr int block = 16;
  const auto settled = [&](int start) {
    const int end = start + block - 1 < last ? start + block - 1 : last;
    bool all = true;
    for (int i = start; i <= end; ++i) all &= calm(i);
    return all;
  };
  int lo = first;
  while (lo <= last && settled(lo)) lo += block;
  if (lo > last) return pollutant_map::nothing;
  int hi = lo + (last - lo) / block * block;  // start of the last block
  while (settled(hi)) hi -= block;
  return {lo, hi + block - 1 < last ? hi + block - 1 : last};
}

}  // namespace calm_flow
