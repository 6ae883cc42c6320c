#include "timestep/row_team.hpp"

#if PLUME_STEP_THREADS > 1
#include <barrier>
#include <thread>
#include <vector>
#include <xmmintrin.h>
#endif

std::pair<int, int> row_chunk(int j0, int j1, int k) noexcept {
  const long n = j1 - j0;
  return {j0 + static_cast<int>(n * k / step_threads), j0 + static_cast<int>(n * (k + 1) / step_threads)};
}

#if PLUME_STEP_THREADS > 1

namespace {

// Threads that wait at a barrier for the next sweep, take their chunk, and
// meet again at a second barrier when it is done. They run in the
// floating-point mode of the thread that starts them.
class team {
 public:
  team() {
    const unsigned mode = _mm_getcsr();
    for (int k = 1; k < step_threads; ++k) {
      workers_.emplace_back([this, k, mode] {
        _mm_setcsr(mode);
        for (;;) {
          start_.arrive_and_wait();
          if (stop_) return;
          work(k);
          done_.arrive_and_wait();
        }
      });
    }
  }
  ~team() {
    stop_ = true;
    start_.arrive_and_wait();
    for (auto& w : workers_) w.join();
  }
  void run(int j0, int j1, void (*fn)(void*, int, int, int), void* ctx) {
    j0_ = j0;
    j1_ = j1;
    fn_ = fn;
    ctx_ = ctx;
    start_.arrive_and_wait();
    work(0);
    done_.arrive_and_wait();
  }

 private:
  void work(int k) {
    const auto [first, last] = row_chunk(j0_, j1_, k);
    fn_(ctx_, k, first, last);
  }
  std::barrier<> start_{step_threads};
  std::barrier<> done_{step_threads};
  int j0_ = 0, j1_ = 0;
  void (*fn_)(void*, int, int, int) = nullptr;
  void* ctx_ = nullptr;
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace

void for_each_chunk(int j0, int j1, void (*fn)(void*, int, int, int), void* ctx) {
  static team threads;
  threads.run(j0, j1, fn, ctx);
}

#else

void for_each_chunk(int j0, int j1, void (*fn)(void*, int, int, int), void* ctx) { fn(ctx, 0, j0, j1); }

#endif
