#pragma once
// The nineteen arrays of the module `domain` with their names and sizes, in
// allocation order, as the module holds them after gridpara.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "grid/domain.hpp"

struct module_array {
  const char* name;
  float* data;
  std::size_t size;
};

inline std::vector<module_array> module_arrays() {
  using namespace domain;
  const std::size_t field = field_size(ims, ime, jms, jme);
  const auto ni = static_cast<std::size_t>(ime - ims + 1);
  const auto nj = static_cast<std::size_t>(jme - jms + 1);
  return {{"u", u, field},        {"v", v, field},          {"us", us, field},        {"vs", vs, field},
          {"h", h, field},        {"q", q, field},          {"qc", qc, field},        {"qr", qr, field},
          {"dqdt", dqdt, field},  {"forceu", forceu, field}, {"forcev", forcev, field}, {"gpx", gpx, field},
          {"gpy", gpy, field},    {"div", domain::div, field}, {"vort", vort, field}, {"x", x, ni},
          {"y", y, nj},           {"fx", fx, nj},           {"fy", fy, nj}};
}

// Number of elements of the array whose bit pattern differs from `bits`.
inline std::size_t count_not(const module_array& a, std::uint32_t bits) {
  std::size_t n = 0;
  for (std::size_t k = 0; k < a.size; ++k) n += std::bit_cast<std::uint32_t>(a.data[k]) != bits;
  return n;
}
