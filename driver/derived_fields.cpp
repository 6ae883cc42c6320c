#include "driver/derived_fields.hpp"

#include <algorithm>

#include "diagnostics/diagnostics.hpp"
#include "grid/domain.hpp"
#include "timestep/row_team.hpp"

namespace {
// Fewer rows than this to a thread cost more to hand out than to compute.
constexpr int fewest_rows = 32;
}  // namespace

void derive_snapshot_fields(const grid_spacing& s, step_team& team) {
  using namespace domain;
  const int rows = jme - jms + 1;
  const int parts = std::clamp(rows / fewest_rows, 1, team.size());
  team.for_each_part(parts, [&](int k, int) {
    const row_range part{jms + rows * k / parts, jms + rows * (k + 1) / parts - 1};
    // The fifth argument is not read; forceu is the unused field.
    div_vort_rows(part, domain::div, vort, us, vs, forceu, u, v, s, ids, ide, jds, jde, ims, ime, jms, jme);
  });
}
