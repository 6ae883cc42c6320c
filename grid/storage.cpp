#include "grid/storage.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include <sys/mman.h>

#include "grid/failure.hpp"

namespace {

constexpr std::size_t block_alignment = 64;

// A block lies at the first multiple of the alignment in its allocation
// that leaves room before it for the allocation's start, which the block's
// deleter gets back from there.
void** allocation_slot(float* block) noexcept { return reinterpret_cast<void**>(block) - 1; }

// Asks the system to back the whole 2 MiB pages of a large block with large
// pages: each is then first touched in one page fault, not 512. Only a
// hint, which the system may ignore; the block's contents are the same.
void ask_for_large_pages(void* start, std::size_t bytes) noexcept {
  constexpr std::uintptr_t large_page = std::uintptr_t{1} << 21;
  const auto from = (reinterpret_cast<std::uintptr_t>(start) + large_page - 1) & ~(large_page - 1);
  const auto to = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(large_page - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

}  // namespace

void aligned_delete::operator()(float* p) const noexcept { std::free(*allocation_slot(p)); }

std::string system_reason(const std::string& what, int err) { return what + ": " + std::strerror(err); }

float_block allocate_zeroed(const char* name, long long ni, long long nj) {
  if (ni < 0) ni = 0;
  if (nj < 0) nj = 0;
  constexpr auto limit = static_cast<unsigned long long>(std::numeric_limits<std::ptrdiff_t>::max());
  const auto uni = static_cast<unsigned long long>(ni);
  const auto unj = static_cast<unsigned long long>(nj);
  if (uni != 0 && unj > limit / sizeof(float) / uni) {
    throw run_failure(std::string("cannot allocate ") + name + ": its size of " + std::to_string(ni) + " x " +
                      std::to_string(nj) + " floats overflows");
  }
  const std::size_t count = static_cast<std::size_t>(uni * unj);
  // calloc hands out memory that is fresh from the system as it is, zero
  // already, without writing it: each page of a block is first touched
  // where the run first uses it, and one that the run never uses costs
  // nothing.
  const std::size_t bytes = count * sizeof(float) + sizeof(void*) + block_alignment - 1;
  void* start = std::calloc(bytes, 1);
  if (start == nullptr) {
    throw run_failure(system_reason(std::string("cannot allocate ") + name + " (" + std::to_string(count * sizeof(float)) +
                                        " bytes)",
                                    ENOMEM));
  }
  const auto first = reinterpret_cast<std::uintptr_t>(start) + sizeof(void*);
  auto* p = reinterpret_cast<float*>((first + block_alignment - 1) / block_alignment * block_alignment);
  *allocation_slot(p) = start;
  ask_for_large_pages(start, bytes);
  return float_block(p);
}
