#include "driver/run.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "driver/derived_fields.hpp"
#include "driver/emission.hpp"
#include "driver/init.hpp"
#include "driver/output_paths.hpp"
#include "driver/record.hpp"
#include "driver/snapshot.hpp"
#include "driver/text_line.hpp"
#include "grid/domain.hpp"
#include "decomposition/halo_exchange.hpp"
#include "decomposition/process_group.hpp"
#include "grid/failure.hpp"
#include "timestep/row_team.hpp"
#include "timestep/step_workspace.hpp"
#include "timestep/timestep.hpp"

// The line is flushed at once, so that a failed write (a full disk, a reader
// that went away) is seen on this line and not on some later one; short
// writes are completed by the C library (see record.cpp).
void write_console(std::FILE* console, const std::string& name, std::string_view line) {
  errno = 0;
  const bool written = std::fwrite(line.data(), 1, line.size(), console) == line.size();
  if (std::fflush(console) != 0 || !written || std::ferror(console)) {
    throw run_failure(system_reason("cannot write to " + name, errno != 0 ? errno : EIO));
  }
}

std::uint64_t run_bytes(std::int64_t nx, std::int64_t ny, std::int64_t threads) noexcept {
  // Fifteen fields and four coordinate arrays, and the production step's
  // workspace.
  const std::uint64_t ni = static_cast<std::uint64_t>(nx) + 2 * domain::halo;
  const std::uint64_t nj = static_cast<std::uint64_t>(ny) + 2 * domain::halo;
  const std::uint64_t module = (15 * ni * nj + ni + 3 * nj) * sizeof(float);
  const std::uint64_t step = step_workspace_bytes(nx, ny, static_cast<int>(threads));
  // The snapshot writer: its file buffer, and a data piece per row and a
  // file piece per row and marker of each of a snapshot's seven records.
  const std::uint64_t writer = (std::uint64_t{1} << 20) + static_cast<std::uint64_t>(ny) * sizeof(data_piece) +
                               7 * (static_cast<std::uint64_t>(ny) + 2) * sizeof(shared_file::piece) + 7 * 8;
  return module + step + writer;
}

std::uint64_t available_memory() noexcept {
  std::FILE* f = std::fopen("/proc/meminfo", "re");
  if (f == nullptr) return 0;
  char line[256];
  unsigned long long kib = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) break;
  }
  std::fclose(f);
  return static_cast<std::uint64_t>(kib) * 1024;
}

namespace {

// What the halo exchange cost this process, on standard error, when
// PLUME_EXCHANGE_REPORT is set (for the benchmarks of runs over several
// processes).
void report_exchange(const halo_exchange& exchange, int passes) {
  if (std::getenv("PLUME_EXCHANGE_REPORT") == nullptr || passes <= 0) return;
  const exchange_totals t = exchange.totals();
  std::fprintf(stderr,
               "plume: rank %d exchanged %llu bytes in %llu messages over %d passes (%llu bytes per pass) and waited "
               "%.3f s for its neighbours' messages\n",
               processes::rank(), static_cast<unsigned long long>(t.bytes_sent),
               static_cast<unsigned long long>(t.messages_sent), passes,
               static_cast<unsigned long long>(t.bytes_sent / static_cast<std::uint64_t>(passes)), t.seconds_waiting);
}

}  // namespace

run_end run(const run_settings& settings) {
  using namespace domain;
  const scenario& sc = settings.scenario;
  const grid_spacing s = make_spacing(sc.spacing_m, sc.spacing_m);
  const float u_in = sc.wind_u();
  const float v_in = sc.wind_v();
  const bool logs = processes::rank() == 0;
  // The threads and the step's storage come before the file is created, so
  // that a run that cannot have them leaves the file as it was.
  std::optional<step_team> team;
  std::unique_ptr<halo_exchange> exchange;
  std::optional<step_workspace> workspace;
  processes::together([&] {
    gridpara(sc.nx, sc.ny, block_patch(settings.layout, processes::rank(), sc.nx, sc.ny));
    init(u, v, h, q, gpx, gpy, fx, fy, x, y, s, u_in, v_in, ids, ide, jds, jde, ims, ime, jms, jme);
    team.emplace(settings.threads);
    exchange = make_halo_exchange(domain::bounds(), domain::patch(), settings.layout);
    workspace.emplace(domain::bounds(), domain::patch(), *team, *exchange);
  });
  if (settings.restart) {
    restore_fields(*settings.restart, settings.layout);
    workspace->forget();
  }
  // Standard output sent into the snapshot file ("plume >> file") would
  // interleave the log with the records. Refused before the file is
  // truncated, so that the file keeps what it held.
  processes::together([&] {
    if (logs && open_on(fileno(settings.console), settings.snapshot_path)) {
      throw run_failure("cannot open " + settings.snapshot_path + ": " + settings.console_name +
                        " goes to the same file");
    }
  });
  // A run that goes on from a checkpoint keeps the snapshots written up to it.
  std::optional<snapshot_file> snapshots;
  processes::together([&] {
    if (settings.restart) {
      snapshots.emplace(settings.snapshot_path, settings.restart->contents.header.snapshots,
                        settings.subrecord_limit);
    } else {
      snapshots.emplace(settings.snapshot_path, settings.subrecord_limit);
    }
  });
  checkpointer checkpoints(settings.checkpoints, settings.snapshot_path, sc, settings.layout,
                           [&] { workspace->materialize(u, v, h); });
  // Rank 0 writes the log; every process learns of a failure at the line.
  const auto log = [&](std::string_view line) {
    processes::together([&] {
      if (logs) write_console(settings.console, settings.console_name, line);
    });
  };

  for (int n = first_pass(settings.restart); n <= sc.duration_s; ++n) {
    rk2(u, v, h, q, dqdt, gpx, gpy, fx, fy, s, u_in, v_in, ids, ide, jds, jde, ims, ime, jms, jme, *workspace);
    if (emission_due(n, sc)) {
      emit(sc.sources, q, module_cone_grid(), workspace->module_q_clean());
      workspace->forget_pollutant();
    }

    const float t = static_cast<float>(n);
    const float hr = t / 3600.0f;
    if (progress_due(n, sc)) log(text_line().text("Step/timing:").integer(n).text("s=").real(t).text("hr=").real(hr).finish());
    if (snapshot_due(t, sc)) {
      log(text_line().text("Step/timing:").integer(n).text("s=").real(t).text("hr=").real(hr).text("output!").finish());
      // us, vs, div and vort are read by nothing but the snapshot, and
      // depend only on the u and v of this pass (the emission does not
      // touch them), so they are derived here rather than after every step:
      // from this process's u and v, with the halo that the blocks around
      // it hold.
      workspace->materialize(u, v, h);
      exchange->share(u, v);
      derive_snapshot_fields(s, *team);
      snapshots->write(&*team);
      // A scheduled checkpoint syncs the snapshot file to the disk; what
      // is written now is on its way there by then.
      if (checkpoints.scheduled()) snapshots->start_writeback();
    }
    if (const int signal = checkpoints.after_pass(n, *snapshots)) {
      snapshots->close();
      return {signal, n};
    }
  }
  snapshots->close();
  report_exchange(*exchange, sc.duration_s + 1 - first_pass(settings.restart));
  return {};
}
