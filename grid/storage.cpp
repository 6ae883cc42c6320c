#include "grid/storage.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "grid/failure.hpp"

namespace {
constexpr std::align_val_t block_alignment{64};
}

void aligned_delete::operator()(float* p) const noexcept { ::operator delete[](p, block_alignment); }

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
  // Zero elements still get a distinct, valid block.
  float* p = static_cast<float*>(::operator new[]((count == 0 ? 1 : count) * sizeof(float), block_alignment, std::nothrow));
  if (p == nullptr) {
    throw run_failure(system_reason(std::string("cannot allocate ") + name + " (" + std::to_string(count * sizeof(float)) +
                                        " bytes)",
                                    ENOMEM));
  }
  for (std::size_t k = 0; k < count; ++k) p[k] = 0.0f;
  return float_block(p);
}
