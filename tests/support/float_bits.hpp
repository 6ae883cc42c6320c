#pragma once
// Comparing floats by their bits, and naming a float so that its bits show.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// First linear position where two arrays differ in their bits, or -1.
// Where both hold a NaN, its sign and payload are not compared: when two
// NaNs meet in an addition or a product, the processor passes on the one in
// its first operand, and a compiler may swap the operands of such an
// operation, so which NaN comes out is not set by the arithmetic the source
// writes. That a value is NaN, and every other bit, is.
inline long first_difference(const float* a, const float* b, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    if (std::isnan(a[k]) && std::isnan(b[k])) continue;
    if (std::bit_cast<std::uint32_t>(a[k]) != std::bit_cast<std::uint32_t>(b[k])) return static_cast<long>(k);
  }
  return -1;
}

// The same over two arrays of one length.
inline long first_difference(const std::vector<float>& a, const std::vector<float>& b) {
  return first_difference(a.data(), b.data(), a.size());
}

// The value and its bits, as in "1.5 (bits 3FC00000)".
inline std::string value_text(float x) {
  char text[64];
  std::snprintf(text, sizeof text, "%.9g (bits %08X)", static_cast<double>(x),
                static_cast<unsigned>(std::bit_cast<std::uint32_t>(x)));
  return text;
}
