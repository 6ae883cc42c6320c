#include "decomposition/process_group.hpp"

#include <new>
#include <string>
#include <vector>

#include <sched.h>

namespace processes {

std::string romio_component(const std::vector<std::string>& variable_names) {
  const std::string prefix = "io_romio";
  std::string newest;
  for (const std::string& name : variable_names) {
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::size_t digits_end = name.find_first_not_of("0123456789", prefix.size());
    if (digits_end == prefix.size() || digits_end == std::string::npos || name[digits_end] != '_') continue;
    const std::string component = name.substr(3, digits_end - 3);
    // Versions of the same number of digits compare as text.
    if (component.size() > newest.size() || (component.size() == newest.size() && component > newest)) {
      newest = component;
    }
  }
  return newest;
}

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
