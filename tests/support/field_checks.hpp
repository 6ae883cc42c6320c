#pragma once
// Filling and comparing small fields for the dynamics tests: distinctive
// values that encode (i, j), sentinels, and bit-for-bit comparisons that name
// the first differing point.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/float_bits.hpp"
#include "support/small_grid.hpp"

// The eight bounds of a small_grid in argument order.
#define GRID_BOUNDS(g) (g).ids, (g).ide, (g).jds, (g).jde, (g).ims, (g).ime, (g).jms, (g).jme

namespace checks {

using field = std::vector<float>;

// An inclusive index rectangle.
struct box {
  int i0, i1, j0, j1;
  bool contains(int i, int j) const { return i >= i0 && i <= i1 && j >= j0 && j <= j1; }
};

// Every stored point of g.
inline box stored(const small_grid& g) { return {g.ims, g.ime, g.jms, g.jme}; }
// The advanced cells i = ids..ide-1, j = jds..jde-1.
inline box cells(const small_grid& g) { return {g.ids, g.ide - 1, g.jds, g.jde - 1}; }
// The advanced x faces i = ids..ide, j = jds..jde-1 (where u is computed).
inline box x_faces(const small_grid& g) { return {g.ids, g.ide, g.jds, g.jde - 1}; }
// The advanced y faces i = ids..ide-1, j = jds..jde (where v is computed).
inline box y_faces(const small_grid& g) { return {g.ids, g.ide - 1, g.jds, g.jde}; }

// Sets f(i, j) = fn(i, j) at every stored point.
template <class Fn>
void fill(const small_grid& g, field& f, Fn fn) {
  for (int j = g.jms; j <= g.jme; ++j)
    for (int i = g.ims; i <= g.ime; ++i) g(f, i, j) = fn(i, j);
}

// base + i + j/64: different at every point of a grid less than 64 rows high,
// and exactly representable, so that a value read from the wrong place shows.
inline float tagged(float base, int i, int j) { return base + static_cast<float>(i) + static_cast<float>(j) / 64.0f; }

// Bit-for-bit equality of got and want at the points where `where(i, j)` holds.
template <class Where>
testing::AssertionResult same_bits_where(const small_grid& g, const field& got, const field& want, Where where) {
  for (int j = g.jms; j <= g.jme; ++j) {
    for (int i = g.ims; i <= g.ime; ++i) {
      if (!where(i, j) || bits(g(got, i, j)) == bits(g(want, i, j))) continue;
      return testing::AssertionFailure() << "at (" << i << ", " << j << ") got " << value_text(g(got, i, j))
                                         << ", want " << value_text(g(want, i, j));
    }
  }
  return testing::AssertionSuccess();
}

inline testing::AssertionResult same_bits(const small_grid& g, const field& got, const field& want) {
  return same_bits_where(g, got, want, [](int, int) { return true; });
}
inline testing::AssertionResult same_bits_in(const small_grid& g, const field& got, const field& want, box b) {
  return same_bits_where(g, got, want, [b](int i, int j) { return b.contains(i, j); });
}
inline testing::AssertionResult same_bits_outside(const small_grid& g, const field& got, const field& want, box b) {
  return same_bits_where(g, got, want, [b](int i, int j) { return !b.contains(i, j); });
}

// Every point inside b holds a value other than `sentinel` (so it was written).
inline testing::AssertionResult all_written(const small_grid& g, const field& f, float sentinel, box b) {
  for (int j = b.j0; j <= b.j1; ++j)
    for (int i = b.i0; i <= b.i1; ++i)
      if (bits(g(f, i, j)) == bits(sentinel))
        return testing::AssertionFailure() << "(" << i << ", " << j << ") still holds the sentinel";
  return testing::AssertionSuccess();
}

// Every point inside b holds a finite value.
inline testing::AssertionResult all_finite(const small_grid& g, const field& f, box b) {
  for (int j = b.j0; j <= b.j1; ++j)
    for (int i = b.i0; i <= b.i1; ++i)
      if (!std::isfinite(g(f, i, j))) return testing::AssertionFailure() << "(" << i << ", " << j << ") holds " << g(f, i, j);
  return testing::AssertionSuccess();
}

}  // namespace checks
