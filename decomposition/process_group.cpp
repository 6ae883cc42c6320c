#include "decomposition/process_group.hpp"

#include <sched.h>

namespace processes {

int affinity_cores() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int n = CPU_COUNT(&set);
  return n > 0 ? n : 1;
}

}  // namespace processes
