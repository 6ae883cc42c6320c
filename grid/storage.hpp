#pragma once
// Field-sized blocks of floats obtained from the heap, with the failure of an
// allocation turned into a run_failure that names the block.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

struct aligned_delete {
  void operator()(float* p) const noexcept;
};
using float_block = std::unique_ptr<float[], aligned_delete>;

// A block of ni * nj floats (each extent clamped at 0), zero-filled, aligned
// for the widest vector loads. `name` names the block in the failure message;
// the byte size is checked for overflow before memory is requested.
float_block allocate_zeroed(const char* name, long long ni, long long nj);

// Stores value(k) at points [from, to) of a field, a chunk of points at a
// time, writing a chunk only where it changes a bit of what the field
// holds: every point ends with its value either way. The fields come fresh
// from the system, zero, and a page of them is cleared and mapped for the
// run only where the run first writes it (on a virtual machine, about a
// millisecond for each 2 MiB). Where a field stays +0 over most of the grid
// (the pollutant at the start, the vorticity of a uniform flow), its pages
// so stay unwritten.
template <class Value>
void store_changed(float* field, std::ptrdiff_t from, std::ptrdiff_t to, Value value) {
  constexpr std::ptrdiff_t chunk = 256;
  float values[chunk];
  for (std::ptrdiff_t start = from; start < to; start += chunk) {
    const std::ptrdiff_t n = std::min(chunk, to - start);
    for (std::ptrdiff_t k = 0; k < n; ++k) values[k] = value(start + k);
    const auto bytes = static_cast<std::size_t>(n) * sizeof(float);
    if (std::memcmp(field + start, values, bytes) != 0) std::memcpy(field + start, values, bytes);
  }
}

// Zeroed blocks of floats, one after another in one allocation, each aligned
// as allocate_zeroed's: the fields that a run reads and writes from its first
// steps. The allocation starts at a 2 MiB boundary where that room is free
// and asks the system to back it with 2 MiB pages, so that the fields' first
// touches cost a page fault per 2 MiB rather than one per 4 KiB: on a
// virtual machine each fault takes several microseconds, which adds up to a
// tenth of a short run on the reference grid. Fields allocated apart, each
// smaller than such a page, could not use one. The blocks' contents are the
// same either way. Under AddressSanitizer each block is an allocation of its
// own, so that a run past a block's end is still caught.
class float_blocks {
 public:
  float_blocks() = default;
  // Blocks of counts[k] floats. `name` names them all in the failure
  // message (run_failure) if the memory cannot be had.
  float_blocks(const std::string& name, const std::vector<std::size_t>& counts);
  float_blocks(float_blocks&& other) noexcept;
  float_blocks& operator=(float_blocks&& other) noexcept;
  float_blocks(const float_blocks&) = delete;
  float_blocks& operator=(const float_blocks&) = delete;
  ~float_blocks();

  float* operator[](std::size_t k) const noexcept { return starts_[k]; }
  std::size_t size() const noexcept { return starts_.size(); }

 private:
  void release() noexcept;
  void* mapping_ = nullptr;  // the allocation, or nullptr
  std::size_t mapped_bytes_ = 0;
  std::vector<float_block> separate_;  // the blocks under AddressSanitizer
  std::vector<float*> starts_;
};
