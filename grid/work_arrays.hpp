#pragma once
// Field-sized working storage of the time step and the kernels.
//
// The step needs about a dozen scratch fields at once, far more than an
// ordinary call stack holds. Each procedure owns its own slots here; the
// storage is obtained once (the driver reserves it at start-up) and reused
// by every later call, so the time loop never allocates. A call with larger
// bounds than reserved (as a test may make) grows the slot.
#include <cstddef>
#include <initializer_list>

namespace work {

enum slot : int {
  rk2_u_n,
  rk2_v_n,
  rk2_q_n,
  rk2_u_st,
  rk2_v_st,
  rk2_h_st,
  rk2_q_st,
  rk2_dqdt_st,
  rk2_du_st,
  rk2_dv_st,
  rk2_dq_st,
  stepping_tend_u,
  stepping_tend_v,
  adv_air_q_old,
  adv_air_flux_x,
  adv_air_flux_y,
  force_air_q_old,
  force_air_flux_x,
  force_air_flux_y,
  fused_frame,
  fused_u1,
  fused_v1,
  fused_h1,
  fused_q1,
  fused_rows,
  slot_count
};

// Storage of at least `count` floats for slot s. Its contents are whatever
// the previous user left: callers write every point before reading it.
float* array(slot s, std::size_t count);

// Obtains the given slots with `count` floats each; throws run_failure if it
// cannot.
void reserve(std::initializer_list<slot> slots, std::size_t count);

// The slots of the production step, which the run reserves at start-up.
inline constexpr std::initializer_list<slot> production_step_slots = {
    fused_frame, fused_u1, fused_v1, fused_h1, fused_q1, fused_rows};

}  // namespace work
