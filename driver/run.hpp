#pragma once
// The run: start-up, the time loop over passes 0 .. duration_s, and the end.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "decomposition/layout.hpp"
#include "decomposition/process_group.hpp"
#include "driver/netcdf_series.hpp"
#include "driver/progress.hpp"
#include "driver/record.hpp"
#include "driver/run_checkpoints.hpp"
#include "driver/scenario.hpp"


// The snapshot file of a run that is given none.
inline constexpr const char* default_snapshot_path = "./test_withPollutant.dat";

// The configuration of a run. The program takes the scenario and the paths
// from its command line; tests shorten the loop or send the log elsewhere.
struct run_settings {
  ::scenario scenario;
  // The snapshot file, or with a path ending in .nc the name of the series
  // of NetCDF files (netcdf_series.hpp).
  std::string snapshot_path = default_snapshot_path;
  std::FILE* console = stdout;
  std::string console_name = "standard output";
  // Threads that share each sweep of the time step; the output is the same
  // bytes for every count.
  // The program sets the default, the cores this process may use, shared
  // among the processes of the machine (processes::cores_of_this_process).
  int threads = 1;
  // The blocks of the grid, one per process of the run.
  block_layout layout{};
  // The largest data length of a sub-record of the snapshot file (a test
  // hook: records never come near it).
  std::int64_t subrecord_limit = max_subrecord_bytes;
  // When checkpoints are written, and where.
  checkpoint_settings checkpoints{};
  // The progress line on standard error (rank 0 only); none unless asked.
  progress_settings progress{};
  // The checkpoint the run goes on from, its scenario the run's; none for a
  // run from the start.
  std::optional<restart_point> restart{};
  // How the NetCDF files describe the run, and their compression.
  netcdf_settings netcdf{};
};

// How a run ended: complete (signal 0), or stopped by a signal after the
// given pass, whose checkpoint has been written.
struct run_end {
  int signal = 0;
  int pass = 0;
};

// A progress line when the pass is a multiple of progress_every.
inline bool progress_due(int n, const scenario& s) noexcept { return n % s.progress_every == 0; }
// A snapshot (and its "output!" line) when the float remainder of the model
// time by snapshot_every_s is 0.
inline bool snapshot_due(float t, const scenario& s) noexcept { return std::fmod(t, s.snapshot_every_s) == 0.0f; }
// An emission of species k from pass first_s on, whenever the float
// remainder of the pass by every_s is 0 (the species' own schedule, or the
// [emission] schedule of a run that declares no species); the pass counter
// is compared first, so the remainder is only taken from then on.
inline bool emission_due(int n, const scenario& s, int k = 0) noexcept {
  const std::int32_t first_s = s.species.empty() ? s.emission_first_s : s.species[static_cast<std::size_t>(k)].first_s;
  const float every_s = s.species.empty() ? s.emission_every_s : s.species[static_cast<std::size_t>(k)].every_s;
  return n >= first_s && std::fmod(static_cast<float>(n), every_s) == 0.0f;
}

// The bytes a process of a run allocates for its block of nx x ny interior
// points (the whole grid for a run of one process) with the given thread
// count and number of species: the module's arrays, the production step's
// working storage and the snapshot writer's buffers.
std::uint64_t run_bytes(std::int64_t nx, std::int64_t ny, std::int64_t threads, int species = 1) noexcept;

// The memory this process may still have: what the system can give it
// without swapping (MemAvailable), or less where a control group limits it
// (a batch system's or a container's limit), and what sets the figure.
struct memory_room {
  std::uint64_t bytes = 0;  // 0 when it cannot tell
  // The control group whose limit it is ("" for MemAvailable), as the
  // directory that holds its limit, with the limit and what it holds now.
  std::string control_group;
  std::uint64_t limit = 0, usage = 0;
};
memory_room available_memory();

// What the control groups of /proc/self/cgroup (its text given) still allow,
// looked for under `root` (/sys/fs/cgroup): for each group along the path of
// the memory controller (cgroup v1: memory.limit_in_bytes less
// memory.usage_in_bytes) or of the unified hierarchy (cgroup v2:
// memory.max less memory.current), from the process's own up to the top,
// the group with the least room. bytes 0 and no group when none is limited.
memory_room control_group_room(const std::string& self_cgroup, const std::string& root);

// Sets up this process's block of the grid and its initial state (or the
// state of the checkpoint gone on from), opens the snapshot file and runs
// the time loop, every process of the run together. Throws run_failure when
// memory, the snapshot file, a checkpoint or the console fails, on every
// process (see processes::together); everything written before stays.
run_end run(const run_settings& settings);

// Writes one finished line to the console; throws run_failure if the stream
// refuses it.
void write_console(std::FILE* console, const std::string& name, std::string_view line);
