#pragma once
// The production step on the module's arrays, with a thread team and a
// workspace of its own, made for the module's bounds as they are now.
#include "grid/domain.hpp"
#include "support/reference_case.hpp"
#include "timestep/row_team.hpp"
#include "timestep/step_workspace.hpp"
#include "timestep/timestep.hpp"

struct module_step {
  step_team team;
  step_workspace workspace;

  // With written_out false, the rows that repeat the row below are left
  // unwritten between steps, as the run leaves them (a benchmark of the
  // step alone).
  bool written_out = true;

  // `pace` says which of the team's sweeps are shared (as measured, by
  // default).
  explicit module_step(int threads = 1, bool written_out = true, const pace_rules& pace = {})
      : team(threads, pace), workspace(domain::bounds(), team), written_out(written_out) {}

  // One step of the module's state with the given spacing and inflow, the
  // arrays written out for the test to read.
  void operator()(const grid_spacing& s = reference::spacing, float u_in = reference::u_init,
                  float v_in = reference::v_init) {
    using namespace domain;
    rk2(u, v, h, q, dqdt, gpx, gpy, fx, fy, s, u_in, v_in, ids, ide, jds, jde, ims, ime, jms, jme, workspace);
    if (written_out) workspace.materialize(u, v, h);
  }
  // For a test that writes into the module's arrays between steps.
  void forget() noexcept { workspace.forget(); }
};
