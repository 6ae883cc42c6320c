// Field-sized blocks: zero bits everywhere, aligned for the widest vector
// loads, also where the memory held something before, and the failure of a
// size that cannot be had.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "grid/failure.hpp"
#include "grid/storage.hpp"

namespace {

bool all_plus_zero(const float* p, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    if (std::bit_cast<std::uint32_t>(p[k]) != 0u) return false;
  }
  return true;
}

TEST(Storage, BlocksAreAlignedAndZeroEvenWhereMemoryIsReused) {
  // Small and large blocks (the large ones come straight from the system,
  // the small ones from memory freed a moment ago), each dirtied before it
  // is freed.
  for (const long long ni : {1LL, 7LL, 333LL, 405LL, 2005LL}) {
    for (int round = 0; round < 3; ++round) {
      float_block b = allocate_zeroed("test block", ni, ni);
      const auto n = static_cast<std::size_t>(ni * ni);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.get()) % 64, 0u) << ni;
      EXPECT_TRUE(all_plus_zero(b.get(), n)) << ni << " round " << round;
      for (std::size_t k = 0; k < n; ++k) b[k] = -0.0f;
    }
  }
  // An empty block is still a distinct, valid one.
  const float_block a = allocate_zeroed("empty", 0, 5), b = allocate_zeroed("empty", -3, 5);
  EXPECT_NE(a.get(), nullptr);
  EXPECT_NE(a.get(), b.get());
}

TEST(Storage, ASizeThatOverflowsOrCannotBeHadFailsNamingTheBlock) {
  EXPECT_THROW(
      {
        try {
          allocate_zeroed("field u", 1LL << 40, 1LL << 40);
        } catch (const run_failure& e) {
          EXPECT_STREQ(e.what(), "cannot allocate field u: its size of 1099511627776 x 1099511627776 floats overflows");
          throw;
        }
      },
      run_failure);
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer stops the process at an allocation it cannot make";
#endif
  EXPECT_THROW(
      {
        try {
          allocate_zeroed("field v", 1LL << 30, 1LL << 30);
        } catch (const run_failure& e) {
          EXPECT_STREQ(e.what(), "cannot allocate field v (4611686018427387904 bytes): Cannot allocate memory");
          throw;
        }
      },
      run_failure);
}

TEST(Storage, BlocksTogetherAreZeroAlignedApartAndKeptThroughAMove) {
  // Blocks of a field of the reference grid, of none, of one float and of
  // an odd count, and a second set made where the first one was.
  const std::vector<std::size_t> counts{405 * 405, 0, 1, 333, 405 * 405};
  for (int round = 0; round < 2; ++round) {
    float_blocks blocks("test blocks", counts);
    ASSERT_EQ(blocks.size(), counts.size());
    for (std::size_t k = 0; k < counts.size(); ++k) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(blocks[k]) % 64, 0u) << k;
      EXPECT_TRUE(all_plus_zero(blocks[k], counts[k])) << k << " round " << round;
      for (std::size_t i = 0; i < counts[k]; ++i) blocks[k][i] = -0.0f;
    }
    // No block reaches into another (in one allocation they follow one
    // another; under AddressSanitizer each is its own).
    std::vector<std::pair<const float*, const float*>> extents;
    for (std::size_t k = 0; k < counts.size(); ++k) {
      extents.emplace_back(blocks[k], blocks[k] + std::max<std::size_t>(counts[k], 1));
    }
    std::sort(extents.begin(), extents.end());
    for (std::size_t k = 0; k + 1 < extents.size(); ++k) EXPECT_LE(extents[k].second, extents[k + 1].first) << k;
    float* const first = blocks[0];
    float_blocks moved(std::move(blocks));
    EXPECT_EQ(moved[0], first);
    EXPECT_EQ(moved[4][405 * 405 - 1], -0.0f);
  }
}

TEST(Storage, BlocksTogetherThatOverflowOrCannotBeHadFailNamingThem) {
  const std::vector<std::size_t> too_many{std::size_t{1} << 62, std::size_t{1} << 62};
  try {
    float_blocks blocks("the model's fields", too_many);
    ADD_FAILURE() << "no failure";
  } catch (const run_failure& e) {
    EXPECT_STREQ(e.what(), "cannot allocate the model's fields: their size overflows");
  }
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer stops the process at an allocation it cannot make";
#endif
  const std::vector<std::size_t> huge{std::size_t{1} << 60};
  try {
    float_blocks blocks("the model's fields", huge);
    ADD_FAILURE() << "no failure";
  } catch (const run_failure& e) {
    EXPECT_STREQ(e.what(), "cannot allocate the model's fields (4611686018427387904 bytes): Cannot allocate memory");
  }
}

// store_changed leaves every point with its value, bit for bit (-0 over +0,
// a NaN's payload), and writes no chunk whose bits it would not change:
// a page that holds them already may be read-only.
TEST(Storage, StoreChangedGivesEveryPointItsBitsAndWritesOnlyWhatChanges) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t n = 3 * page / sizeof(float);
  void* const mapping = ::mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapping, MAP_FAILED);
  auto* const field = static_cast<float*>(mapping);
  const float nan_a = std::bit_cast<float>(0x7fc00001u), nan_b = std::bit_cast<float>(0x7fc00002u);
  const auto value = [&](std::ptrdiff_t k) {
    if (k % 7 == 0) return -0.0f;
    if (k % 11 == 0) return nan_b;
    return static_cast<float>(k % 5);
  };
  for (std::size_t k = 0; k < n; ++k) field[k] = k % 11 == 0 ? nan_a : 0.0f;
  // The first page already holds its values and is made read-only.
  const auto per_page = static_cast<std::ptrdiff_t>(page / sizeof(float));
  for (std::ptrdiff_t k = 0; k < per_page; ++k) field[k] = value(k);
  ASSERT_EQ(::mprotect(mapping, page, PROT_READ), 0);
  store_changed(field, 0, static_cast<std::ptrdiff_t>(n) - 3, value);
  int wrong = 0;
  for (std::ptrdiff_t k = 0; k < static_cast<std::ptrdiff_t>(n) - 3; ++k) {
    wrong += std::bit_cast<std::uint32_t>(field[k]) != std::bit_cast<std::uint32_t>(value(k));
  }
  EXPECT_EQ(wrong, 0);
  for (std::size_t k = n - 3; k < n; ++k) {  // past the end: as it was
    EXPECT_EQ(std::bit_cast<std::uint32_t>(field[k]), std::bit_cast<std::uint32_t>(k % 11 == 0 ? nan_a : 0.0f)) << k;
  }
  ::munmap(mapping, 3 * page);
}

}  // namespace
