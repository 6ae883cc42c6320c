#include "timestep/step_workspace.hpp"

#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>

#include "grid/domain.hpp"
#include "grid/failure.hpp"
#include "grid/state.hpp"
#include "kernels/boundary_rules.hpp"

namespace {
// What the step records of each stored row: two flow records (two marks and
// a source row each), eight marks and a cost; and of each species five
// spans, four marks and a cost.
constexpr std::size_t record_bytes = 2 * (2 + sizeof(int)) + 8 + sizeof(long);
constexpr std::size_t species_record_bytes = 5 * sizeof(pollutant_map::span) + 4 + sizeof(long);
// Rows of face fluxes per thread: the x faces, and per species the south
// and north faces; then the correction weights of the x, north and south
// faces.
constexpr long long flux_rows_per_thread(int species) noexcept { return 4 + 2LL * species; }
}  // namespace

step_workspace::step_workspace(const grid_bounds& b, step_team& team, int species)
    : step_workspace(b, {b.ids, b.ide, b.jds, b.jde}, team, std::make_unique<whole_grid_exchange>(b), nullptr,
                     species) {}

step_workspace::step_workspace(const grid_bounds& b, const patch_bounds& patch, step_team& team,
                               halo_exchange& exchange, int species)
    : step_workspace(b, patch, team, nullptr, &exchange, species) {}

step_workspace::step_workspace(const grid_bounds& b, const patch_bounds& patch, step_team& team,
                               std::unique_ptr<halo_exchange> own, halo_exchange* given, int species_count)
    : bounds_(b),
      patch_(patch),
      team_(&team),
      own_exchange_(std::move(own)),
      exchange_(given != nullptr ? given : own_exchange_.get()),
      row_length_(static_cast<std::size_t>(b.ime - b.ims + 1)),
      frame_points_(boundary_frame_points(b, patch)) {
  if (b.ide - b.ids < 3 || b.jde - b.jds < 3 || patch.ips - b.ims != 2 || b.ime - patch.ipe != 2 ||
      patch.jps - b.jms != 2 || b.jme - patch.jpe != 2 || patch.ips < b.ids || patch.ipe > b.ide ||
      patch.jps < b.jds || patch.jpe > b.jde) {
    throw std::invalid_argument(
        "step_workspace: the step needs four interior points each way and a patch of them with a halo of two");
  }
  if (species_count < 1) throw std::invalid_argument("step_workspace: the step needs at least one species");
  const long long ni = b.ime - b.ims + 1;
  const long long nj = b.jme - b.jms + 1;
  const auto field = static_cast<std::size_t>(ni) * static_cast<std::size_t>(nj);
  std::vector<std::size_t> counts(first_q1_place + static_cast<std::size_t>(species_count), field);
  counts[frames_place] = static_cast<std::size_t>(boundary_fields(species_count)) * frame_points_;
  counts[flux_rows_place] =
      static_cast<std::size_t>(flux_rows_per_thread(species_count)) * row_length_ * static_cast<std::size_t>(team.size());
  arrays_ = float_blocks("the step's working arrays", counts);
  const auto rows = static_cast<std::size_t>(nj);
  try {
    species.resize(static_cast<std::size_t>(species_count));
  } catch (const std::bad_alloc&) {
    throw run_failure(system_reason("cannot allocate the step's species records", ENOMEM));
  }
  for (std::size_t k = 0; k < species.size(); ++k) species[k].q1 = arrays_[first_q1_place + k];
  try {
    for (flow_rows* f : {&module_flow, &stage_flow}) {
      f->same.assign(rows, 0);
      f->stored.assign(rows, 1);
      f->source.assign(rows, 0);
    }
    // The stage's q starts as zeros everywhere: its spans are known.
    for (species_knowledge& k : species) {
      for (auto* spans : {&k.module_q, &k.module_dqdt, &k.stage_q, &k.input_q, &k.cells}) {
        spans->assign(rows, pollutant_map::nothing);
      }
      for (auto* marks : {&k.module_q_frame_zero, &k.stage_q_frame_zero, &k.has_work}) marks->assign(rows, 0);
      k.work.assign(rows, 0);
      k.stage_halo_clean.assign(static_cast<std::size_t>(boundary::halo_rows(b.jms, b.jds, b.jde, b.jme)), 1);
    }
    for (auto* marks : {&input_same, &entry_same, &uv_repeat, &row_repeat, &rules, &active, &moderate_u, &moderate_v}) {
      marks->assign(rows, 0);
    }
    pollutant_rules.assign(rows * species.size(), 0);
    frames_held.assign(static_cast<std::size_t>(boundary_fields(species_count)), 0);
    frames_clean.assign(static_cast<std::size_t>(boundary_fields(species_count)), 0);
    cost.assign(rows, 0);
  } catch (const std::bad_alloc&) {
    const std::size_t bytes = rows * (record_bytes + species.size() * species_record_bytes);
    throw run_failure(
        system_reason("cannot allocate the step's row records (" + std::to_string(bytes) + " bytes)", ENOMEM));
  }
}

float* step_workspace::flux_rows(int thread) const noexcept {
  return arrays_[flux_rows_place] + static_cast<std::size_t>(thread) *
                                static_cast<std::size_t>(flux_rows_per_thread(species_count())) * row_length_;
}

std::size_t step_workspace_bytes(long long nx, long long ny, int threads, int species) noexcept {
  const auto ni = static_cast<std::size_t>(nx + 2 * domain::halo);
  const auto nj = static_cast<std::size_t>(ny + 2 * domain::halo);
  const grid_bounds b{1, static_cast<int>(nx), 1, static_cast<int>(ny), -1, static_cast<int>(nx) + 2, -1,
                      static_cast<int>(ny) + 2};
  const auto n = static_cast<std::size_t>(species);
  const std::size_t stage_arrays = flow_fields + n;
  const std::size_t floats =
      stage_arrays * ni * nj +
      static_cast<std::size_t>(boundary_fields(species)) * boundary_frame_points(b, {b.ids, b.ide, b.jds, b.jde}) +
      static_cast<std::size_t>(flux_rows_per_thread(species)) * ni * static_cast<std::size_t>(threads);
  const std::size_t records = nj * (record_bytes + n * species_record_bytes);
  return floats * sizeof(float) + records;
}
