#include "timestep/step_workspace.hpp"

#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>

#include "grid/domain.hpp"
#include "grid/failure.hpp"

namespace {
// What the step records of each stored row: two flow records (two marks and
// a source row each), five spans, ten marks and a cost.
constexpr std::size_t record_bytes =
    2 * (2 + sizeof(int)) + 5 * sizeof(pollutant_map::span) + 10 + sizeof(long);
}  // namespace

step_workspace::step_workspace(const grid_bounds& b, step_team& team)
    : step_workspace(b, {b.ids, b.ide, b.jds, b.jde}, team, std::make_unique<whole_grid_exchange>(b), nullptr) {}

step_workspace::step_workspace(const grid_bounds& b, const patch_bounds& patch, step_team& team,
                               halo_exchange& exchange)
    : step_workspace(b, patch, team, nullptr, &exchange) {}

step_workspace::step_workspace(const grid_bounds& b, const patch_bounds& patch, step_team& team,
                               std::unique_ptr<halo_exchange> own, halo_exchange* given)
    : bounds_(b), patch_(patch), team_(&team), own_exchange_(std::move(own)),
      exchange_(given != nullptr ? given : own_exchange_.get()),
      row_length_(static_cast<std::size_t>(b.ime - b.ims + 1)) {
  if (b.ide - b.ids < 3 || b.jde - b.jds < 3 || patch.ips - b.ims != 2 || b.ime - patch.ipe != 2 ||
      patch.jps - b.jms != 2 || b.jme - patch.jpe != 2 || patch.ips < b.ids || patch.ipe > b.ide ||
      patch.jps < b.jds || patch.jpe > b.jde) {
    throw std::invalid_argument(
        "step_workspace: the step needs four interior points each way and a patch of them with a halo of two");
  }
  const long long ni = b.ime - b.ims + 1;
  const long long nj = b.jme - b.jms + 1;
  u1_ = allocate_zeroed("the step's stage array u1", ni, nj);
  v1_ = allocate_zeroed("the step's stage array v1", ni, nj);
  h1_ = allocate_zeroed("the step's stage array h1", ni, nj);
  q1_ = allocate_zeroed("the step's stage array q1", ni, nj);
  frames_ = allocate_zeroed("the step's boundary frames", 4, static_cast<long long>(boundary_frame_points(b, patch)));
  flux_rows_ = allocate_zeroed("the step's flux rows", 3 * ni, team.size());
  const auto rows = static_cast<std::size_t>(nj);
  try {
    for (flow_rows* f : {&module_flow, &stage_flow}) {
      f->same.assign(rows, 0);
      f->stored.assign(rows, 1);
      f->source.assign(rows, 0);
    }
    // The stage's q starts as zeros everywhere: its spans are known.
    for (auto* spans : {&module_q, &module_dqdt, &stage_q, &input_q, &cells}) spans->assign(rows, pollutant_map::nothing);
    for (auto* marks : {&input_same, &entry_same, &uv_repeat, &row_repeat, &rules, &active, &moderate_u, &moderate_v,
                        &module_q_frame_zero, &stage_q_frame_zero}) {
      marks->assign(rows, 0);
    }
    cost.assign(rows, 0);
  } catch (const std::bad_alloc&) {
    throw run_failure(system_reason("cannot allocate the step's row records (" + std::to_string(rows * record_bytes) +
                                        " bytes)",
                                    ENOMEM));
  }
}

float* step_workspace::flux_rows(int thread) const noexcept {
  return flux_rows_.get() + static_cast<std::size_t>(thread) * 3 * row_length_;
}

std::size_t step_workspace_bytes(long long nx, long long ny, int threads) noexcept {
  const auto ni = static_cast<std::size_t>(nx + 2 * domain::halo);
  const auto nj = static_cast<std::size_t>(ny + 2 * domain::halo);
  const grid_bounds b{1, static_cast<int>(nx), 1, static_cast<int>(ny), -1, static_cast<int>(nx) + 2, -1,
                      static_cast<int>(ny) + 2};
  const std::size_t floats =
      4 * ni * nj + 4 * boundary_frame_points(b, {b.ids, b.ide, b.jds, b.jde}) + 3 * ni * static_cast<std::size_t>(threads);
  const std::size_t records = nj * record_bytes;
  return floats * sizeof(float) + records;
}
