// plume: a pollutant carried by a two-dimensional flow over 16 model hours.
// Takes no arguments and reads nothing; writes the progress log to standard
// output and the snapshots to ./test_withPollutant.dat.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include <fcntl.h>

#include "driver/fp_mode.hpp"
#include "driver/run.hpp"
#include "grid/failure.hpp"

namespace {
constexpr std::size_t failure_room_bytes = 65536;
}

int main() {
  set_subnormals_to_zero();
  // A reader of the log that goes away must not kill the run silently: with
  // SIGPIPE ignored the write fails with EPIPE and is reported like any other.
  std::signal(SIGPIPE, SIG_IGN);
  // Reporting a failure takes a little heap: the message and the exception
  // that carries it. Under a tight address-space limit the C++ runtime may
  // not even have its emergency pool for exceptions, and a heap too full to
  // grow by one page would end the program in std::terminate. So check first
  // that the heap has some room. Freed, the block stays with the heap for
  // later small requests: glibc hands back to the system only what lies
  // beyond its top pad of 128 KiB. The block passes through a volatile
  // pointer: a compiler may otherwise drop an allocation that is freed
  // unused (clang++ does), and with it the check.
  if (void* volatile room = std::malloc(failure_room_bytes)) {
    std::free(room);
  } else {
    std::fprintf(stderr, "plume: cannot allocate working memory (%zu bytes): %s\n", failure_room_bytes,
                 std::strerror(ENOMEM));
    return 1;
  }
  try {
    // With standard output closed, the snapshot file would take its
    // descriptor and receive the log lines; refuse to start instead.
    errno = 0;
    if (fcntl(1, F_GETFD) == -1) throw run_failure(system_reason("cannot write to standard output", errno));
    run(run_settings{});
    // Every line has been flushed and checked; closing reports what the
    // system could only tell at the end (as some network file systems do),
    // so that a status of 0 means the whole log was written.
    errno = 0;
    if (std::fclose(stdout) != 0) {
      throw run_failure(system_reason("cannot write to standard output", errno != 0 ? errno : EIO));
    }
  } catch (const run_failure& e) {
    std::fprintf(stderr, "plume: %s\n", e.what());
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "plume: cannot allocate memory\n");
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "plume: %s\n", e.what());
    return 1;
  }
  return 0;
}
