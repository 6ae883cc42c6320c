#pragma once
// The processes of one run. A build without MPI runs as one process; a build
// with MPI (cmake -DPLUME_MPI=ON) runs as the processes that mpirun starts,
// which talk only through MPI. Every collective below must be called by
// every process of the run, in the same order.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "grid/failure.hpp"

namespace processes {

// Starts and ends the run's processes (MPI_Init and MPI_Finalize in a build
// with MPI). The main thread alone talks to the others.
void start(int& argc, char**& argv);
void finish() noexcept;

// Whether this program is built with MPI, to run as the processes of mpirun.
bool with_mpi() noexcept;

// This process's rank (0 .. count - 1) and the number of processes.
int rank() noexcept;
int count() noexcept;

// The cores this process may run on (its CPU affinity), at least 1.
int affinity_cores() noexcept;

// The cores this process may use, divided among the processes of the run on
// the same machine that may use the same cores; at least 1. The default
// thread count of the process, so that the default never oversubscribes the
// machine.
int cores_of_this_process() noexcept;

// The number of processes of the run on this process's machine.
int on_this_machine() noexcept;

// Rank 0's text, on every process.
void broadcast(std::string& text);

// The sum over all processes of a count, on every process (for example
// bytes on one machine, summed over its processes: see machine_sum).
std::uint64_t sum(std::uint64_t value);
// The same, over the processes of this process's machine only.
std::uint64_t machine_sum(std::uint64_t value);

// The largest value over all processes, on every process.
long long max(long long value);

// The exclusive or of every process's value, on every process.
std::uint32_t exclusive_or(std::uint32_t value);
// The same, element by element, for a list of values of the same length on
// every process; the result replaces them.
void exclusive_or(std::vector<std::uint32_t>& values);

// Whether any process has failed: every process passes its own failure
// message ("" when it has not failed). Returns the rank of the lowest
// process that failed, or -1; that process keeps its message, the others
// learn only that one failed.
int first_failure(const std::string& message);

// Flags that every process raises on its own (a signal it received) and
// that the run must act on together, at the same pass. Each pass every
// process gives its own and learns the bitwise or of all of them: at once
// for a run of one process; under MPI those of the pass before, their
// reduction running while the pass is computed (0 at the first pass).
class pass_flags {
 public:
  pass_flags();
  ~pass_flags();
  pass_flags(const pass_flags&) = delete;
  pass_flags& operator=(const pass_flags&) = delete;
  int agree(int mine);

 private:
  struct state;
  std::unique_ptr<state> state_;
};

// Ends every process at once with the given exit status: for the failures
// that leave a process unable to take part in the collectives.
[[noreturn]] void abort_all(int status) noexcept;

// The mark of a failure that every process of the run has learnt of, at
// the same point (see together): each may unwind from it, meeting the same
// collectives on the way. Any other failure is this process's alone.
struct agreed_failure {
  virtual ~agreed_failure() = default;
};

// A failure of another process of the run, which that process reports.
struct peer_failure : std::runtime_error, agreed_failure {
  explicit peer_failure(int rank) : std::runtime_error("rank " + std::to_string(rank) + " failed") {}
};

// A failure that every process has learnt of and that this process reports,
// its message as the run reports it.
struct reported_failure : run_failure, agreed_failure {
  using run_failure::run_failure;
};

// The message of a failure of this process as the run reports it: named
// with the process's rank when the run has several.
inline std::string as_reported(const std::string& message) {
  return count() > 1 ? "rank " + std::to_string(rank()) + ": " + message : message;
}

// The message of a failure of this process, of any kind, as the run
// reports it (never empty): a run_failure's or a standard exception's own
// text, "cannot allocate memory" for memory that could not be had.
std::string failure_message(const std::exception_ptr& failure);

// Prints the line of a failure of this process and ends every process at
// once: for a failure in the middle of a collective that the others may be
// waiting in for ever.
[[noreturn]] inline void end_at_once(const std::string& message) noexcept {
  std::fprintf(stderr, "plume: %s\n", as_reported(message).c_str());
  abort_all(1);
}

// Runs `what` on every process, then learns whether it failed on any, with
// an exception of any type. If so, every process throws: the lowest that
// failed a reported_failure with its message, named with its rank when the
// run has several processes, every other a peer_failure. So the run reports
// one failure, once, and every process stops at the same point. A failure
// that `what` passes on from an earlier agreement keeps the process that
// reports it.
//
// `what` must not call a collective itself: a process that failed before
// it would meet the others' collective with this agreement. Its shape is
// local work that may fail; the collectives come after the agreement, and
// report their outcome to the next one.
template <class What>
void together(What&& what) {
  std::string message;
  bool reported = false;
  try {
    what();
  } catch (const reported_failure& e) {
    message = e.what();
    reported = true;
  } catch (const peer_failure&) {
    // The process that reports it takes part with its message.
  } catch (...) {
    message = failure_message(std::current_exception());
  }
  const int first = first_failure(message);
  if (first < 0) return;
  if (first == rank()) throw reported_failure(reported ? message : as_reported(message));
  throw peer_failure(first);
}

}  // namespace processes
