#pragma once
// Time integration: the two-stage Runge-Kutta step and its forward stage.
#include "grid/spacing.hpp"

class step_workspace;

// One step of one second: Heun's method for u and v, the flux-limited
// advection in two stages for q, the height diagnosed from the new velocity.
// Writes u on i = ids..ide, j = jds..jde-1; v on i = ids..ide-1, j = jds..jde;
// h, q and dqdt on i = ids..ide-1, j = jds..jde-1; nothing else. s is the
// grid spacing and (u_in, v_in) the inflow wind of the east boundary.
//
// This is the production step: the stages fused into a few sweeps over rows,
// shared by the threads of the workspace's team. It gives exactly the bits
// of rk2_reference. The workspace must have been made for these bounds
// (std::invalid_argument otherwise). It carries from one call to the next
// what the step knows of the arrays: which rows of u, v and h repeat the row
// below, and where q and dqdt are +0. So u, v and h hold every row only
// after the workspace's materialize(), and a caller that writes into the
// arrays between calls must say so (see step_workspace.hpp).
void rk2(float* u, float* v, float* h, float* q, float* dqdt, const float* gpx, const float* gpy, const float* fx,
         const float* fy, const grid_spacing& s, const float& u_in, const float& v_in, const int& ids, const int& ide,
         const int& jds, const int& jde, const int& ims, const int& ime, const int& jms, const int& jme,
         step_workspace& ws);

// The same step as the plain composition of the procedures: copies of the
// state, stepping as stage 1, then set_bdy, force, the velocity averages,
// force_air, the pollutant average and diagh. Its eleven working arrays (and
// those of its callees) are obtained for the call and released on return.
void rk2_reference(float* u, float* v, float* h, float* q, float* dqdt, const float* gpx, const float* gpy,
                   const float* fx, const float* fy, const grid_spacing& s, const float& u_in, const float& v_in,
                   const int& ids, const int& ide, const int& jds, const int& jde, const int& ims, const int& ime,
                   const int& jms, const int& jme);

// One forward step of the given arrays: boundary values, advection of q over
// dt, the momentum tendencies added unscaled, and the height diagnosis.
void stepping(float* u, float* v, float* h, float* q, float* dqdt, const float* gpx, const float* gpy, const float* fx,
              const float* fy, const float& dt, const grid_spacing& s, const float& u_in, const float& v_in,
              const int& ids, const int& ide, const int& jds, const int& jde, const int& ims, const int& ime,
              const int& jms, const int& jme);

namespace terms {
// Heun's combination of the entry value, the stage value and the tendency
// (or increment) evaluated on the stage: 0.5 x ((old + stage) + tendency).
inline float heun(float old, float stage, float tendency) noexcept { return 0.5f * ((old + stage) + tendency); }
}  // namespace terms
