#include "grid/storage.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include <sys/mman.h>

#include "grid/failure.hpp"

namespace {

constexpr std::size_t block_alignment = 64;
constexpr std::uintptr_t large_page = std::uintptr_t{1} << 21;
constexpr std::uintptr_t small_page = std::uintptr_t{1} << 12;

std::uintptr_t round_up(std::uintptr_t n, std::uintptr_t to) noexcept { return (n + to - 1) / to * to; }

#if defined(__SANITIZE_ADDRESS__)
constexpr bool blocks_apart = true;
#else
constexpr bool blocks_apart = false;
#endif

// A block lies at the first multiple of the alignment in its allocation
// that leaves room before it for the allocation's start, which the block's
// deleter gets back from there.
void** allocation_slot(float* block) noexcept { return reinterpret_cast<void**>(block) - 1; }

// Asks the system to back the whole 2 MiB pages of a large block with large
// pages: each is then first touched in one page fault, not 512. Only a
// hint, which the system may ignore; the block's contents are the same.
void ask_for_large_pages(void* start, std::size_t bytes) noexcept {
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

float_blocks::float_blocks(const std::string& name, const std::vector<std::size_t>& counts) {
  const auto fail = [&](const std::string& why) { throw run_failure("cannot allocate " + name + why); };
  // Each block takes whole multiples of the alignment, one at least, so
  // that every block is distinct and aligned.
  std::size_t bytes = 0;
  for (const std::size_t n : counts) {
    if (n > (std::numeric_limits<std::size_t>::max() / 2 - bytes) / sizeof(float)) fail(": their size overflows");
    bytes += round_up(std::max<std::size_t>(n * sizeof(float), 1), block_alignment);
  }
  if (blocks_apart) {
    for (const std::size_t n : counts) {
      separate_.push_back(allocate_zeroed(name.c_str(), static_cast<long long>(n), 1));
      starts_.push_back(separate_.back().get());
    }
    return;
  }
  try {
    starts_.reserve(counts.size());
  } catch (const std::bad_alloc&) {
    fail(" (" + std::to_string(counts.size() * sizeof(float*)) + " bytes): " + std::strerror(ENOMEM));
  }
  // Fresh pages from the system are zero already. The mapping is asked for
  // at a 2 MiB boundary: the one below where the system puts it, if nothing
  // lies there. Never more than the blocks' length is asked for, so that a
  // limit on the address space is met as exactly as by allocate_zeroed.
  const std::size_t kept = round_up(bytes, small_page);
  const auto map = [kept](void* at, int flags) {
    return mmap(at, kept, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0);
  };
  void* m = map(nullptr, 0);
  if (m == MAP_FAILED) fail(" (" + std::to_string(bytes) + " bytes): " + std::strerror(errno));
  const auto at = reinterpret_cast<std::uintptr_t>(m);
  if (at % large_page != 0) {
    munmap(m, kept);
    m = map(reinterpret_cast<void*>(at / large_page * large_page), MAP_FIXED_NOREPLACE);
    if (m == MAP_FAILED) m = map(nullptr, 0);
    if (m == MAP_FAILED) fail(" (" + std::to_string(bytes) + " bytes): " + std::strerror(errno));
  }
  mapping_ = m;
  mapped_bytes_ = kept;
  madvise(mapping_, kept, MADV_HUGEPAGE);
  auto* next = static_cast<unsigned char*>(mapping_);
  for (const std::size_t n : counts) {
    starts_.push_back(reinterpret_cast<float*>(next));
    next += round_up(std::max<std::size_t>(n * sizeof(float), 1), block_alignment);
  }
}

float_blocks::float_blocks(float_blocks&& other) noexcept
    : mapping_(std::exchange(other.mapping_, nullptr)),
      mapped_bytes_(std::exchange(other.mapped_bytes_, 0)),
      separate_(std::move(other.separate_)),
      starts_(std::move(other.starts_)) {}

float_blocks& float_blocks::operator=(float_blocks&& other) noexcept {
  if (this != &other) {
    release();
    mapping_ = std::exchange(other.mapping_, nullptr);
    mapped_bytes_ = std::exchange(other.mapped_bytes_, 0);
    separate_ = std::move(other.separate_);
    starts_ = std::move(other.starts_);
  }
  return *this;
}

float_blocks::~float_blocks() { release(); }

void float_blocks::release() noexcept {
  if (mapping_ != nullptr) munmap(mapping_, mapped_bytes_);
  mapping_ = nullptr;
  mapped_bytes_ = 0;
  separate_.clear();
  starts_.clear();
}
