#pragma once
// The team of threads that shares the sweeps of the production step.
//
// A run starts one team for its whole length and hands it to the step
// through the step's workspace. A sweep is cut into parts, and the parts
// into one run of consecutive parts per thread, its home parts (the same
// ones in every sweep of as many parts, so that each thread keeps working
// on the data it wrote the sweep before). Each thread takes its own parts
// in order; once they are done it takes the others' from the far end of
// their runs, so that a thread that is slow to wake, or has lost its core
// to another process, leaves the parts it has not started to the others
// rather than holding them up. A team of one runs every part on the
// calling thread.
// Every part is computed by the same code whichever thread takes it, so
// the results are the same bits for every thread count. Which sweeps are
// shared the team judges by measuring them (see team_pace).
#include <atomic>
#include <chrono>
#include <memory>
#include <type_traits>

// How a team_pace judges: the sweeps of a trial (a quarter alone, then
// half shared, then a quarter alone, so that a machine slowly changing its
// speed favours neither way), how many sweeps of a kind keep the verdict
// of a trial at first and at most, and how many times longer it holds each
// time a trial repeats it, the part of its time alone that sharing must
// save to be kept (1/share_margin), how many times its time alone a
// shared sweep may take before it counts as slow (slowest_shared), and how
// many slow ones among a kind's last timed shared sweeps (slow_window, at
// most 32) send it alone at once (slow_sweeps). `sharing` fixes the
// verdict instead: every sweep shared, or none. A sweep of less than
// least_work units runs on the calling thread alone and is not judged,
// whatever the verdict: handing it out would cost more than the others
// save.
struct pace_rules {
  enum class verdicts { measured, always_shared, never_shared };
  long least_work = 20000;
  int trial = 16;
  int first_hold = 64;
  int longest_hold = 16384;
  int hold_growth = 4;
  int share_margin = 16;
  int slowest_shared = 2;
  int slow_sweeps = 2;
  int slow_window = 4;
  verdicts sharing = verdicts::measured;
};

// Whether handing a sweep's parts out to the team pays, judged from the
// time that sweeps of the same kind took, shared and alone. What sharing
// costs depends on the machine: waking a sleeping thread, a thread that
// shares its core with another process and starts a part late, the data
// that the other threads' caches hold afterwards. So the team measures it.
// Sweeps are of one kind when their work (in the caller's units, about a
// nanosecond each) has the same power of two. A trial of each kind runs
// some of its sweeps alone and some shared and compares their times per
// unit of work; the verdict then holds for a number of that kind's sweeps,
// more each time a trial gives the same verdict again, and a trial
// follows. A verdict to share is checked as it holds: shared sweeps that
// no longer save the margin against the time alone end it. A shared sweep
// that takes far longer than its work takes alone is slow: a thread lost
// its core in the middle of a part, and the others waited for it. One slow
// sweep now and then is a moment's loss (on a virtual machine, a few
// milliseconds when the host runs something else), which sharing the next
// sweeps of the kind does not repeat: it counts as taking no more than
// slowest_shared times its time alone. Slow sweeps in a row (slow_sweeps
// of the last slow_window) mean that a thread keeps losing its core, and
// send the kind alone at once, in a trial or not, as a trial's verdict
// would. A shared sweep after sweeps alone that had to wake a thread
// asleep through them is counted but not timed: that wake-up is paid once,
// where sharing starts. It decides only which thread computes a part,
// never what.
class team_pace {
 public:
  using clock = std::chrono::steady_clock;
  explicit team_pace(const pace_rules& rules = {}) : rules_(rules) {}
  // A sweep as chosen: its kind and work, and whether it is handed out.
  // The kind -1 is a sweep that is not judged (its caller gave no work, or
  // too little to hand out).
  struct choice {
    int kind = -1;
    long work = 0;
    bool shared = true;
  };
  static constexpr int kinds = 64;
  static int kind_of(long work) noexcept;
  choice choose(long work) const noexcept;
  // Whether a sweep of that choice is handed out.
  bool shares(const choice& c) const noexcept {
    return c.shared && rules_.sharing != pace_rules::verdicts::never_shared;
  }
  // What a sweep of that choice took, and whether, shared after sweeps
  // alone, it woke a thread that slept through them.
  void judge(const choice& c, clock::duration took, bool woke = false) noexcept;

 private:
  struct record {
    int seen = 0;               // sweeps of the kind in the trial, or in the verdict's hold
    int hold = 0;               // 0 while trying, else the verdict's sweeps
    bool shared = false;        // the verdict
    clock::duration took[2]{};  // alone and shared, in the trial (or in a verdict to share, shared)
    long work[2]{};
    int last_hold = 0;        // the hold of the last verdict
    double alone_rate = 0.0;  // nanoseconds a unit of work alone, as last measured (0: not yet)
    unsigned slow = 0;  // the last timed shared sweeps since the trial began, one bit each (1: slow), the last lowest
  };
  using nanoseconds = std::chrono::duration<double, std::nano>;
  bool trial_shares(int seen) const noexcept { return seen >= rules_.trial / 4 && seen < rules_.trial * 3 / 4; }
  // Whether sweeps shared that took `took` for `work` units saved the
  // margin against `alone_rate` nanoseconds a unit.
  bool sharing_wins(double alone_rate, clock::duration took, long work) const noexcept;
  // A new trial: its sweeps and times so far are let go.
  static void restart_trial(record& r) noexcept;
  // A new verdict, held for `hold` sweeps.
  static void settle(record& r, bool shared, int hold) noexcept;
  // A verdict reached: held for the shortest time, or if it repeats the
  // last one, for longer than that one.
  void conclude(record& r, bool shared) const noexcept;
  pace_rules rules_;
  record records_[kinds];
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

  // Whether a sweep of `work` units is worth handing out, as the team has
  // measured such sweeps so far (never, in a team of one). Pass the
  // choice to for_each_part, which times the sweep for the next choices.
  team_pace::choice choose(long work) const noexcept;

  // Calls f(k, thread) for k = 0 .. parts - 1, each part on whichever
  // thread of the team takes it (thread 0 is the calling one, the others
  // 1 .. size() - 1), at most one part at a time per thread; returns when
  // all are done. One part, or a sweep chosen alone, runs on the calling
  // thread without waking the others. Only the thread that made the team
  // may call it.
  template <class F>
  void for_each_part(int parts, F&& f, const team_pace::choice& choice = {}) {
    using G = std::remove_reference_t<F>;
    run_parts(parts, [](void* c, int k, int thread) { (*static_cast<G*>(c))(k, thread); },
              const_cast<void*>(static_cast<const void*>(std::addressof(f))), choice, {});
  }

  // As above, and in a sweep handed out, a thread of the team that finds no
  // part left to take calls help(thread) before it rests: it may take over
  // some of the work of the parts still running, where they offer it. Each
  // thread calls it at most once a sweep, and the sweep returns once every
  // call has returned. A sweep on the calling thread alone never calls it.
  template <class F, class H>
  void for_each_part(int parts, F&& f, const team_pace::choice& choice, H&& help) {
    using G = std::remove_reference_t<F>;
    using I = std::remove_reference_t<H>;
    run_parts(parts, [](void* c, int k, int thread) { (*static_cast<G*>(c))(k, thread); },
              const_cast<void*>(static_cast<const void*>(std::addressof(f))), choice,
              {[](void* c, int thread) { (*static_cast<I*>(c))(thread); },
               const_cast<void*>(static_cast<const void*>(std::addressof(help)))});
  }

  // Tells the team that a sweep may come soon, once the caller has done
  // some work of its own: where the last sweep was handed out, a worker
  // that has gone to sleep wakes now and spins, rather than once the parts
  // are out (waking a sleeping thread takes tens of microseconds on some
  // machines, as long as a small sweep). Nothing otherwise.
  void get_ready() noexcept;

  // Waits until `value` differs from `old`, as the team's threads wait for
  // each other's parts: spinning for a while, where each thread has a core
  // of its own, then asleep until value.notify_all(). For a part or a help
  // that waits for another's progress: one that spins while the thread it
  // waits for has lost its core would keep that thread from it.
  void wait_for_change(const std::atomic<int>& value, int old) const noexcept;

  // The home parts of `thread` in a sweep of `parts` parts on a team of
  // `threads`: [first, end), thread 0's first, each about as many.
  struct parts_range {
    int first, end;
  };
  static parts_range home_parts(int thread, int parts, int threads) noexcept;

  // The sweeps handed out to the team so far.
  long shared_sweeps() const noexcept;

  struct crew;  // the workers and what they share

 private:
  // What a thread with no part left calls, if anything (fn null: nothing).
  struct helper {
    void (*fn)(void*, int) = nullptr;
    void* ctx = nullptr;
  };
  void run_parts(int parts, void (*fn)(void*, int, int), void* ctx, const team_pace::choice& choice,
                 const helper& help);
  int size_ = 1;
  crew* crew_ = nullptr;
};
