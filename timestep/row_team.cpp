#include "timestep/row_team.hpp"

#include <barrier>
#include <cerrno>
#include <system_error>
#include <thread>
#include <vector>

#include <xmmintrin.h>

#include "grid/failure.hpp"

std::pair<int, int> row_chunk(int j0, int j1, int k, int parts) noexcept {
  const long n = j1 - j0;
  return {j0 + static_cast<int>(n * k / parts), j0 + static_cast<int>(n * (k + 1) / parts)};
}

// Workers wait at `start` for the next sweep, take their chunk, and meet
// again at `done` when it is done. The sweep's description is written by the
// calling thread before it arrives at `start`, which orders it before every
// worker's reads.
struct step_team::crew {
  explicit crew(int threads) : start(threads), done(threads) {}
  std::barrier<> start;
  std::barrier<> done;
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

namespace {
step_team* current = nullptr;
}

step_team::step_team(int threads) : size_(threads > 1 ? threads : 1) {
  if (current != nullptr) throw run_failure("a thread team is already running");
  if (size_ > 1) {
    crew_ = new crew(size_);
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
      for (int k = started + 1; k < size_; ++k) crew_->start.arrive_and_drop();
      crew_->start.arrive_and_wait();
      for (auto& w : crew_->workers) w.join();
      delete crew_;
      crew_ = nullptr;
      throw run_failure(system_reason("cannot start thread " + std::to_string(started + 1) + " of " +
                                          std::to_string(size_),
                                      e.code().value() != 0 ? e.code().value() : EAGAIN));
    }
  }
  current = this;
}

step_team::~step_team() {
  current = nullptr;
  if (crew_ == nullptr) return;
  crew_->stop = true;
  crew_->start.arrive_and_wait();
  for (auto& w : crew_->workers) w.join();
  delete crew_;
}

int step_threads() noexcept { return current != nullptr ? current->size() : 1; }

void for_each_chunk(int j0, int j1, void (*fn)(void*, int, int, int), void* ctx) {
  step_team::crew* c = current != nullptr ? current->crew_ : nullptr;
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
