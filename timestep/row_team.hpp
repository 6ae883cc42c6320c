#pragma once
// Splits a sweep's rows into chunks for the threads of the production step.
//
// The program is single-threaded unless built with PLUME_THREADS > 1; then
// the step's sweeps share their rows among that many threads. Every row is
// computed by the same code whichever thread takes it, so the results are
// identical bit for bit.
#include <type_traits>
#include <utility>

inline constexpr int step_threads = PLUME_STEP_THREADS;

// Rows [first, last) of chunk k of the range [j0, j1) split into
// step_threads nearly equal chunks.
std::pair<int, int> row_chunk(int j0, int j1, int k) noexcept;

// Calls fn(ctx, k, first, last) for every chunk k of [j0, j1), the chunks
// in parallel when the build has several threads; returns when all are done.
void for_each_chunk(int j0, int j1, void (*fn)(void*, int, int, int), void* ctx);

template <class F>
void for_each_chunk(int j0, int j1, F&& f) {
  for_each_chunk(
      j0, j1, [](void* c, int k, int first, int last) { (*static_cast<std::remove_reference_t<F>*>(c))(k, first, last); },
      &f);
}
