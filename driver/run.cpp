#include "driver/run.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "driver/derived_fields.hpp"
#include "driver/emission.hpp"
#include "driver/init.hpp"
#include "driver/output_paths.hpp"
#include "driver/record.hpp"
#include "driver/snapshot.hpp"
#include "driver/text_line.hpp"
#include "grid/domain.hpp"
#include "decomposition/halo_exchange.hpp"
#include "decomposition/layout.hpp"
#include "decomposition/process_group.hpp"
#include "decomposition/test_fault.hpp"
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

std::uint64_t run_bytes(std::int64_t nx, std::int64_t ny, std::int64_t threads, int species) noexcept {
  // The shared fields and each species' own, the coordinate arrays, and the
  // production step's workspace.
  const std::uint64_t ni = static_cast<std::uint64_t>(nx) + 2 * domain::halo;
  const std::uint64_t nj = static_cast<std::uint64_t>(ny) + 2 * domain::halo;
  const std::uint64_t fields = domain::shared_fields + fields_per_species * static_cast<std::uint64_t>(species);
  const std::uint64_t module = (fields * ni * nj + ni + (domain::line_arrays - 1) * nj) * sizeof(float);
  const std::uint64_t step = step_workspace_bytes(nx, ny, static_cast<int>(threads), species);
  // The snapshot writer: its file buffer, and a data piece per row and a
  // file piece per row and marker of each of a snapshot's records.
  const std::uint64_t records = static_cast<std::uint64_t>(snapshot_records(species));
  const std::uint64_t writer = (std::uint64_t{1} << 20) + static_cast<std::uint64_t>(ny) * sizeof(data_piece) +
                               records * (static_cast<std::uint64_t>(ny) + 2) * sizeof(shared_file::piece) +
                               records * 8;
  return module + step + writer;
}

namespace {

// The first whole number in the file, or nothing (a limit of "max", a file
// that is not there).
std::optional<std::uint64_t> number_in(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "re");
  if (f == nullptr) return std::nullopt;
  unsigned long long n = 0;
  const bool read = std::fscanf(f, "%llu", &n) == 1;
  std::fclose(f);
  return read ? std::optional<std::uint64_t>(n) : std::nullopt;
}

// The room that the groups at `path` and above it leave, by the given
// limit and usage files, into `best` where less.
void tightest_along(const std::string& root, std::string path, const char* limit_file, const char* usage_file,
                    memory_room& best) {
  while (true) {
    std::string dir = root;
    if (path != "/") dir.append(path);
    const auto limit = number_in(std::string(dir).append("/").append(limit_file));
    const auto usage = number_in(std::string(dir).append("/").append(usage_file));
    // cgroup v1 writes "no limit" as a huge number, rounded to pages.
    constexpr std::uint64_t unlimited = std::uint64_t{1} << 62;
    if (limit && usage && *limit < unlimited) {
      const std::uint64_t room = *limit > *usage ? *limit - *usage : 1;
      if (best.control_group.empty() || room < best.bytes) best = {room, dir, *limit, *usage};
    }
    if (path.empty() || path == "/") return;
    const std::size_t slash = path.find_last_of('/');
    path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
}

}  // namespace

memory_room control_group_room(const std::string& self_cgroup, const std::string& root) {
  memory_room best;
  std::size_t at = 0;
  while (at < self_cgroup.size()) {
    std::size_t line_end = self_cgroup.find('\n', at);
    if (line_end == std::string::npos) line_end = self_cgroup.size();
    const std::string line = self_cgroup.substr(at, line_end - at);
    at = line_end + 1;
    // hierarchy-ID:controller-list:path
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string id = line.substr(0, first);
    std::string controllers(1, ',');
    controllers.append(line, first + 1, second - first - 1).push_back(',');
    const std::string path = line.substr(second + 1);
    if (controllers.find(",memory,") != std::string::npos) {
      tightest_along(root + "/memory", path, "memory.limit_in_bytes", "memory.usage_in_bytes", best);
    } else if (id == "0" && controllers == ",,") {
      tightest_along(root, path, "memory.max", "memory.current", best);
    }
  }
  return best;
}

memory_room available_memory() {
  memory_room room;
  if (std::FILE* f = std::fopen("/proc/meminfo", "re")) {
    char line[256];
    unsigned long long kib = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
      if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) break;
    }
    std::fclose(f);
    room.bytes = static_cast<std::uint64_t>(kib) * 1024;
  }
  std::string self;
  if (std::FILE* f = std::fopen("/proc/self/cgroup", "re")) {
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) self.append(buffer, n);
    std::fclose(f);
  }
  const memory_room group = control_group_room(self, "/sys/fs/cgroup");
  if (!group.control_group.empty() && (room.bytes == 0 || group.bytes < room.bytes)) return group;
  return room;
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
  // Rank 0 shows the progress. The meter looks at its descriptor before any
  // file is opened, so that a file never takes the place of a closed one.
  progress_meter progress(logs ? settings.progress : progress_settings{}, first_pass(settings.restart), sc.duration_s,
                          fileno(settings.console));
  const int species_count = sc.species_count();
  // Each species' sources, in the order the scenario lists them.
  std::vector<std::vector<point_source>> species_sources(static_cast<std::size_t>(species_count));
  for (const point_source& p : sc.sources) species_sources[static_cast<std::size_t>(p.species)].push_back(p);
  // The threads and the step's storage come before the file is created, so
  // that a run that cannot have them leaves the file as it was.
  std::optional<step_team> team;
  std::unique_ptr<halo_exchange> exchange;
  std::optional<step_workspace> workspace;
  processes::together([&] {
    gridpara(sc.nx, sc.ny, block_patch(settings.layout, processes::rank(), sc.nx, sc.ny), species_count);
    // The background terms gpx and gpy are left out: no step of a run reads
    // them (the forcing leaves them unread), so their fields are never
    // touched and take no memory.
    init(u, v, h, q, nullptr, nullptr, fx, fy, x, y, s, u_in, v_in, ids, ide, jds, jde, ims, ime, jms, jme);
    team.emplace(settings.threads);
    exchange = make_halo_exchange(domain::bounds(), domain::patch(), settings.layout, species_count);
    workspace.emplace(domain::bounds(), domain::patch(), *team, *exchange, species_count);
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
  // Opening the file is a collective that agrees on its own failures.
  std::unique_ptr<snapshot_writer> snapshots;
  if (is_netcdf_output(settings.snapshot_path)) {
    const std::optional<series_record> restarted =
        settings.restart ? series_record_of(settings.restart->contents.header.output) : std::nullopt;
    netcdf_settings netcdf = settings.netcdf;
    netcdf.deflate = deflate_level(settings.netcdf, restarted);
    for (int band = 1; band < settings.layout.py; ++band) {
      netcdf.band_starts.push_back(block_start(sc.ny, settings.layout.py, band) - 1);
    }
    const int kept = restarted ? restarted->files : 0;
    processes::together([&] { snapshots = open_netcdf_series(settings.snapshot_path, sc, netcdf, kept); });
  } else if (settings.restart) {
    snapshots =
        std::make_unique<snapshot_file>(settings.snapshot_path, settings.restart->snapshots, settings.subrecord_limit);
  } else {
    snapshots = std::make_unique<snapshot_file>(settings.snapshot_path, settings.subrecord_limit);
  }
  checkpointer checkpoints(settings.checkpoints, settings.snapshot_path, sc, settings.layout,
                           [&] { workspace->materialize(u, v, h); });
  // Rank 0 writes the log; every process learns of a failure at the line.
  const auto log = [&](std::string_view line) {
    processes::together([&] {
      if (logs) progress.above([&] { write_console(settings.console, settings.console_name, line); });
    });
  };

  for (int n = first_pass(settings.restart); n <= sc.duration_s; ++n) {
    rk2(domain::state(), s, u_in, v_in, *workspace);
    for (int k = 0; k < species_count; ++k) {
      if (emission_due(n, sc, k)) {
        emit(species_sources[static_cast<std::size_t>(k)], domain::species[static_cast<std::size_t>(k)].q,
             module_cone_grid(), workspace->module_q_clean(k));
        workspace->forget_pollutant(k);
      }
    }
    processes::test_fault(processes::fault_point::pass, n - first_pass(settings.restart) + 1);

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
    progress.after_pass(n, snapshots->snapshots());
  }
  snapshots->close();
  progress.complete(snapshots->snapshots());
  report_exchange(*exchange, sc.duration_s + 1 - first_pass(settings.restart));
  return {};
}
