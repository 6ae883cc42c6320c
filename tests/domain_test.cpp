// The module `domain`: bounds, the nineteen arrays and the memory layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <limits>

#include "support/reference_case.hpp"
#include "grid/domain.hpp"
#include "support/module_arrays.hpp"

namespace {

TEST(Gridpara, FixesTheBounds) {
  domain::gridpara(reference::nx, reference::ny);
  using namespace domain;
  EXPECT_EQ((std::array{ids, ide, jds, jde, ims, ime, jms, jme}), (std::array{1, 401, 1, 401, -1, 403, -1, 403}));
}

TEST(Gridpara, FollowsTheGridSize) {
  domain::gridpara(61, 41);
  using namespace domain;
  EXPECT_EQ((std::array{ids, ide, jds, jde, ims, ime, jms, jme}), (std::array{1, 61, 1, 41, -1, 63, -1, 43}));
  const auto arrays = module_arrays();
  for (std::size_t k = 0; k < arrays.size(); ++k)
    EXPECT_EQ(arrays[k].size, k < 15 ? 65u * 45u : k == 15 ? 65u : 45u) << arrays[k].name;
  domain::gridpara(reference::nx, reference::ny);
}

TEST(Gridpara, EveryArrayIsPositiveZeroEvenWhenTheMemoryWasDirty) {
  domain::gridpara(reference::nx, reference::ny);
  // Dirty every array, then set the module up again: whatever memory the new
  // arrays get, they start at +0.0.
  for (const module_array& a : module_arrays()) std::fill_n(a.data, a.size, -std::numeric_limits<float>::quiet_NaN());
  domain::gridpara(reference::nx, reference::ny);
  const auto arrays = module_arrays();
  ASSERT_EQ(arrays.size(), 19u);
  for (std::size_t k = 0; k < arrays.size(); ++k) {
    // Fifteen 2-D fields, then x, y, fx and fy.
    EXPECT_EQ(arrays[k].size, k < 15 ? 405u * 405u : 405u) << arrays[k].name;
    EXPECT_EQ(count_not(arrays[k], 0u), 0u) << arrays[k].name;
  }
}

TEST(Gridpara, ArraysAreSeparateBlocks) {
  domain::gridpara(reference::nx, reference::ny);
  auto arrays = module_arrays();
  std::sort(arrays.begin(), arrays.end(), [](const module_array& a, const module_array& b) {
    return std::less<const float*>()(a.data, b.data);
  });
  for (std::size_t k = 1; k < arrays.size(); ++k) {
    EXPECT_FALSE(std::less<const float*>()(arrays[k].data, arrays[k - 1].data + arrays[k - 1].size))
        << arrays[k - 1].name << " overlaps " << arrays[k].name;
  }
}

TEST(Layout, LinearPositionOfAnElement) {
  // The configured bounds: rows of 405 floats, (ids, jds) at 812.
  EXPECT_EQ(at(1, 1, -1, 403, -1), 812);
  EXPECT_EQ(at(-1, -1, -1, 403, -1), 0);
  EXPECT_EQ(at(403, 403, -1, 403, -1), 405 * 405 - 1);
  EXPECT_EQ(at(7, 9, -1, 403, -1) - at(6, 9, -1, 403, -1), 1);
  EXPECT_EQ(at(7, 10, -1, 403, -1) - at(7, 9, -1, 403, -1), 405);
  // Other bounds: the row length follows ime - ims + 1, not the grid's.
  EXPECT_EQ(at(4, -1, 3, 7, -2), 1 + 1 * 5);
  EXPECT_EQ(field_size(-1, 403, -1, 403), 164025u);
  EXPECT_EQ(field_size(3, 7, -2, 0), 15u);
  EXPECT_EQ(field_size(3, 2, -2, 0), 0u);
  EXPECT_EQ(field_size(3, 7, 1, -5), 0u);
}

}  // namespace
