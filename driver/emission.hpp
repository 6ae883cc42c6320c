#pragma once
// An emission: the cones of point sources added to a field of the pollutant.
#include <span>

#include "driver/scenario.hpp"
#include "grid/bounds.hpp"
#include "grid/domain.hpp"
#include "timestep/pollutant_map.hpp"

// The grid lines the cones are laid on: x over ims..ime, y over jms..jme,
// and the bounds of the field.
struct cone_grid {
  const float* x;
  const float* y;
  grid_bounds b;
};

// The module's grid lines and bounds.
inline cone_grid module_cone_grid() noexcept { return {domain::x, domain::y, domain::bounds()}; }

// Adds the cones of `sources` to q at every stored point, as if each
// source's pattern were formed over the whole field (its cone at the
// interior cells the field holds, +0 everywhere else), the patterns summed
// in the order of the sources and the sum added to q:
// q = ((s1 + s2) + s3) + q. With no source q is left alone.
//
// Each cone is formed only over the cells its radius may reach; elsewhere
// the sum is +0, which turns a -0 of q into +0 (and a subnormal into +0
// under the run's flush-to-zero), and so q = +0 + q is done there only
// where q may hold something other than +0: everywhere but where `clean`
// knows it to hold +0.
void emit(std::span<const point_source> sources, float* q, const cone_grid& grid,
          const pollutant_map::known_clean& clean = {});
