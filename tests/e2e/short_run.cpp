// A shortened run through the library: the real start-up, time loop and
// outputs, stopped after a given pass. Used to compare builds (portable
// against host-tuned, sanitized) on the same bytes without the full run.
// Usage: plume_short_run OUTDIR LAST_PASS [THREADS]
// THREADS defaults to the cores available, as in the program. Writes OUTDIR/console.log and OUTDIR/test_withPollutant.dat.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "decomposition/process_group.hpp"
#include "driver/fp_mode.hpp"
#include "driver/run.hpp"
#include "grid/failure.hpp"

int main(int argc, char** argv) {
  processes::start(argc, argv);
  struct finish_processes {
    ~finish_processes() { processes::finish(); }
  } finishing;
  set_subnormals_to_zero();
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s OUTDIR LAST_PASS [THREADS]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  char* end = nullptr;
  const long last = std::strtol(argv[2], &end, 10);
  if (*end != '\0' || last < 0 || last > 57600) {
    std::fprintf(stderr, "%s: LAST_PASS must be a whole number from 0 to 57600\n", argv[0]);
    return 2;
  }
  run_settings settings;
  settings.threads = processes::cores_of_this_process();
  if (argc == 4) {
    const long threads = std::strtol(argv[3], &end, 10);
    if (*end != '\0' || threads < 1 || threads > 64) {
      std::fprintf(stderr, "%s: THREADS must be a whole number from 1 to 64\n", argv[0]);
      return 2;
    }
    settings.threads = static_cast<int>(threads);
  }
  const std::string log_path = dir + "/console.log";
  std::FILE* log = std::fopen(log_path.c_str(), "w");
  if (log == nullptr) {
    std::perror(log_path.c_str());
    return 1;
  }
  scenario shortened;
  shortened.duration_s = static_cast<int>(last);
  try {
    settings.scenario = shortened;
    settings.snapshot_path = dir + "/test_withPollutant.dat";
    settings.console = log;
    settings.console_name = log_path;
    run(settings);
  } catch (const run_failure& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
  }
  return std::fclose(log) == 0 ? 0 : 1;
}
