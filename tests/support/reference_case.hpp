#pragma once
// The reference case's settings as the tests use them: its grid spacing,
// its wind (6 m/s towards 120 degrees, as single precision evaluates it) and
// its two sources.
#include "driver/scenario.hpp"
#include "grid/spacing.hpp"

namespace reference {

inline constexpr float dx = 1000.0f;
inline constexpr float dy = 1000.0f;
inline constexpr float cell_area = 1000000.0f;
inline constexpr grid_spacing spacing{dx, dy, cell_area};

// Bits C0400002 and 40A646E1; the negated u has bits 40400002.
inline constexpr float u_init = -3.0000005f;
inline constexpr float v_init = 5.196152f;
inline constexpr float minus_u_init = 3.0000005f;

inline constexpr float source_r_x = 10000.0f;
inline constexpr float source_r_y = 200000.0f;
inline constexpr float source_c_x = 180000.0f;
inline constexpr float source_c_y = 200000.0f;
inline constexpr float cone_radius = 2000.0f;

inline constexpr int nx = 401;
inline constexpr int ny = 401;
inline constexpr int last_pass = 57600;

// The reference case cut short after the given pass.
inline scenario shortened(int last) {
  scenario s;
  s.duration_s = last;
  return s;
}

}  // namespace reference
