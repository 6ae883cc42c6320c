#pragma once
// The team of threads that shares the sweeps of the production step.
//
// A run starts one team for its whole length and hands it to the step
// through the step's workspace; every sweep then splits its rows into one
// chunk per thread, and the threads meet at a barrier before and after each
// sweep. A team of one runs every sweep on the calling thread. Every row is
// computed by the same code whichever thread takes it, so the results are
// the same bits for every thread count.
#include <type_traits>
#include <utility>

class step_team {
 public:
  // Starts threads - 1 workers beside the calling thread, in the calling
  // thread's floating-point mode. Throws run_failure if a thread cannot be
  // started (the workers already started are stopped first).
  explicit step_team(int threads);
  ~step_team();
  step_team(const step_team&) = delete;
  step_team& operator=(const step_team&) = delete;

  int size() const noexcept { return size_; }

  // Calls f(k, first, last) for every chunk k of the rows [j0, j1), one
  // chunk per thread (row_chunk); returns when all are done. Only the
  // thread that made the team may call it.
  template <class F>
  void for_each_chunk(int j0, int j1, F&& f) {
    run(j0, j1, [](void* c, int k, int first, int last) { (*static_cast<std::remove_reference_t<F>*>(c))(k, first, last); },
        &f);
  }

  struct crew;  // the workers and their barriers

 private:
  void run(int j0, int j1, void (*fn)(void*, int, int, int), void* ctx);
  int size_ = 1;
  crew* crew_ = nullptr;
};

// Rows [first, last) of chunk k of the range [j0, j1) split into `parts`
// nearly equal chunks.
std::pair<int, int> row_chunk(int j0, int j1, int k, int parts) noexcept;
