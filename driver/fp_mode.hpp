#pragma once
// The processor's floating-point mode of the run: subnormal results are
// flushed to zero (FTZ) and subnormal operands read as zero (DAZ). The model's
// output bits depend on it, so the program and every test that runs model
// arithmetic set it before anything else.
#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

inline void set_subnormals_to_zero() noexcept {
#if defined(__SSE__) || defined(__x86_64__)
  constexpr unsigned flush_to_zero = 0x8000u;
  constexpr unsigned denormals_are_zero = 0x0040u;
  _mm_setcsr(_mm_getcsr() | flush_to_zero | denormals_are_zero);
#else
#error "the run needs a processor with flush-to-zero and denormals-are-zero control"
#endif
}
