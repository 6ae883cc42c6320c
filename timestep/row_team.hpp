#pragma once
// The team of threads that shares the sweeps of the production step.
//
// A run starts one team for its whole length (a step_team object); while it
// exists, every sweep of the step splits its rows into one chunk per thread
// and the threads meet at a barrier before and after each sweep. Without a
// team the sweeps run on the calling thread alone. Every row is computed by
// the same code whichever thread takes it, so the results are the same bits
// for every thread count.
#include <type_traits>
#include <utility>

class step_team {
 public:
  // Starts threads - 1 workers beside the calling thread, in the calling
  // thread's floating-point mode, and makes this the team of the step.
  // Throws run_failure if a thread cannot be started. One team at a time.
  explicit step_team(int threads);
  ~step_team();
  step_team(const step_team&) = delete;
  step_team& operator=(const step_team&) = delete;

  int size() const noexcept { return size_; }

  struct crew;  // the workers and their barriers

 private:
  friend void for_each_chunk(int, int, void (*)(void*, int, int, int), void*);
  int size_ = 1;
  crew* crew_ = nullptr;
};

// The cores this process may run on (its CPU affinity), at least 1.
int available_cores() noexcept;

// Threads of the current team (1 when there is none).
int step_threads() noexcept;

// Rows [first, last) of chunk k of the range [j0, j1) split into `parts`
// nearly equal chunks.
std::pair<int, int> row_chunk(int j0, int j1, int k, int parts) noexcept;

// Calls fn(ctx, k, first, last) for every chunk k of [j0, j1), one chunk per
// thread of the current team; returns when all are done.
void for_each_chunk(int j0, int j1, void (*fn)(void*, int, int, int), void* ctx);

template <class F>
void for_each_chunk(int j0, int j1, F&& f) {
  for_each_chunk(
      j0, j1, [](void* c, int k, int first, int last) { (*static_cast<std::remove_reference_t<F>*>(c))(k, first, last); },
      &f);
}
