#pragma once
// A developed model state for comparing and timing steps: the run's grid and
// initial state, advanced by the production step with pollutant emitted on
// the way, so that flow, height and pollutant all have structure.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "support/reference_case.hpp"
#include "driver/emission.hpp"
#include "driver/init.hpp"
#include "driver/run.hpp"
#include "grid/domain.hpp"
#include "support/module_step.hpp"
#include "timestep/timestep.hpp"

// Sets up the module arrays and advances them `steps` steps, emitting the
// two cones after each step in `emissions`.
inline void develop_state(int steps, const std::vector<int>& emissions) {
  using namespace domain;
  gridpara(reference::nx, reference::ny);
  init(u, v, h, q, gpx, gpy, fx, fy, x, y, reference::spacing, reference::u_init, reference::v_init, ids, ide, jds, jde,
       ims, ime, jms, jme);
  module_step step;
  for (int n = 0; n < steps; ++n) {
    step();
    for (int e : emissions) {
      if (e == n) {
        emit(scenario{}.sources, domain::q, module_cone_grid(), step.workspace.module_q_clean(0));
        step.workspace.forget_pollutant(0);
      }
    }
  }
}

// The fields a step writes, as a copy that can be compared or restored.
struct step_state {
  std::vector<float> u, v, h, q, dqdt;

  static step_state save() {
    using namespace domain;
    const std::size_t n = field_size(ims, ime, jms, jme);
    return {{domain::u, domain::u + n},
            {domain::v, domain::v + n},
            {domain::h, domain::h + n},
            {domain::q, domain::q + n},
            {domain::dqdt, domain::dqdt + n}};
  }
  void restore() const {
    std::copy(u.begin(), u.end(), domain::u);
    std::copy(v.begin(), v.end(), domain::v);
    std::copy(h.begin(), h.end(), domain::h);
    std::copy(q.begin(), q.end(), domain::q);
    std::copy(dqdt.begin(), dqdt.end(), domain::dqdt);
  }
};
