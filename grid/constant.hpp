#pragma once
// The run's fixed numerical and physical values. Every value is a
// single-precision constant: the model's arithmetic is done in float only.

namespace constant {

// Grid spacing in x and y (m) and the area of one cell (m^2).
inline constexpr float dx = 1000.0f;
inline constexpr float dy = 1000.0f;
inline constexpr float cell_area = 1000000.0f;

// Gravitational acceleration (m s^-2) and horizontal momentum diffusion (m^2 s^-1).
inline constexpr float g = 9.81f;
inline constexpr float visc = 200.0f;

// The uniform initial wind, 6 m/s towards 120 degrees, as single precision
// evaluates 6 cos 120 and 6 sin 120 (bits C0400002 and 40A646E1). The eastern
// inflow boundary holds exactly these values.
inline constexpr float u_init = -3.0000005f;
inline constexpr float v_init = 5.196152f;
// The negated u_init (bits 40400002), used for the background term along y.
inline constexpr float minus_u_init = 3.0000005f;

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

// The time loop runs passes 0 .. last_pass.
inline constexpr int last_pass = 57600;
// Seconds between snapshots and between emissions; first emission pass.
inline constexpr float snapshot_interval = 1800.0f;
inline constexpr float emission_interval = 3600.0f;
inline constexpr int first_emission_pass = 43200;
inline constexpr int progress_interval = 100;

// The two point sources (m): the western one feeds qr, the eastern one qc.
inline constexpr float source_r_x = 10000.0f;
inline constexpr float source_r_y = 200000.0f;
inline constexpr float source_c_x = 180000.0f;
inline constexpr float source_c_y = 200000.0f;
// Radius (m) of the emitted cone, whose peak value is 1.
inline constexpr float cone_radius = 2000.0f;

}  // namespace constant
