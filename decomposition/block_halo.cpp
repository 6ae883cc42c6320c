#include "decomposition/block_halo.hpp"

#include <algorithm>
#include <vector>

#include "kernels/boundary_rules.hpp"

namespace {
// Rows carried across the periodic edge: the south rules read rows jde - 2
// to jde, the north rules rows jds to jds + 2.
constexpr int periodic_rows = 3;
// Rows and columns from a neighbouring block: the halo's width.
constexpr int edge_rows = 2;
constexpr int halo_columns = 2;
}  // namespace

block_halo::block_halo(const grid_bounds& b, const patch_bounds& p, const block_layout& l, int rank) noexcept
    : b_(b), p_(p), nx_(b.ime - b.ims + 1) {
  const int bx = rank % l.px, by = rank / l.px;
  west_ = bx > 0 ? rank - 1 : -1;
  east_ = bx < l.px - 1 ? rank + 1 : -1;
  south_ = ((by + l.py - 1) % l.py) * l.px + bx;
  north_ = ((by + 1) % l.py) * l.px + bx;
}

std::ptrdiff_t block_halo::row(int j) const noexcept { return static_cast<std::ptrdiff_t>(j - b_.jms) * nx_; }

std::size_t block_halo::column_floats(int fields) const noexcept {
  return static_cast<std::size_t>(halo_columns * (p_.jpe - p_.jps + 1) * fields);
}

std::size_t block_halo::south_floats(int fields, bool periodic) const noexcept {
  const int rows = at_south_edge() && periodic ? periodic_rows : edge_rows;
  return static_cast<std::size_t>(rows * nx_ * fields);
}

std::size_t block_halo::north_floats(int fields, bool periodic) const noexcept {
  const int rows = at_north_edge() && periodic ? periodic_rows : edge_rows;
  return static_cast<std::size_t>(rows * nx_ * fields);
}

void block_halo::edge_columns(float* const* f, int count, float u_in, float v_in,
                              const boundary::row_rules* row_rules) const {
  const auto columns = [&](int j, unsigned char which, boundary::row_marks pollutants) {
    if (west_ < 0) boundary::west_columns(f, row(j), count, b_.ids, b_.ims, which, pollutants);
    if (east_ < 0) boundary::east_columns(f, row(j), count, b_.ide, b_.ime, b_.ims, u_in, v_in, which, pollutants);
  };
  if (row_rules == nullptr) {
    for (int j = p_.jps; j <= p_.jpe; ++j) columns(j, boundary::all_columns, {});
  } else {
    row_rules->rows->for_each_row(p_.jps, p_.jpe, [&](int j) {
      columns(j, row_rules->of_row(j, b_.jms), row_rules->pollutants_of_row(j, b_.jms));
    });
  }
}

namespace {

// Copies columns [i, i + 2) of the rows jps..jpe of each field into `out`,
// or back from `in`.
void columns_out(float* const* f, int count, std::ptrdiff_t first_row, std::ptrdiff_t nx, int rows, int i, float* out) {
  for (int k = 0; k < count; ++k) {
    for (int n = 0; n < rows; ++n) {
      const float* from = f[k] + first_row + n * nx + i;
      out = std::copy_n(from, halo_columns, out);
    }
  }
}
void columns_in(float* const* f, int count, std::ptrdiff_t first_row, std::ptrdiff_t nx, int rows, int i,
                const float* in) {
  for (int k = 0; k < count; ++k) {
    for (int n = 0; n < rows; ++n) {
      std::copy_n(in, halo_columns, f[k] + first_row + n * nx + i);
      in += halo_columns;
    }
  }
}

}  // namespace

void block_halo::pack_west(float* const* f, int count, float* out) const noexcept {
  columns_out(f, count, row(p_.jps), nx_, p_.jpe - p_.jps + 1, p_.ips - b_.ims, out);
}
void block_halo::pack_east(float* const* f, int count, float* out) const noexcept {
  columns_out(f, count, row(p_.jps), nx_, p_.jpe - p_.jps + 1, p_.ipe - 1 - b_.ims, out);
}
void block_halo::unpack_west(float* const* f, int count, const float* in) const noexcept {
  columns_in(f, count, row(p_.jps), nx_, p_.jpe - p_.jps + 1, 0, in);
}
void block_halo::unpack_east(float* const* f, int count, const float* in) const noexcept {
  columns_in(f, count, row(p_.jps), nx_, p_.jpe - p_.jps + 1, b_.ime - 1 - b_.ims, in);
}

void block_halo::pack_south(float* const* f, int count, bool periodic, float* out) const noexcept {
  const int rows = at_south_edge() && periodic ? periodic_rows : edge_rows;
  for (int k = 0; k < count; ++k) out = std::copy_n(f[k] + row(p_.jps), rows * nx_, out);
}

void block_halo::pack_north(float* const* f, int count, bool periodic, float* out) const noexcept {
  const int rows = at_north_edge() && periodic ? periodic_rows : edge_rows;
  for (int k = 0; k < count; ++k) out = std::copy_n(f[k] + row(p_.jpe - rows + 1), rows * nx_, out);
}

void block_halo::unpack_south(float* const* f, int count, bool periodic, const float* in) const noexcept {
  if (!(at_south_edge() && periodic)) {
    for (int k = 0; k < count; ++k) std::copy_n(in + k * edge_rows * nx_, edge_rows * nx_, f[k] + row(b_.jms));
    return;
  }
  // The rows jde - 2 .. jde of every field, made into the south halo rows.
  const auto received = [&](int k, int j) { return in + (k * periodic_rows + (j - (b_.jde - 2))) * nx_; };
  for (int k = 0; k < count; ++k) {
    for (int j = b_.jms; j <= b_.jds - 1; ++j) {
      std::copy_n(received(k, boundary::south_source(k, j, b_.jde)), nx_, f[k] + row(j));
    }
  }
}

void block_halo::unpack_north(float* const* f, int count, bool periodic, const float* in) const noexcept {
  if (!(at_north_edge() && periodic)) {
    for (int k = 0; k < count; ++k) std::copy_n(in + k * edge_rows * nx_, edge_rows * nx_, f[k] + row(b_.jme - 1));
    return;
  }
  // The rows jds .. jds + 2 of every field, made into rows jde .. jme.
  const auto received = [&](int k, int j) { return in + (k * periodic_rows + (j - b_.jds)) * nx_; };
  for (int k = 0; k < count; ++k) {
    for (int j = b_.jde; j <= b_.jme; ++j) {
      std::copy_n(received(k, boundary::north_source(k, j, b_.jds, b_.jde)), nx_, f[k] + row(j));
    }
  }
}
