// A run of one process holds every row itself.
#include <algorithm>

#include "decomposition/field_rows.hpp"
#include "decomposition/process_group.hpp"
#include "grid/domain.hpp"

namespace field_rows {
namespace {

float* row_of(const blocks& b, int f, int j) {
  return b.fields[f] + at(b.bounds.ids, j, b.bounds.ims, b.bounds.ime, b.bounds.jms);
}

}  // namespace

std::uint64_t buffer_bytes(const block_layout&, int, int, int) noexcept { return 0; }

void gather(const blocks& b, const std::function<void(const source& rows)>& write) {
  const auto n = static_cast<std::size_t>(b.bounds.ide - b.bounds.ids + 1);
  processes::together([&] { write([&](int f, int j, float* row) { std::copy_n(row_of(b, f, j), n, row); }); });
}

void scatter(const blocks& b, const std::function<void(const sink& rows)>& read) {
  const auto n = static_cast<std::size_t>(b.bounds.ide - b.bounds.ids + 1);
  processes::together([&] { read([&](int f, int j, const float* row) { std::copy_n(row, n, row_of(b, f, j)); }); });
}

}  // namespace field_rows
