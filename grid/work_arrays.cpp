#include "grid/work_arrays.hpp"

#include <array>
#include <string>

#include "grid/storage.hpp"

namespace work {
namespace {

constexpr std::array<const char*, slot_count> slot_names{
    "rk2 u_n",         "rk2 v_n",          "rk2 q_n",          "rk2 u_st",         "rk2 v_st",
    "rk2 h_st",        "rk2 q_st",         "rk2 dqdt_st",      "rk2 du_st",        "rk2 dv_st",
    "rk2 dq_st",       "stepping tend_u",  "stepping tend_v",  "adv_air q_old",    "adv_air flux_x",
    "adv_air flux_y",  "force_air q_old",  "force_air flux_x", "force_air flux_y", "step frame",
    "step u1",         "step v1",          "step h1",          "step q1",          "step rows"};

struct held {
  float_block block;
  std::size_t count = 0;
};
std::array<held, slot_count> slots;

}  // namespace

float* array(slot s, std::size_t count) {
  held& h = slots[s];
  if (h.count < count) {
    h.block.reset();
    h.block = allocate_zeroed((std::string("working array ") + slot_names[s]).c_str(),
                              static_cast<long long>(count), 1);
    h.count = count;
  }
  return h.block.get();
}

void reserve(std::initializer_list<slot> which, std::size_t count) {
  for (slot s : which) array(s, count);
}

}  // namespace work
