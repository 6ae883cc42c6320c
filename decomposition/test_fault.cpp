#include "decomposition/test_fault.hpp"

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

#include "decomposition/process_group.hpp"
#include "grid/failure.hpp"

namespace processes {

void test_fault(std::string_view point, long long visit) {
  const char* value = std::getenv("PLUME_TEST_FAULT");
  if (value == nullptr) return;
  const std::string setting(value);
  // POINT:RANK:KIND[:N]
  const auto first = setting.find(':');
  if (first == std::string::npos || std::string_view(setting).substr(0, first) != point) return;
  const auto second = setting.find(':', first + 1);
  if (second == std::string::npos) return;
  const auto third = setting.find(':', second + 1);
  const std::string rank_text = setting.substr(first + 1, second - first - 1);
  const std::string kind = setting.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1);
  const long long wanted_visit = third == std::string::npos ? 1 : std::atoll(setting.c_str() + third + 1);
  if (std::atoi(rank_text.c_str()) != rank() || visit != wanted_visit) return;
  const std::string message = "test fault at " + std::string(point);
  if (kind == "run_failure") throw run_failure(message);
  if (kind == "bad_alloc") throw std::bad_alloc();
  throw std::logic_error(message);
}

}  // namespace processes
