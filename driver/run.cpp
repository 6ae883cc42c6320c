#include "driver/run.hpp"

#include <cerrno>
#include <cstdio>

#include "diagnostics/diagnostics.hpp"
#include "driver/init.hpp"
#include "driver/output_paths.hpp"
#include "driver/record.hpp"
#include "driver/snapshot.hpp"
#include "driver/text_line.hpp"
#include "grid/domain.hpp"
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

void emit(const scenario& s) {
  using namespace domain;
  const std::size_t n = field_size(ims, ime, jms, jme);
  const auto pattern = [&](float* into, const point_source& p) {
    for (std::size_t k = 0; k < n; ++k) into[k] = 0.0f;
    tracer(into, p.x_m, p.y_m, p.radius_m, p.peak, x, y, ids, ide, jds, jde, ims, ime, jms, jme);
  };
  const std::size_t count = s.sources.size();
  if (count == 0) return;
  pattern(qr, s.sources[0]);
  if (count == 1) {
    for (std::size_t k = 0; k < n; ++k) q[k] = qr[k] + q[k];
    return;
  }
  for (std::size_t m = 1; m + 1 < count; ++m) {
    pattern(qc, s.sources[m]);
    for (std::size_t k = 0; k < n; ++k) qr[k] = qr[k] + qc[k];
  }
  pattern(qc, s.sources[count - 1]);
  for (std::size_t k = 0; k < n; ++k) q[k] = (qr[k] + qc[k]) + q[k];
}

std::uint64_t run_bytes(std::int64_t nx, std::int64_t ny, std::int64_t threads) noexcept {
  // Fifteen fields and four coordinate arrays, and the production step's
  // workspace.
  const std::uint64_t ni = static_cast<std::uint64_t>(nx) + 2 * domain::halo;
  const std::uint64_t nj = static_cast<std::uint64_t>(ny) + 2 * domain::halo;
  const std::uint64_t module = (15 * ni * nj + ni + 3 * nj) * sizeof(float);
  const std::uint64_t step = step_workspace_bytes(nx, ny, static_cast<int>(threads));
  // The snapshot writer: its file buffer and one piece per row.
  const std::uint64_t writer = (std::uint64_t{1} << 20) + static_cast<std::uint64_t>(ny) * sizeof(byte_piece);
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

run_end run(const run_settings& settings) {
  using namespace domain;
  const scenario& sc = settings.scenario;
  const grid_spacing s = make_spacing(sc.spacing_m, sc.spacing_m);
  const float u_in = sc.wind_u();
  const float v_in = sc.wind_v();
  gridpara(sc.nx, sc.ny);
  init(u, v, h, q, gpx, gpy, fx, fy, x, y, s, u_in, v_in, ids, ide, jds, jde, ims, ime, jms, jme);
  if (settings.restart) restore_fields(*settings.restart);
  // Standard output sent into the snapshot file ("plume >> file") would
  // interleave the log with the records. Refused before the file is
  // truncated, so that the file keeps what it held.
  if (open_on(fileno(settings.console), settings.snapshot_path)) {
    throw run_failure("cannot open " + settings.snapshot_path + ": " + settings.console_name + " goes to the same file");
  }
  // The threads and the step's storage come before the file is created, so
  // that a run that cannot have them leaves the file as it was.
  step_team team(settings.threads);
  step_workspace workspace(domain::bounds(), team);
  // A run that goes on from a checkpoint keeps the snapshots written up to it.
  snapshot_file snapshots = settings.restart
                                ? snapshot_file(settings.snapshot_path, settings.restart->contents.header.snapshots)
                                : snapshot_file(settings.snapshot_path);
  checkpointer checkpoints(settings.checkpoints, settings.snapshot_path, sc);

  for (int n = first_pass(settings.restart); n <= sc.duration_s; ++n) {
    rk2(u, v, h, q, dqdt, gpx, gpy, fx, fy, s, u_in, v_in, ids, ide, jds, jde, ims, ime, jms, jme, workspace);
    if (emission_due(n, sc)) emit(sc);

    const float t = static_cast<float>(n);
    const float hr = t / 3600.0f;
    if (progress_due(n, sc)) {
      write_console(settings.console, settings.console_name,
                    text_line().text("Step/timing:").integer(n).text("s=").real(t).text("hr=").real(hr).finish());
    }
    if (snapshot_due(t, sc)) {
      write_console(
          settings.console, settings.console_name,
          text_line().text("Step/timing:").integer(n).text("s=").real(t).text("hr=").real(hr).text("output!").finish());
      // us, vs, div and vort are read by nothing but the snapshot, and
      // depend only on the u and v of this pass (the emission does not
      // touch them), so they are derived here rather than after every step.
      // The fifth argument is not read by div_vort; forceu is the unused field.
      div_vort(domain::div, vort, us, vs, forceu, u, v, s, ids, ide, jds, jde, ims, ime, jms, jme);
      snapshots.write();
    }
    if (const int signal = checkpoints.after_pass(n, snapshots)) {
      snapshots.close();
      return {signal, n};
    }
  }
  snapshots.close();
  return {};
}
