#pragma once
// The model's fixed numerical and physical values; what a run may choose
// (the grid, its spacing, the wind, the sources) is in its scenario. Every
// value is a single-precision constant: the model's arithmetic is float only.

namespace constant {

// Gravitational acceleration (m s^-2) and horizontal momentum diffusion (m^2 s^-1).
inline constexpr float g = 9.81f;
inline constexpr float visc = 200.0f;

// Twice the Earth's rotation rate (s^-1) and the latitude (rad, 38 degrees).
inline constexpr float two_omega = 1.4584e-4f;
inline constexpr float latitude = 0.6632251f;

// Height diagnosis: h = height_factor * divergence (m s).
inline constexpr float height_factor = -20000.0f;

// Offset in the denominator of the limiter's smoothness ratio.
inline constexpr float ratio_offset = 1e-11f;

// Time stepping: one step is one second; the second stage advects the
// pollutant over half a step.
inline constexpr float step_length = 1.0f;
inline constexpr float stage2_length = 0.5f;

}  // namespace constant
