#pragma once
// Initial state of the run: grid coordinates at the spacing s, the Coriolis
// parameter, the uniform flow (u_in, v_in) over the interior with its
// matching background terms, a flat height and a clean domain. A caller
// with no use for a background term passes nullptr for it (gpx, gpy): the
// rest of the state is the same.
#include "grid/spacing.hpp"

void init(float* u, float* v, float* h, float* q, float* gpx, float* gpy, float* fx, float* fy, float* x, float* y,
          const grid_spacing& s, const float& u_in, const float& v_in, const int& ids, const int& ide, const int& jds,
          const int& jde, const int& ims, const int& ime, const int& jms, const int& jme);
