// Test runner: the model's arithmetic is only defined with subnormals
// flushed to zero, so the mode is set before any test runs. In a build with
// MPI the tests run as one process of their own (MPI started and ended
// around them), which is what the program's code for processes expects.
#include <gtest/gtest.h>

#include "decomposition/process_group.hpp"
#include "driver/fp_mode.hpp"

int main(int argc, char** argv) {
  processes::start(argc, argv);
  set_subnormals_to_zero();
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  processes::finish();
  return result;
}
