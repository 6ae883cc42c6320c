#include "driver/run.hpp"

#include <cerrno>

#include <sched.h>
#include <sys/stat.h>

#include "diagnostics/diagnostics.hpp"
#include "driver/init.hpp"
#include "driver/snapshot.hpp"
#include "driver/text_line.hpp"
#include "grid/domain.hpp"
#include "grid/failure.hpp"
#include "grid/work_arrays.hpp"
#include "timestep/row_team.hpp"
#include "timestep/timestep.hpp"

namespace {

// True if the stream writes to the regular file at `path` (under any name):
// the log and the snapshots would then write over each other.
bool writes_to(std::FILE* stream, const std::string& path) {
  struct stat by_stream {};
  struct stat by_path {};
  return fstat(fileno(stream), &by_stream) == 0 && S_ISREG(by_stream.st_mode) && stat(path.c_str(), &by_path) == 0 &&
         by_stream.st_dev == by_path.st_dev && by_stream.st_ino == by_path.st_ino;
}

}  // namespace

int available_cores() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int n = CPU_COUNT(&set);
  return n > 0 ? n : 1;
}

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

void emit() {
  using namespace domain;
  const std::size_t n = field_size(ims, ime, jms, jme);
  for (std::size_t k = 0; k < n; ++k) qr[k] = 0.0f;
  tracer(qr, constant::source_r_x, constant::source_r_y, x, y, ids, ide, jds, jde, ims, ime, jms, jme);
  for (std::size_t k = 0; k < n; ++k) qc[k] = 0.0f;
  tracer(qc, constant::source_c_x, constant::source_c_y, x, y, ids, ide, jds, jde, ims, ime, jms, jme);
  for (std::size_t k = 0; k < n; ++k) q[k] = (qr[k] + qc[k]) + q[k];
}

void run(const run_settings& settings) {
  using namespace domain;
  gridpara();
  work::reserve(work::production_step_slots, field_size(ims, ime, jms, jme));
  init(u, v, h, q, gpx, gpy, fx, fy, x, y, ids, ide, jds, jde, ims, ime, jms, jme);
  // Standard output sent into the snapshot file ("plume >> file") would
  // interleave the log with the records. Refused before the file is
  // truncated, so that the file keeps what it held.
  if (writes_to(settings.console, settings.snapshot_path)) {
    throw run_failure("cannot open " + settings.snapshot_path + ": " + settings.console_name + " goes to the same file");
  }
  // The threads start before the file is created, so that a run that
  // cannot have them leaves the file as it was.
  const step_team team(settings.threads);
  snapshot_file snapshots(settings.snapshot_path);

  for (int n = 0; n <= settings.last_pass; ++n) {
    rk2(u, v, h, q, dqdt, gpx, gpy, fx, fy, ids, ide, jds, jde, ims, ime, jms, jme);
    if (emission_due(n)) emit();

    const float t = static_cast<float>(n);
    const float hr = t / 3600.0f;
    if (progress_due(n)) {
      write_console(settings.console, settings.console_name,
                    text_line().text("Step/timing:").integer(n).text("s=").real(t).text("hr=").real(hr).finish());
    }
    if (snapshot_due(t)) {
      write_console(
          settings.console, settings.console_name,
          text_line().text("Step/timing:").integer(n).text("s=").real(t).text("hr=").real(hr).text("output!").finish());
      // us, vs, div and vort are read by nothing but the snapshot, and
      // depend only on the u and v of this pass (the emission does not
      // touch them), so they are derived here rather than after every step.
      // The fifth argument is not read by div_vort; forceu is the unused field.
      div_vort(domain::div, vort, us, vs, forceu, u, v, ids, ide, jds, jde, ims, ime, jms, jme);
      snapshots.write();
    }
  }
  snapshots.close();
}
