// Prints the points where the test hook can make a process fail, one a
// line, for the test that goes through all of them.
#include <cstdio>

#include "decomposition/test_fault.hpp"

int main() {
  for (const std::string_view point : processes::fault_point::all) {
    std::printf("%.*s\n", static_cast<int>(point.size()), point.data());
  }
  return 0;
}
