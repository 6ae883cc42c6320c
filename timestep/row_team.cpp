#include "timestep/row_team.hpp"

#include <algorithm>
#include <atomic>
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
// then sleeps until it is told of a change, counted in `asleep` while it
// does. A thread that has lost its core to another process would keep a
// spinning one waiting far longer than that, which then sleeps and gives
// its core away instead.
template <class T>
void await_change(const std::atomic<T>& value, T old, std::chrono::nanoseconds spin,
                  std::atomic<int>* asleep = nullptr) noexcept {
  const auto until = std::chrono::steady_clock::now() + spin;
  for (int n = 1; value.load(std::memory_order_acquire) == old; ++n) {
    // The clock is read now and then only: it costs more than a pause.
    if (n % 64 != 0 || std::chrono::steady_clock::now() < until) {
      _mm_pause();
    } else {
      if (asleep != nullptr) asleep->fetch_add(1, std::memory_order_relaxed);
      value.wait(old, std::memory_order_acquire);
      if (asleep != nullptr) asleep->fetch_sub(1, std::memory_order_relaxed);
    }
  }
}

}  // namespace

team_pace::clock::duration team_pace::gain(const shared_sweep& s) noexcept {
  if (s.own_parts == 0) return {};
  const clock::duration took = s.end - s.start;
  const clock::duration per_part = s.own_parts > 1 ? (s.own - s.longest) / (s.own_parts - 1) : s.own;
  return std::min(per_part * s.parts - took, took * (s.threads - 1));
}

void team_pace::judge(const shared_sweep& s) noexcept {
  gained_ += gain(s);
  if (++judged_ < rules_.window) return;
  if (gained_ < clock::duration::zero()) {
    alone_until_ = s.end + next_alone_;
    next_alone_ = std::min(2 * next_alone_, rules_.longest_alone);
  } else {
    next_alone_ = rules_.first_alone;
  }
  gained_ = {};
  judged_ = 0;
}

// A sweep is published as one word: its number (the upper 32 bits), its
// count of parts (bits 16 to 31) and the next part to take (bits 0 to 15).
// A thread takes a part by raising the next part by one; it can take one
// only while the sweep is still the current one and has parts left, so the
// sweep's function and context, written before the word, stay as they are
// until it has finished the part and counted it done.
struct step_team::crew {
  crew(std::chrono::nanoseconds spin, const pace_rules& rules) : spin(spin), pace(rules) {}
  const std::chrono::nanoseconds spin;
  std::atomic<std::uint64_t> sweep{0};
  std::atomic<std::uint32_t> published{0};  // the number of the last sweep (or stop)
  std::atomic<int> done{0};                 // parts of the current sweep done
  std::atomic<int> asleep{0};               // workers that wait asleep for a sweep
  void (*fn)(void*, int, int) = nullptr;
  void* ctx = nullptr;
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  team_pace pace;  // read and judged by the calling thread only

  // Takes and runs parts of the current sweep until none is left; the
  // calling thread times its own in `own`.
  void take_parts(int thread, team_pace::shared_sweep* own = nullptr) noexcept {
    auto last = own != nullptr ? team_pace::clock::now() : team_pace::clock::time_point{};
    std::uint64_t s = sweep.load(std::memory_order_acquire);
    for (;;) {
      const auto parts = static_cast<int>((s >> 16) & 0xffffu);
      const auto next = static_cast<int>(s & 0xffffu);
      if (next >= parts) return;
      if (!sweep.compare_exchange_weak(s, s + 1, std::memory_order_acq_rel, std::memory_order_acquire)) continue;
      fn(ctx, next, thread);
      if (own != nullptr) {
        const auto now = team_pace::clock::now();
        own->own += now - last;
        own->longest = std::max(own->longest, now - last);
        ++own->own_parts;
        last = now;
      }
      if (done.fetch_add(1, std::memory_order_acq_rel) + 1 == parts) done.notify_one();
      s = sweep.load(std::memory_order_acquire);
    }
  }

  void worker(int thread) noexcept {
    std::uint32_t seen = 0;
    for (;;) {
      await_change(published, seen, spin, &asleep);
      seen = published.load(std::memory_order_acquire);
      if (stop.load(std::memory_order_acquire)) return;
      take_parts(thread);
    }
  }

  void publish(std::uint32_t number) noexcept {
    published.store(number, std::memory_order_release);
    published.notify_all();
  }
};

step_team::step_team(int threads, const pace_rules& pace) : size_(threads > 1 ? threads : 1) {
  if (size_ == 1) return;
  using namespace std::chrono_literals;
  // A team with more threads than the process has cores does not spin.
  crew_ = new crew(size_ <= processes::affinity_cores() ? 50us : 0us, pace);
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
  crew_->publish(static_cast<std::uint32_t>(crew_->sweep.load(std::memory_order_relaxed) >> 32) + 1);
  for (auto& w : crew_->workers) w.join();
  delete crew_;
}

void step_team::run_parts(int parts, void (*fn)(void*, int, int), void* ctx) {
  crew* c = crew_;
  // One part, or a sweep while the pace keeps the team alone, is the
  // calling thread's: the others are not woken.
  if (c == nullptr || parts <= 1 || !c->pace.shares(team_pace::clock::now())) {
    for (int k = 0; k < parts; ++k) fn(ctx, k, 0);
    return;
  }
  c->fn = fn;
  c->ctx = ctx;
  c->done.store(0, std::memory_order_relaxed);
  team_pace::shared_sweep seen;
  seen.parts = parts;
  seen.threads = size_;
  seen.start = team_pace::clock::now();
  const auto number = static_cast<std::uint32_t>(c->sweep.load(std::memory_order_relaxed) >> 32) + 1;
  c->sweep.store(static_cast<std::uint64_t>(number) << 32 | static_cast<std::uint64_t>(parts) << 16,
                 std::memory_order_release);
  c->publish(number);
  c->take_parts(0, &seen);
  // The parts that other threads took: wait until they are done.
  for (int done = c->done.load(std::memory_order_acquire); done < parts; done = c->done.load(std::memory_order_acquire)) {
    await_change(c->done, done, c->spin);
  }
  seen.end = team_pace::clock::now();
  c->pace.judge(seen);
}

bool step_team::awake() const noexcept {
  return crew_ == nullptr || crew_->asleep.load(std::memory_order_relaxed) == 0;
}
