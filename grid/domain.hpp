#pragma once
// The module `domain`: the grid bounds and every field of the run.
//
// A 2-D field is one contiguous block of floats over (ims:ime, jms:jme) with
// i varying fastest; element (i, j) lies at (i - ims) + (j - jms) * (ime - ims + 1).
// The 1-D arrays x (over ims:ime) and y, fx, fy (over jms:jme) hold element k
// at k - lower bound.
#include <cstddef>
#include <vector>

#include "grid/bounds.hpp"
#include "grid/state.hpp"

namespace domain {

// Interior (d) and stored (m) bounds, fixed by gridpara, and the interior
// points this process owns (p): all of them unless the grid is split over
// several processes.
extern int ids, ide, jds, jde;
extern int ims, ime, jms, jme;
extern int ips, ipe, jps, jpe;

// The 2-D fields, in allocation order: the shared ones, of which q and
// dqdt are the first species' pollutant.
extern float *u, *v, *us, *vs, *h, *q, *qc, *qr, *dqdt, *forceu, *forcev, *gpx, *gpy, *div, *vort;
// The pollutant of every species the run carries, in the order declared;
// the first is q and dqdt, each further one two arrays of its own.
extern std::vector<species_fields> species;
// Coordinates of the grid lines (m) and the Coriolis parameter per row.
extern float *x, *y, *fx, *fy;

// The 2-D fields shared by all species, and the 1-D arrays.
inline constexpr int shared_fields = 13;
inline constexpr int line_arrays = 4;

// Fixes the bounds for nx x ny interior points (ids = jds = 1, ide = nx,
// jde = ny, a halo of two points on every side), then allocates and
// zero-fills the arrays: the shared fields, each species' q and dqdt, and
// the 1-D arrays. Throws run_failure if memory cannot be had. A second call
// releases the previous arrays first (the program calls it once; tests call
// it again).
void gridpara(int nx, int ny, int species_count = 1);

// The same for the block of an nx x ny grid that owns the interior points of
// `patch`: the stored extent is the patch with a halo of two points on every
// side, in the grid's own numbering.
void gridpara(int nx, int ny, const patch_bounds& patch, int species_count = 1);

// The module's state as the step advances it.
inline model_state state() noexcept { return {u, v, h, species}; }

// The module's eight bounds, and its patch, as one value.
inline grid_bounds bounds() noexcept { return {ids, ide, jds, jde, ims, ime, jms, jme}; }
inline patch_bounds patch() noexcept { return {ips, ipe, jps, jpe}; }

// The halo width: stored points beyond the interior on every side.
inline constexpr int halo = 2;

}  // namespace domain

// Linear position of element (i, j) in a field with the given memory bounds.
inline std::ptrdiff_t at(int i, int j, int ims, int ime, int jms) noexcept {
  return static_cast<std::ptrdiff_t>(i - ims) +
         static_cast<std::ptrdiff_t>(j - jms) * static_cast<std::ptrdiff_t>(ime - ims + 1);
}

// Number of elements of a field with the given memory bounds (0 if empty).
inline std::size_t field_size(int ims, int ime, int jms, int jme) noexcept {
  const long long ni = static_cast<long long>(ime) - ims + 1;
  const long long nj = static_cast<long long>(jme) - jms + 1;
  return (ni > 0 && nj > 0) ? static_cast<std::size_t>(ni * nj) : 0;
}
