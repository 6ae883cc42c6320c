#include "decomposition/process_group.hpp"

#include <new>
#include <string>
#include <vector>

#include <sched.h>

namespace processes {

std::string failure_message(const std::exception_ptr& failure) {
  std::string message;
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    message = "cannot allocate memory";
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "a failure of an unknown kind";
  }
  // An empty message would read as no failure at all.
  return message.empty() ? "a failure without a message" : message;
}

int affinity_cores() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int n = CPU_COUNT(&set);
  return n > 0 ? n : 1;
}

}  // namespace processes
