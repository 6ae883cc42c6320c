#pragma once
// The grid spacing of a run, a value chosen per run and handed to every
// procedure and per-point function that measures distances or areas.

struct grid_spacing {
  float dx;         // between neighbouring x faces (m)
  float dy;         // between neighbouring y faces (m)
  float cell_area;  // dx * dy, in single precision (m^2)
};

inline grid_spacing make_spacing(float dx, float dy) noexcept { return {dx, dy, dx * dy}; }
