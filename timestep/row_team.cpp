#include "timestep/row_team.hpp"

#include <atomic>
#include <chrono>
#include <cerrno>
#include <system_error>
#include <thread>
#include <vector>

#include <xmmintrin.h>

#include "decomposition/process_group.hpp"
#include "grid/failure.hpp"

std::pair<int, int> row_chunk(int j0, int j1, int k, int parts) noexcept {
  const long n = j1 - j0;
  return {j0 + static_cast<int>(n * k / parts), j0 + static_cast<int>(n * (k + 1) / parts)};
}

namespace {

// A barrier for the few threads of the team, met several times per step.
// A thread that arrives early spins for a few tens of microseconds (a sweep
// of a small or mostly repeated grid is over in about that, not much more
// than it takes to wake a sleeping thread), then sleeps until the last one
// arrives. A thread that has lost its core to another process would keep
// the spinning ones waiting far longer than that; they sleep and give their
// cores away instead. A team with more threads than the process has cores
// does not spin at all.
class spin_barrier {
 public:
  spin_barrier(int count, std::chrono::nanoseconds spin) : count_(count), spin_(spin) {}

  void arrive_and_wait() noexcept {
    const unsigned phase = phase_.load(std::memory_order_acquire);
    if (arrived_.fetch_add(1, std::memory_order_acq_rel) + 1 == count_.load(std::memory_order_relaxed)) {
      arrived_.store(0, std::memory_order_relaxed);
      phase_.fetch_add(1, std::memory_order_release);
      phase_.notify_all();
      return;
    }
    const auto until = std::chrono::steady_clock::now() + spin_;
    for (int spin = 1; phase_.load(std::memory_order_acquire) == phase; ++spin) {
      // The clock is read now and then only: it costs more than a pause.
      if (spin % 64 != 0 || std::chrono::steady_clock::now() < until) {
        _mm_pause();
      } else {
        phase_.wait(phase, std::memory_order_acquire);
      }
    }
  }

  // Lowers the count of threads that meet here (before anyone waits).
  void lower_count(int by) noexcept { count_.fetch_sub(by, std::memory_order_relaxed); }

 private:
  std::atomic<int> count_;
  const std::chrono::nanoseconds spin_;
  std::atomic<int> arrived_{0};
  std::atomic<unsigned> phase_{0};
};

}  // namespace

// Workers wait at `start` for the next sweep, take their chunk, and meet
// again at `done` when it is done. The sweep's description is written by the
// calling thread before it arrives at `start`, which orders it before every
// worker's reads.
struct step_team::crew {
  crew(int threads, std::chrono::nanoseconds spin) : start(threads, spin), done(threads, spin) {}
  spin_barrier start;
  spin_barrier done;
  int j0 = 0, j1 = 0;
  void (*fn)(void*, int, int, int) = nullptr;
  void* ctx = nullptr;
  bool stop = false;
  int parts = 1;
  std::vector<std::thread> workers;

  void work(int k) {
    const auto [first, last] = row_chunk(j0, j1, k, parts);
    fn(ctx, k, first, last);
  }
};

step_team::step_team(int threads) : size_(threads > 1 ? threads : 1) {
  if (size_ > 1) {
    using namespace std::chrono_literals;
    crew_ = new crew(size_, size_ <= processes::affinity_cores() ? 50us : 0us);
    crew_->parts = size_;
    const unsigned mode = _mm_getcsr();
    try {
      for (int k = 1; k < size_; ++k) {
        crew_->workers.emplace_back([c = crew_, k, mode] {
          _mm_setcsr(mode);
          for (;;) {
            c->start.arrive_and_wait();
            if (c->stop) return;
            c->work(k);
            c->done.arrive_and_wait();
          }
        });
      }
    } catch (const std::system_error& e) {
      // The workers already started wait at `start`; the missing ones are
      // counted off so that the barrier lets the others through to stop.
      const auto started = static_cast<int>(crew_->workers.size());
      crew_->stop = true;
      crew_->start.lower_count(size_ - 1 - started);
      crew_->start.arrive_and_wait();
      for (auto& w : crew_->workers) w.join();
      delete crew_;
      crew_ = nullptr;
      throw run_failure(system_reason("cannot start thread " + std::to_string(started + 1) + " of " +
                                          std::to_string(size_),
                                      e.code().value() != 0 ? e.code().value() : EAGAIN));
    }
  }
}

step_team::~step_team() {
  if (crew_ == nullptr) return;
  crew_->stop = true;
  crew_->start.arrive_and_wait();
  for (auto& w : crew_->workers) w.join();
  delete crew_;
}

void step_team::run(int j0, int j1, void (*fn)(void*, int, int, int), void* ctx) {
  crew* c = crew_;
  if (c == nullptr) {
    fn(ctx, 0, j0, j1);
    return;
  }
  c->j0 = j0;
  c->j1 = j1;
  c->fn = fn;
  c->ctx = ctx;
  c->start.arrive_and_wait();
  c->work(0);
  c->done.arrive_and_wait();
}
