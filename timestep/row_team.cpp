#include "timestep/row_team.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <xmmintrin.h>

#include "decomposition/process_group.hpp"
#include "grid/failure.hpp"

namespace {

// Waits until `value` differs from `old`: spins for `spin` at most (a
// sweep of a small or mostly repeated grid is over in a few tens of
// microseconds, not much more than it takes to wake a sleeping thread),
// then sleeps until it is told of a change. A thread that has lost its
// core to another process would keep a spinning one waiting far longer
// than that, which then sleeps and gives its core away instead. While it
// sleeps, `asleep` (if given) counts it.
template <class T>
void await_change(const std::atomic<T>& value, T old, std::chrono::nanoseconds spin,
                  std::atomic<int>* asleep = nullptr) noexcept {
  const auto until = std::chrono::steady_clock::now() + spin;
  for (int n = 1; value.load(std::memory_order_acquire) == old; ++n) {
    // The clock is read now and then only: it costs more than a pause.
    if (n % 64 != 0 || std::chrono::steady_clock::now() < until) {
      _mm_pause();
    } else {
      if (asleep != nullptr) asleep->fetch_add(1, std::memory_order_acq_rel);
      value.wait(old, std::memory_order_acquire);
      if (asleep != nullptr) asleep->fetch_sub(1, std::memory_order_acq_rel);
    }
  }
}

}  // namespace

int team_pace::kind_of(long work) noexcept {
  return std::min(static_cast<int>(std::bit_width(static_cast<unsigned long>(std::max(work, 0L)))), kinds - 1);
}

team_pace::choice team_pace::choose(long work) const noexcept {
  if (work < rules_.least_work) return {.kind = -1, .work = work, .shared = false};
  choice c{kind_of(work), work, false};
  switch (rules_.sharing) {
    case pace_rules::verdicts::always_shared: c.shared = true; break;
    case pace_rules::verdicts::never_shared: break;
    case pace_rules::verdicts::measured: {
      const record& r = records_[c.kind];
      c.shared = r.hold == 0 ? trial_shares(r.seen) : r.shared;
      break;
    }
  }
  return c;
}

void team_pace::restart_trial(record& r) noexcept {
  r.hold = 0;
  r.seen = 0;
  r.took[0] = r.took[1] = {};
  r.work[0] = r.work[1] = 0;
  r.slow = 0;
}

void team_pace::settle(record& r, bool shared, int hold) noexcept {
  restart_trial(r);
  r.shared = shared;
  r.hold = r.last_hold = hold;
}

bool team_pace::sharing_wins(double alone_rate, clock::duration took, long work) const noexcept {
  // took / work < alone_rate * (m - 1) / m, for work > 0.
  const double m = rules_.share_margin;
  return work > 0 && nanoseconds(took).count() * m < alone_rate * static_cast<double>(work) * (m - 1);
}

void team_pace::judge(const choice& c, clock::duration took, bool woke) noexcept {
  if (c.kind < 0 || rules_.sharing != pace_rules::verdicts::measured) return;
  record& r = records_[c.kind];
  // The time a unit of work takes alone: in the trial so far, or before.
  if (r.hold == 0 && r.work[0] > 0) r.alone_rate = nanoseconds(r.took[0]).count() / static_cast<double>(r.work[0]);
  // A shared sweep after sweeps alone that woke a thread asleep through
  // them took that thread's wake-up besides its work (on a virtual machine,
  // longer than a sweep of ten thousand cells), which the shared sweeps
  // after it, finding the thread awake, do not: it counts among its kind's
  // sweeps, untimed.
  const bool timed = !(c.shared && woke);
  // A slow shared sweep (more than slowest_shared times its work alone)
  // counts as that long; slow_sweeps of the kind's last slow_window timed
  // shared sweeps send it alone at once.
  if (timed && c.shared && r.alone_rate > 0.0) {
    const clock::duration slowest = std::chrono::duration_cast<clock::duration>(
        nanoseconds(rules_.slowest_shared * r.alone_rate * static_cast<double>(c.work)));
    const bool slow = took > slowest;
    r.slow = (r.slow << 1) | (slow ? 1U : 0U);
    if (std::popcount(r.slow & ((1U << rules_.slow_window) - 1)) >= rules_.slow_sweeps) {
      conclude(r, false);
      return;
    }
    if (slow) took = slowest;
  }
  if (timed) {
    const int way = c.shared ? 1 : 0;
    r.took[way] += took;
    r.work[way] += c.work;
  }
  ++r.seen;
  if (r.hold > 0) {
    // A verdict to share is checked as it holds, every half trial of
    // sweeps, against the time alone.
    if (r.shared && r.seen % std::max(rules_.trial / 2, 1) == 0) {
      if (!sharing_wins(r.alone_rate, r.took[1], r.work[1])) {
        conclude(r, false);
        return;
      }
      r.took[1] = {};
      r.work[1] = 0;
    }
    // The verdict has held long enough: a new trial.
    if (r.seen >= r.hold) restart_trial(r);
    return;
  }
  if (r.seen < rules_.trial) return;
  const bool shared = r.work[0] > 0 && sharing_wins(nanoseconds(r.took[0]).count() / static_cast<double>(r.work[0]),
                                                    r.took[1], r.work[1]);
  conclude(r, shared);
}

void team_pace::conclude(record& r, bool shared) const noexcept {
  const bool again = r.last_hold > 0 && shared == r.shared;
  settle(r, shared, again ? std::min(rules_.hold_growth * r.last_hold, rules_.longest_hold) : rules_.first_hold);
}

// A sweep's parts are cut into one range per thread, its home parts
// (step_team::home_parts). Each range is published as one word: the sweep's
// number (the upper 32 bits), its next part from the front (bits 16 to 31)
// and one past its last part not yet taken (bits 0 to 15). A thread takes a
// part of a range by raising the front or lowering the back by one; it can
// take one only while the range's word is still that of the sweep it
// looked for (a thread takes parts of one sweep at a time, its own first)
// and has parts left, so the sweep's function, context and count of parts,
// written before the words, stay as they are until it has finished the part
// and counted it done. Each word has a cache line of its own: the threads
// take their own parts without handing lines to one another.
struct step_team::crew {
  crew(int threads, std::chrono::nanoseconds spin, const pace_rules& rules)
      : spin(spin), ranges(static_cast<std::size_t>(threads)), pace(rules) {}
  struct alignas(64) range {
    std::atomic<std::uint64_t> word{0};
  };
  const std::chrono::nanoseconds spin;
  std::uint32_t number = 0;                 // the last sweep handed out, counted by the calling thread
  std::atomic<std::uint32_t> published{0};  // the number of the last sweep (or stop)
  std::atomic<int> done{0};                 // parts of the current sweep done
  std::atomic<int> asleep{0};               // workers asleep, waiting for a sweep
  void (*fn)(void*, int, int) = nullptr;
  void* ctx = nullptr;
  int parts = 0;
  step_team::helper help;
  // The threads in the current sweep's help, as one word: the sweep's
  // number (the upper 32 bits), whether it is closed to them (bit 31) and
  // how many are in it (bits 0 to 30). A thread comes in only while the
  // word is that of its sweep and open, and the calling thread closes it
  // once every part is done and none is in it: so the help and its context
  // stay as they are while a thread uses them.
  alignas(64) std::atomic<std::uint64_t> helpers{0};
  static constexpr std::uint64_t helpers_closed = std::uint64_t{1} << 31;
  std::vector<range> ranges;  // one per thread
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  team_pace pace;   // read and judged by the calling thread only
  long shared = 0;  // sweeps handed out, counted by the calling thread
  bool last_handed_out = false;  // whether the last sweep with work was, as the calling thread saw it

  static std::uint64_t range_word(std::uint32_t sweep, int front, int back) noexcept {
    return static_cast<std::uint64_t>(sweep) << 32 | static_cast<std::uint64_t>(front) << 16 |
           static_cast<std::uint64_t>(back);
  }

  // Takes a part of range r in the given sweep, from the front (its home
  // thread) or from the back (another thread); -1 once none is left.
  int take(range& r, std::uint32_t sweep, bool front) noexcept {
    std::uint64_t w = r.word.load(std::memory_order_acquire);
    for (;;) {
      if (static_cast<std::uint32_t>(w >> 32) != sweep) return -1;
      const auto first = static_cast<int>((w >> 16) & 0xffffu);
      const auto end = static_cast<int>(w & 0xffffu);
      if (first >= end) return -1;
      const std::uint64_t taken = front ? w + (1u << 16) : w - 1;
      if (r.word.compare_exchange_weak(w, taken, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return front ? first : end - 1;
      }
    }
  }

  // Takes and runs parts of the given sweep until none is left: the
  // thread's own from the front, then the others' from the back, the next
  // thread's first.
  void take_parts(int thread, std::uint32_t sweep) noexcept {
    const auto size = static_cast<int>(ranges.size());
    for (int n = 0; n < size; ++n) {
      range& r = ranges[static_cast<std::size_t>((thread + n) % size)];
      for (int k = take(r, sweep, n == 0); k >= 0; k = take(r, sweep, n == 0)) {
        const int count = parts;
        fn(ctx, k, thread);
        if (done.fetch_add(1, std::memory_order_acq_rel) + 1 == count) done.notify_one();
      }
    }
  }

  // With no part of the sweep left to take: its help, if it has one and
  // the word lets the thread in.
  void lend_a_hand(int thread, std::uint32_t sweep) noexcept {
    std::uint64_t w = helpers.load(std::memory_order_acquire);
    do {
      if (static_cast<std::uint32_t>(w >> 32) != sweep || (w & helpers_closed) != 0) return;
    } while (!helpers.compare_exchange_weak(w, w + 1, std::memory_order_acq_rel, std::memory_order_acquire));
    help.fn(help.ctx, thread);
    helpers.fetch_sub(1, std::memory_order_acq_rel);
    helpers.notify_one();
  }

  // Once every part is done: waits until no thread is in the help, and
  // closes it to any that comes late.
  void close_help(std::uint32_t sweep) noexcept {
    const std::uint64_t open = static_cast<std::uint64_t>(sweep) << 32;
    for (std::uint64_t w = open;
         !helpers.compare_exchange_weak(w, open | helpers_closed, std::memory_order_acq_rel, std::memory_order_acquire);
         w = open) {
      if (w != open) await_change(helpers, w, spin);
    }
  }

  void worker(int thread) noexcept {
    std::uint32_t seen = 0;
    for (;;) {
      await_change(published, seen, spin, &asleep);
      seen = published.load(std::memory_order_acquire);
      if (stop.load(std::memory_order_acquire)) return;
      take_parts(thread, seen);
      lend_a_hand(thread, seen);
    }
  }

  void publish(std::uint32_t sweep) noexcept {
    published.store(sweep, std::memory_order_release);
    published.notify_all();
  }
};

step_team::parts_range step_team::home_parts(int thread, int parts, int threads) noexcept {
  const auto at = [&](int t) { return static_cast<int>(static_cast<long>(parts) * t / threads); };
  return {at(thread), at(thread + 1)};
}

step_team::step_team(int threads, const pace_rules& pace) : size_(threads > 1 ? threads : 1) {
  if (size_ == 1) return;
  using namespace std::chrono_literals;
  // A team with more threads than the process has cores does not spin.
  crew_ = new crew(size_, size_ <= processes::affinity_cores() ? 50us : 0us, pace);
  const unsigned mode = _mm_getcsr();
  try {
    for (int k = 1; k < size_; ++k) {
      crew_->workers.emplace_back([c = crew_, k, mode] {
        _mm_setcsr(mode);
        c->worker(k);
      });
    }
  } catch (const std::system_error& e) {
    const auto started = static_cast<int>(crew_->workers.size());
    crew_->stop.store(true, std::memory_order_release);
    crew_->publish(1);
    for (auto& w : crew_->workers) w.join();
    delete crew_;
    crew_ = nullptr;
    throw run_failure(system_reason("cannot start thread " + std::to_string(started + 1) + " of " +
                                        std::to_string(size_),
                                    e.code().value() != 0 ? e.code().value() : EAGAIN));
  }
}

step_team::~step_team() {
  if (crew_ == nullptr) return;
  crew_->stop.store(true, std::memory_order_release);
  crew_->publish(crew_->number + 1);
  for (auto& w : crew_->workers) w.join();
  delete crew_;
}

void step_team::run_parts(int parts, void (*fn)(void*, int, int), void* ctx, const team_pace::choice& choice,
                          const helper& help) {
  crew* c = crew_;
  const bool handed_out = c != nullptr && parts > 1 && c->pace.shares(choice);
  const bool judged = c != nullptr && choice.kind >= 0;
  const auto start = judged ? team_pace::clock::now() : team_pace::clock::time_point{};
  bool woke = false;  // handed out after sweeps alone, it woke a worker that slept through them
  if (!handed_out) {
    // The calling thread's alone: the others are not woken.
    for (int k = 0; k < parts; ++k) fn(ctx, k, 0);
  } else {
    c->fn = fn;
    c->ctx = ctx;
    c->parts = parts;
    c->help = help;
    c->done.store(0, std::memory_order_relaxed);
    woke = !c->last_handed_out && c->asleep.load(std::memory_order_acquire) > 0;
    const std::uint32_t number = ++c->number;
    c->helpers.store(static_cast<std::uint64_t>(number) << 32 | (help.fn == nullptr ? crew::helpers_closed : 0),
                     std::memory_order_relaxed);
    for (int t = 0; t < size_; ++t) {
      const parts_range home = home_parts(t, parts, size_);
      c->ranges[static_cast<std::size_t>(t)].word.store(crew::range_word(number, home.first, home.end),
                                                        std::memory_order_release);
    }
    c->publish(number);
    c->take_parts(0, number);
    c->lend_a_hand(0, number);
    // The parts that other threads took: wait until they are done, and
    // until no thread is in the help.
    for (int done = c->done.load(std::memory_order_acquire); done < parts;
         done = c->done.load(std::memory_order_acquire)) {
      await_change(c->done, done, c->spin);
    }
    if (help.fn != nullptr) c->close_help(number);
    ++c->shared;
  }
  if (judged) c->pace.judge({choice.kind, choice.work, handed_out}, team_pace::clock::now() - start, woke);
  if (c != nullptr && parts > 0) c->last_handed_out = handed_out;
}

void step_team::wait_for_change(const std::atomic<int>& value, int old) const noexcept {
  await_change(value, old, crew_ != nullptr ? crew_->spin : std::chrono::nanoseconds{0});
}

void step_team::get_ready() noexcept {
  crew* c = crew_;
  if (c == nullptr || !c->last_handed_out) return;
  // A sweep without parts: the ranges still hold the numbers of earlier
  // sweeps, so a worker that wakes finds nothing to take and spins again.
  c->publish(++c->number);
}

team_pace::choice step_team::choose(long work) const noexcept {
  if (crew_ == nullptr) return {.kind = -1, .work = work, .shared = false};
  return crew_->pace.choose(work);
}

long step_team::shared_sweeps() const noexcept { return crew_ == nullptr ? 0 : crew_->shared; }
