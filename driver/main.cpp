// plume: a pollutant carried by a two-dimensional flow.
//
// With no arguments it runs the reference case over 16 model hours, writing
// the progress log to standard output and the snapshots to
// ./test_withPollutant.dat. The options choose another scenario, the output
// file, the thread count, checkpoints, a checkpoint to go on from, and the
// progress line on standard error.
// Everything the user gives is checked before the snapshot file is touched:
// a bad option, scenario or checkpoint ends with status 2 and leaves every
// file as it was; a run that fails ends with status 1, and one stopped by
// SIGTERM or SIGINT with 128 + the signal, after its checkpoint.
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <new>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <unistd.h>

#include "decomposition/layout.hpp"
#include "decomposition/process_group.hpp"
#include "decomposition/test_fault.hpp"
#include "driver/fp_mode.hpp"
#include "driver/netcdf_contents.hpp"
#include "driver/output_paths.hpp"
#include "driver/run.hpp"
#include "driver/scenario.hpp"
#include "driver/snapshot.hpp"
#include "driver/stop_signals.hpp"
#include "grid/failure.hpp"

namespace {
constexpr std::size_t failure_room_bytes = 65536;
constexpr int max_threads = 1024;
constexpr int usage_status = 2;

// A command line or scenario the program cannot run.
struct usage_error {
  std::string message;
  bool hint;  // followed by the usage hint
};

struct options {
  run_settings settings;
  std::string scenario_path;
  std::string restart_path;
  std::string layout_text;
  bool layout_given = false;
  bool print_scenario = false;
  bool restart = false;
  bool scenario_given = false;
  output_check check_output = output_check::last;
};

// The whole number `text` if it lies in 1..max, else nothing.
std::optional<int> whole_number(const std::string& text, int max) {
  int n = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), n);
  if (r.ec != std::errc{} || r.ptr != text.data() + text.size() || n < 1 || n > max) return std::nullopt;
  return n;
}

int threads_from(const std::string& text) {
  if (const auto n = whole_number(text, max_threads)) return *n;
  throw usage_error{"--threads: '" + text + "' is not a whole number from 1 to " + std::to_string(max_threads), true};
}

int deflate_from(const std::string& text) {
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '9') return text[0] - '0';
  throw usage_error{"--deflate: '" + text + "' is not a compression level from 0 to 9", true};
}

// The command line as the NetCDF files' history records it.
std::string command_line(int argc, char** argv) {
  std::string line = "plume";
  for (int a = 1; a < argc; ++a) line += std::string(" ") + argv[a];
  return line;
}

int seconds_from(const char* option, const std::string& text) {
  constexpr int max = std::numeric_limits<int>::max();
  if (const auto n = whole_number(text, max)) return *n;
  throw usage_error{
      std::string(option) + ": '" + text + "' is not a whole number of seconds from 1 to " + std::to_string(max), true};
}

// The progress line: every SECONDS when asked for, none with --no-progress,
// else kept up to date on a terminal.
progress_settings progress_from(bool given, const std::string& text, bool off) {
  using mode = progress_settings::mode;
  if (off) return {.when = mode::off};
  if (!given) return {.when = mode::automatic};
  return {.when = mode::periodic, .every_s = seconds_from("--progress", text)};
}

output_check output_check_from(const std::string& text) {
  if (text == "last") return output_check::last;
  if (text == "full") return output_check::full;
  throw usage_error{"--check-output: '" + text + "' is neither last nor full", true};
}

// Test hook: PLUME_TEST_CRASH_BEFORE_RENAME=N makes the Nth checkpoint write
// of the run kill the process between its temporary file and the rename, so
// that the tests can see what a crash there leaves. Unset, or not a whole
// number, it does nothing.
int crash_before_rename() {
  const char* value = std::getenv("PLUME_TEST_CRASH_BEFORE_RENAME");
  return value != nullptr ? whole_number(value, std::numeric_limits<int>::max()).value_or(0) : 0;
}

// Test hook: PLUME_TEST_SUBRECORD_BYTES=N cuts the snapshot file's records
// into sub-records of at most N data bytes, as records beyond 2 GiB are, so
// that the tests can follow that path with small grids. Unset, or not a
// whole number, it does nothing.
std::int64_t subrecord_limit() {
  const char* value = std::getenv("PLUME_TEST_SUBRECORD_BYTES");
  const auto n = value != nullptr ? whole_number(value, std::numeric_limits<int>::max()) : std::nullopt;
  return n ? *n : max_subrecord_bytes;
}

void refuse_empty(const CLI::App& app, const char* option, const std::string& value) {
  if (app.count(option) > 0 && value.empty()) throw usage_error{std::string(option) + ": the path is empty", true};
}

// Writes the text to standard output and makes sure it got there (rank 0:
// the others print nothing). Not a collective: the caller agrees on it.
void print(const std::string& text) {
  if (processes::rank() != 0) return;
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  if (std::fflush(stdout) != 0 || !written || std::ferror(stdout) || std::fclose(stdout) != 0) {
    throw run_failure(system_reason("cannot write to standard output", errno != 0 ? errno : EIO));
  }
}

// The same, every process learning whether it got there.
void print_together(const std::string& text) {
  processes::together([&] { print(text); });
}

// Parses the command line, the same on every process. Returns false when
// the request is complete (help or version): nothing is to be run.
bool parse_command_line(int argc, char** argv, options& o) {
  CLI::App app{
      "Runs the pollutant transport model: the progress log goes to standard output, the snapshots to "
      "the output file. With no options, the reference case.",
      "plume"};
  app.set_version_flag("--version", std::string("plume ") + PLUME_VERSION);
  std::string threads_text;
  app.add_option("--threads", threads_text,
                 "Threads that share each step (default: the cores available, " + std::to_string(o.settings.threads) +
                     "); the output is the same")
      ->type_name("N");
  app.add_option("--output", o.settings.snapshot_path, "The snapshot file (default: ./test_withPollutant.dat)")
      ->type_name("PATH");
  std::string deflate_text;
  app.add_option("--deflate", deflate_text,
                 "Lossless compression of a NetCDF output (an --output ending in .nc), 0 (none) to 9; default 1")
      ->type_name("LEVEL");
  app.add_option("--scenario", o.scenario_path, "A TOML scenario; keys left out keep the reference values")
      ->type_name("FILE");
  app.add_flag("--print-scenario", o.print_scenario, "Print the effective scenario as TOML and exit");
  std::string every_text;
  app.add_option("--checkpoint-every", every_text,
                 "Write a checkpoint after each pass whose model time is a multiple of SECONDS")
      ->type_name("SECONDS");
  app.add_option("--checkpoint", o.settings.checkpoints.path,
                 "Where checkpoints go (default: the output path with .ckpt appended)")
      ->type_name("PATH");
  app.add_option("--restart", o.restart_path,
                 "Go on with the run of the checkpoint at PATH, which holds its scenario")
      ->type_name("PATH");
  std::string progress_text;
  auto* progress = app.add_option("--progress", progress_text,
                                  "A progress line on standard error every SECONDS, terminal or not (default: a line "
                                  "kept up to date when standard error is a terminal, else none)")
                       ->type_name("SECONDS");
  bool no_progress = false;
  app.add_flag("--no-progress", no_progress, "No progress line on standard error")->excludes(progress);
  std::string check_text;
  app.add_option("--check-output", check_text,
                 "At a restart, check the snapshot file's last snapshot (last, the default) or every byte of it "
                 "(full)")
      ->type_name("MODE");
  app.add_option("--layout", o.layout_text,
                 "Under mpirun: split the grid into PX x PY blocks, one per process (default: chosen for the "
                 "process count); the output is the same")
      ->type_name("PXxPY");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    print_together(app.help());
    return false;
  } catch (const CLI::CallForVersion& e) {
    print_together(std::string(e.what()) + "\n");
    return false;
  } catch (const CLI::ParseError& e) {
    throw usage_error{e.what(), true};
  }
  if (!threads_text.empty() || app.count("--threads") > 0) o.settings.threads = threads_from(threads_text);
  if (app.count("--checkpoint-every") > 0)
    o.settings.checkpoints.every_s = seconds_from("--checkpoint-every", every_text);
  o.settings.progress = progress_from(app.count("--progress") > 0, progress_text, no_progress);
  if (app.count("--check-output") > 0) o.check_output = output_check_from(check_text);
  refuse_empty(app, "--output", o.settings.snapshot_path);
  if (app.count("--deflate") > 0) {
    o.settings.netcdf.deflate = deflate_from(deflate_text);
    if (!is_netcdf_output(o.settings.snapshot_path)) {
      throw usage_error{"--deflate: the output " + o.settings.snapshot_path +
                            " is a binary snapshot file, which is not compressed; give an --output ending in .nc "
                            "to write NetCDF",
                        true};
    }
  }
  refuse_empty(app, "--checkpoint", o.settings.checkpoints.path);
  refuse_empty(app, "--restart", o.restart_path);
  o.restart = app.count("--restart") > 0;
  o.scenario_given = app.count("--scenario") > 0;
  if (o.restart && o.scenario_given) {
    throw usage_error{"--scenario cannot be given with --restart: the checkpoint holds the run's scenario", true};
  }
  o.layout_given = app.count("--layout") > 0;
  if (o.layout_given && !processes::with_mpi()) {
    throw usage_error{"--layout: this plume is built without MPI and runs as one process; build it with cmake "
                      "-DPLUME_MPI=ON and start it with mpirun to split the grid",
                      true};
  }
  if (o.layout_given) {
    const auto l = parse_layout(o.layout_text);
    if (!l) throw usage_error{"--layout: '" + o.layout_text + "' is not PXxPY with two whole numbers, as in 2x2", true};
    o.settings.layout = *l;
  }
  o.settings.checkpoints.program = std::string("plume ") + PLUME_VERSION;
  o.settings.netcdf.program = o.settings.checkpoints.program;
  const char* source_date_epoch = std::getenv("SOURCE_DATE_EPOCH");
  const std::optional<std::string> when = netcdf_contents::history_time(source_date_epoch);
  if (!when && is_netcdf_output(o.settings.snapshot_path)) {
    throw usage_error{"SOURCE_DATE_EPOCH: '" + std::string(source_date_epoch) +
                          "' is not a whole number of seconds since 1970-01-01 for the files' history",
                      false};
  }
  o.settings.netcdf.history = when.value_or("") + " " + command_line(argc, argv);
  o.settings.netcdf.scenario_name = o.restart ? "the scenario of the checkpoint " +
                                                    std::filesystem::path(o.restart_path).filename().string()
                                    : o.scenario_given ? std::filesystem::path(o.scenario_path).filename().string()
                                                       : std::string("none: the reference case");
  o.settings.checkpoints.crash_before_rename = crash_before_rename();
  o.settings.subrecord_limit = subrecord_limit();
  return true;
}

// Reads and checks the files the command line names, on rank 0: the
// scenario or the checkpoint, the outputs against the inputs, and the
// snapshot file a restart goes on with. Returns false when the request is
// complete (the printed scenario). `grid_at` receives the position of the
// scenario's [grid] table, for the memory check.
bool check_files(options& o, std::string& grid_at) {
  try {
    if (o.restart) {
      o.settings.restart = read_restart_point(o.restart_path, &grid_at);
      o.settings.scenario = o.settings.restart->scenario;
    } else if (!o.scenario_path.empty() || o.scenario_given) {
      o.settings.scenario = read_scenario(o.scenario_path, &grid_at);
    }
  } catch (const scenario_error& e) {
    throw usage_error{e.what(), false};
  } catch (const checkpoint_error& e) {
    throw usage_error{e.what(), false};
  }
  if (o.print_scenario) {
    processes::test_fault(processes::fault_point::print_scenario);
    print(scenario_toml(o.settings.scenario));
    return false;
  }
  const std::string clobbered = clobbered_file(
      {o.scenario_path, o.restart_path, o.settings.snapshot_path,
       checkpoint_path(o.settings.checkpoints, o.settings.snapshot_path)},
      STDOUT_FILENO);
  if (!clobbered.empty()) throw usage_error{clobbered, false};
  if (o.restart) {
    try {
      const scenario& s = o.settings.scenario;
      check_output(o.settings.snapshot_path, *o.settings.restart, o.check_output,
                   snapshot_bytes(s.nx, s.ny, s.species_count(), o.settings.subrecord_limit));
    } catch (const checkpoint_error& e) {
      throw usage_error{e.what(), false};
    }
  }
  return true;
}

// The layout of the run's processes over the grid: the one given, or the
// one chosen for their number. The same on every process.
void choose_blocks(options& o) {
  const scenario& s = o.settings.scenario;
  const int n = processes::count();
  if (o.layout_given) {
    const block_layout& l = o.settings.layout;
    if (l.blocks() != n) {
      throw usage_error{"--layout " + layout_text(l) + " makes " + std::to_string(l.blocks()) +
                            " blocks, but the run has " + std::to_string(n) + (n == 1 ? " process" : " processes"),
                        false};
    }
    const std::string problem = layout_problem(l, s.nx, s.ny);
    if (!problem.empty()) throw usage_error{"--layout " + layout_text(l) + ": " + problem, false};
    return;
  }
  const auto l = choose_layout(n, s.nx, s.ny);
  if (!l) {
    throw usage_error{"a " + std::to_string(s.nx) + " x " + std::to_string(s.ny) + " grid cannot be split into " +
                          std::to_string(n) + " blocks of at least " + std::to_string(min_block_points) + " x " +
                          std::to_string(min_block_points) + " points; run it on fewer processes",
                      false};
  }
  o.settings.layout = *l;
}

// The grid must fit in memory; checked before anything is allocated, so
// that a grid too large is refused at once and not after a long swap. Each
// process's block is counted on the machine it runs on.
void check_memory(const options& o, const std::string& grid_at) {
  const scenario& s = o.settings.scenario;
  std::uint64_t mine = 0;
  memory_room available;
  processes::together([&] {
    processes::test_fault(processes::fault_point::memory_check);
    const int rank = processes::rank();
    const patch_bounds p = block_patch(o.settings.layout, rank, s.nx, s.ny);
    mine = run_bytes(p.ipe - p.ips + 1, p.jpe - p.jps + 1, o.settings.threads, s.species_count()) +
           checkpoint_bytes(s, o.settings.layout, rank);
    available = available_memory();
  });
  const std::uint64_t needed = processes::machine_sum(mine);
  const bool short_here = available.bytes != 0 && needed > available.bytes;
  const long long worst = processes::max(short_here ? static_cast<long long>(needed) : 0);
  if (worst == 0) return;
  const std::string where = grid_at.empty() ? std::string() : grid_at + ": ";
  if (processes::count() == 1) {
    const std::string limit = available.control_group.empty()
                                  ? "the " + std::to_string(available.bytes) + " bytes of memory available"
                                  : "the " + std::to_string(available.bytes) +
                                        " bytes that the memory limit of control group " + available.control_group +
                                        " still allows (a limit of " + std::to_string(available.limit) + " bytes, " +
                                        std::to_string(available.usage) + " in use)";
    throw usage_error{where + "a grid of " + std::to_string(s.nx) + " x " + std::to_string(s.ny) + " points needs " +
                          std::to_string(needed) + " bytes, more than " + limit,
                      false};
  }
  throw usage_error{where + "a grid of " + std::to_string(s.nx) + " x " + std::to_string(s.ny) + " points split " +
                        layout_text(o.settings.layout) + " needs " + std::to_string(worst) +
                        " bytes on one machine, more than the memory available there (or than the memory limit of "
                        "the processes' control group)",
                    false};
}

// What rank 0 found of the files, for the other processes: a refusal (its
// message and whether the usage hint follows), a request already complete,
// or the run's scenario and restart point.
struct verdict {
  enum : char { run = 'r', done = 'd', refused = 'x', refused_with_hint = 'h' };
  static std::string of(char kind, const std::string& text) { return std::string(1, kind) + text; }
};

// Parses the command line and the files it names, every process together.
// Returns false when nothing is to be run; throws usage_error (on rank 0
// with the message to print, on the others with none).
bool parse(int argc, char** argv, options& o) {
  if (!parse_command_line(argc, argv, o)) return false;
  processes::test_fault(processes::fault_point::command_line);
  std::string grid_at;
  std::string found;
  // Rank 0 reads the files (and may print the scenario); a failure there, or
  // on another process meanwhile, is agreed on before rank 0 hands out what
  // it found.
  processes::together([&] {
    processes::test_fault(processes::fault_point::files);
    if (processes::rank() != 0) {
      if (o.print_scenario) processes::test_fault(processes::fault_point::print_scenario);
      return;
    }
    try {
      found = check_files(o, grid_at)
                  ? verdict::of(verdict::run, scenario_toml(o.settings.scenario) + '\0' +
                                                  (o.settings.restart ? restart_text(*o.settings.restart) : ""))
                  : verdict::of(verdict::done, "");
    } catch (const usage_error& e) {
      found = verdict::of(e.hint ? verdict::refused_with_hint : verdict::refused, e.message);
    }
  });
  processes::broadcast(found);
  const std::string text = found.substr(1);
  switch (found[0]) {
    case verdict::done: return false;
    case verdict::refused: throw usage_error{text, false};
    case verdict::refused_with_hint: throw usage_error{text, true};
    default: break;
  }
  if (processes::rank() != 0) {
    const std::size_t split = text.find('\0');
    o.settings.scenario = parse_scenario(text.substr(0, split), "the scenario of rank 0");
    const std::string restart = text.substr(split + 1);
    if (!restart.empty()) o.settings.restart = restart_from_text(restart);
  }
  choose_blocks(o);
  check_memory(o, grid_at);
  return true;
}

// A failure that this process alone knows of: it prints its line and, when
// the run has other processes that may be waiting for it in a collective,
// ends them all at once. Returns the status of a run of one process.
int failed_alone(const std::exception_ptr& failure) noexcept {
  std::fprintf(stderr, "plume: %s\n", processes::as_reported(processes::failure_message(failure)).c_str());
  if (processes::count() > 1) processes::abort_all(1);
  return 1;
}

// An exception that nothing caught (one thrown on a thread of the step, or
// through a function that may not throw) ends the program here, and with it
// every process of the run.
[[noreturn]] void end_on_uncaught() noexcept {
  const std::exception_ptr failure = std::current_exception();
  if (failure) {
    failed_alone(failure);
  } else {
    std::fprintf(stderr, "plume: %s\n", processes::as_reported("ended by a failure it could not handle").c_str());
  }
  processes::abort_all(1);
}

// Reporting a failure takes a little heap: the message and the exception
// that carries it. Under a tight address-space limit the C++ runtime may not
// even have its emergency pool for exceptions, and a heap too full to grow by
// one page would end the program in std::terminate. So check first that the
// heap has some room. Freed, the block stays with the heap for later small
// requests: glibc hands back to the system only what lies beyond its top pad
// of 128 KiB. The check runs before the program's static objects are built
// (the command-line library's among them take heap), hence the priority. The
// block passes through a volatile pointer: a compiler may otherwise drop an
// allocation that is freed unused (clang++ does), and with it the check.
[[gnu::constructor(101)]] void check_heap_room() {
  if (void* volatile room = std::malloc(failure_room_bytes)) {
    std::free(room);
  } else {
    std::fprintf(stderr, "plume: cannot allocate working memory (%zu bytes): %s\n", failure_room_bytes,
                 std::strerror(ENOMEM));
    std::_Exit(1);
  }
}

// Runs the program on this process, every process of the run together.
// Returns the exit status of a request that was complete (0), refused (2),
// stopped by a signal (128 + it), or that failed on every process alike (1):
// those are agreed on, and every process returns. A failure of this process
// alone passes out of it.
int run_program(int& argc, char**& argv) {
  processes::start(argc, argv);
  processes::test_fault(processes::fault_point::start);
  set_subnormals_to_zero();
  // A reader of the log that goes away must not kill the run silently: with
  // SIGPIPE ignored the write fails with EPIPE and is reported like any other.
  std::signal(SIGPIPE, SIG_IGN);
  const bool reports = processes::rank() == 0;
  try {
    options o;
    o.settings.threads = processes::cores_of_this_process();
    if (!parse(argc, argv, o)) return 0;
    stop_signals signals;
    o.settings.checkpoints.signals = &signals;
    const run_end end = run(o.settings);
    // Every line has been flushed and checked; closing reports what the
    // system could only tell at the end (as some network file systems do),
    // so that a status of 0 means the whole log was written.
    processes::together([&] {
      processes::test_fault(processes::fault_point::end);
      errno = 0;
      if (reports && std::fclose(stdout) != 0) {
        throw run_failure(system_reason("cannot write to standard output", errno != 0 ? errno : EIO));
      }
    });
    if (end.signal != 0) {
      if (reports) {
        std::fprintf(stderr, "plume: stopped at pass %d; go on with: %s\n", end.pass,
                     go_on_command(o.settings.checkpoints, o.settings.snapshot_path, default_snapshot_path).c_str());
      }
      return 128 + end.signal;
    }
  } catch (const usage_error& e) {
    if (reports) {
      std::fprintf(stderr, "plume: %s\n", e.message.c_str());
      if (e.hint) std::fprintf(stderr, "Usage: plume [OPTIONS]; run 'plume --help' for the options.\n");
    }
    return usage_status;
  } catch (const checkpoint_error& e) {
    // Found by every process alike as they read the checkpoint's fields,
    // before any file is changed: a refusal, which rank 0 reports.
    if (reports) std::fprintf(stderr, "plume: %s\n", e.what());
    return usage_status;
  } catch (const processes::peer_failure&) {
    return 1;  // the process that failed reports it
  } catch (const processes::reported_failure& e) {
    std::fprintf(stderr, "plume: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // With standard output closed, the snapshot file (or, in a build with
  // MPI, MPI's own files) would take its descriptor and receive the log
  // lines; refuse to start instead, before anything opens a file.
  errno = 0;
  if (fcntl(1, F_GETFD) == -1) {
    std::fprintf(stderr, "plume: cannot write to standard output: %s\n", std::strerror(errno));
    return 1;
  }
  std::set_terminate(end_on_uncaught);
  // Every way out of main ends the run's processes together.
  struct finish_processes {
    ~finish_processes() { processes::finish(); }
  } finishing;
  // A failure of one process alone is not caught under MPI: the program
  // ends in end_on_uncaught, before anything unwinds (whose destructors
  // would wait for the other processes in collectives), and takes every
  // process with it. A run of one process waits for no one: it reports the
  // failure, its files closed.
  if (processes::with_mpi()) return run_program(argc, argv);
  try {
    return run_program(argc, argv);
  } catch (...) {
    return failed_alone(std::current_exception());
  }
}
