#pragma once
// The arithmetic of an emission cone at one cell, shared by the pattern of a
// source over the whole grid and the emission that forms it only near the
// source. Single precision, in the order of the formulas.
#include <cmath>

namespace cone {

// The square of the offset, along one axis, of the centre of the cell
// between grid lines a and b from a source at c: never -0 (a square of a
// float is +0 or more, +inf or NaN).
inline float offset_squared(float a, float b, float c) noexcept {
  const float d = 0.5f * (a + b) - c;
  return d * d;
}

// The cone at a cell whose centre is offset from the source by dx2 and dy2
// squared: peak x (1 - |r / radius|) within the radius, +0 beyond it and
// where the distance is not a number (the negated test sends NaN to +0).
inline float value(float dx2, float dy2, float radius, float peak) noexcept {
  const float r = std::sqrt(dx2 + dy2);
  return !(r <= radius) ? 0.0f : peak * (1.0f - std::fabs(r / radius));
}

// Whether a cell whose offset along one axis is d2 squared can lie within
// the radius at all. When it cannot, value() is +0 whatever the offset
// along the other axis: that offset's square e2 is +0 or more or NaN, so
// e2 + d2 is NaN or at least d2 (rounding keeps the order), and so the
// distance is NaN or at least sqrt(d2), which is NaN or beyond the radius.
inline bool may_reach(float d2, float radius) noexcept { return std::sqrt(d2) <= radius; }

}  // namespace cone
