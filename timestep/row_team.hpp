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
// the results are the same bits for every thread count. A team whose
// sharing stops paying runs its sweeps on the calling thread alone for a
// while (see team_pace).
#include <chrono>
#include <memory>
#include <type_traits>

// How a team_pace judges: the shared sweeps judged together, and how long
// the sweeps go to the calling thread alone after a window lost, at first
// and at most.
struct pace_rules {
  int window = 16;
  std::chrono::steady_clock::duration first_alone = std::chrono::milliseconds(2);
  std::chrono::steady_clock::duration longest_alone = std::chrono::milliseconds(256);
};

// Whether handing a sweep's parts out to the team pays, judged from the
// sweeps that were. A thread that shares its core with another process
// may start a part late or lose its core in the middle of one, and the
// sweep then waits for it; or it wakes too late to take any part, and
// waking it was work for nothing. After each shared sweep the team
// compares its time with what the calling thread would have taken alone,
// judged from the calling thread's own parts; over a window of shared
// sweeps the differences add up. A window that lost sends the sweeps to
// the calling thread alone for a while, the other threads asleep and
// their cores left to whatever else runs there, twice as long after each
// window lost in a row; then the sweeps are shared again to see. A window
// that won keeps the team sharing and the next time alone at its
// shortest. It decides only which thread computes a part, never what.
class team_pace {
 public:
  using clock = std::chrono::steady_clock;
  explicit team_pace(const pace_rules& rules = {}) : rules_(rules), next_alone_(rules.first_alone) {}
  // What the calling thread saw of one shared sweep.
  struct shared_sweep {
    clock::time_point start;    // before the parts were handed out
    clock::time_point end;      // when the last part was done
    clock::duration own{};      // the calling thread's parts, in all
    clock::duration longest{};  // the longest of them
    int own_parts = 0;          // how many parts the calling thread took
    int parts = 0;              // of the sweep
    int threads = 0;            // of the team
  };
  // Whether a sweep that starts at `now` is shared.
  bool shares(clock::time_point now) const noexcept { return now >= alone_until_; }
  // What sharing gained on a sweep (negative: lost): the calling thread's
  // time per part, without its longest part (in which it may itself have
  // lost its core), times the parts, less the sweep's time; at most what
  // the team's other threads could have saved.
  static clock::duration gain(const shared_sweep& s) noexcept;
  void judge(const shared_sweep& s) noexcept;

 private:
  pace_rules rules_;
  clock::time_point alone_until_{};
  clock::duration next_alone_;
  clock::duration gained_{};  // over the window so far
  int judged_ = 0;            // shared sweeps in the window so far
};

class step_team {
 public:
  // Starts threads - 1 workers beside the calling thread, in the calling
  // thread's floating-point mode, sharing sweeps at the pace the rules
  // give. Throws run_failure if a thread cannot be started (the workers
  // already started are stopped first).
  explicit step_team(int threads, const pace_rules& pace = {});
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
  // all are done. One part, or a sweep while the team's pace keeps it
  // alone, runs on the calling thread without waking the others. Only the
  // thread that made the team may call it.
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
