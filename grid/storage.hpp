#pragma once
// Field-sized blocks of floats obtained from the heap, with the failure of an
// allocation turned into a run_failure that names the block.
#include <cstddef>
#include <memory>

struct aligned_delete {
  void operator()(float* p) const noexcept;
};
using float_block = std::unique_ptr<float[], aligned_delete>;

// A block of ni * nj floats (each extent clamped at 0), zero-filled, aligned
// for the widest vector loads. `name` names the block in the failure message;
// the byte size is checked for overflow before memory is requested.
float_block allocate_zeroed(const char* name, long long ni, long long nj);
