// A shortened run through the library: the real start-up, time loop and
// outputs, stopped after a given pass. Used to compare builds (portable
// against host-tuned, sanitized) on the same bytes without the full run.
// Usage: plume_short_run OUTDIR LAST_PASS
// Writes OUTDIR/console.log and OUTDIR/test_withPollutant.dat.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/fp_mode.hpp"
#include "driver/run.hpp"
#include "grid/failure.hpp"

int main(int argc, char** argv) {
  set_subnormals_to_zero();
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s OUTDIR LAST_PASS\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  char* end = nullptr;
  const long last = std::strtol(argv[2], &end, 10);
  if (*end != '\0' || last < 0 || last > 57600) {
    std::fprintf(stderr, "%s: LAST_PASS must be a whole number from 0 to 57600\n", argv[0]);
    return 2;
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
    run(run_settings{shortened, dir + "/test_withPollutant.dat", log, log_path});
  } catch (const run_failure& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
  }
  return std::fclose(log) == 0 ? 0 : 1;
}
