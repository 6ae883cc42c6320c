#pragma once
// The team of threads that shares the sweeps of the production step.
//
// A run starts one team for its whole length and hands it to the step
// through the step's workspace. A sweep is cut into parts; the calling
// thread and the workers each take the next part that nobody has taken
// until none is left, so that a thread that is slow to wake, or has lost
// its core to another process, leaves its share to the others rather than
// holding them up. A team of one runs every part on the calling thread.
// Every part is computed by the same code whichever thread takes it, so
// the results are the same bits for every thread count.
#include <memory>
#include <type_traits>

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

  // Whether every worker is awake, waiting for the next sweep without
  // sleeping: a sweep then starts on all threads at once, where a sleeping
  // thread takes tens of microseconds to wake. Only a hint (a worker may
  // fall asleep just after); it changes how fast the team is, never what a
  // sweep computes.
  bool awake() const noexcept;

  // Calls f(k, thread) for k = 0 .. parts - 1, each part on whichever
  // thread of the team takes it (thread 0 is the calling one, the others
  // 1 .. size() - 1), at most one part at a time per thread; returns when
  // all are done. One part runs on the calling thread without waking the
  // others. Only the thread that made the team may call it.
  template <class F>
  void for_each_part(int parts, F&& f) {
    using G = std::remove_reference_t<F>;
    run_parts(parts, [](void* c, int k, int thread) { (*static_cast<G*>(c))(k, thread); },
              const_cast<void*>(static_cast<const void*>(std::addressof(f))));
  }

  struct crew;  // the workers and what they share

 private:
  void run_parts(int parts, void (*fn)(void*, int, int), void* ctx);
  int size_ = 1;
  crew* crew_ = nullptr;
};
