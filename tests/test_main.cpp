// Test runner: the model's arithmetic is only defined with subnormals
// flushed to zero, so the mode is set before any test runs.
#include <gtest/gtest.h>

#include "driver/fp_mode.hpp"

int main(int argc, char** argv) {
  set_subnormals_to_zero();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
