// Boundary values: the west wall and its mirrored halo, the fixed eastern
// inflow, the periodic rows between south and north, the corners, and the
// order of the south and north copies. The grid is not square and every
// point holds a value encoding (i, j), so a value taken from the wrong row or
// column shows.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "support/reference_case.hpp"
#include "grid/constant.hpp"
#include "kernels/boundary_rules.hpp"
#include "kernels/kernels.hpp"
#include "support/field_checks.hpp"

namespace {

using checks::field;
using checks::tagged;

constexpr std::uint32_t u_init_bits = 0xC0400002u;
constexpr std::uint32_t v_init_bits = 0x40A646E1u;

struct boundary : testing::Test {
  small_grid g = small_grid::with_interior(7, 5);
  field u = g.field(), v = g.field(), h = g.field(), q = g.field();
  field u_in, v_in, h_in, q_in;

  void SetUp() override {
    checks::fill(g, u, [](int i, int j) { return tagged(-100.0f, i, j); });
    checks::fill(g, v, [](int i, int j) { return tagged(200.0f, i, j); });
    checks::fill(g, h, [](int i, int j) { return tagged(300.0f, i, j); });
    checks::fill(g, q, [](int i, int j) { return tagged(400.0f, i, j); });
    // A zero on the first face east of the wall in two rows: its negation
    // in the halo must be +0, as a subtraction from zero gives.
    g(u, g.ids + 1, 2) = 0.0f;
    g(u, g.ids + 1, 4) = -0.0f;
    u_in = u, v_in = v, h_in = h, q_in = q;
  }
  void apply() {
    set_bdy(u.data(), v.data(), h.data(), q.data(), reference::u_init, reference::v_init, GRID_BOUNDS(g));
  }
  // Rows whose values set_bdy takes from the same row (not copied from others).
  bool own_row(int j) const { return j >= g.jds && j <= g.jde - 1; }
};

TEST_F(boundary, west_wall_face_is_zero_in_every_row_including_halo_rows) {
  apply();
  for (int j = g.jms; j <= g.jme; ++j) EXPECT_EQ(bits(g(u, g.ids, j)), 0u) << "row " << j;
}

TEST_F(boundary, west_halo_mirrors_q_extends_h_and_v_and_negates_u) {
  apply();
  for (int j = g.jds; j <= g.jde - 1; ++j) {
    EXPECT_EQ(g(q, 0, j), g(q_in, 1, j)) << "row " << j;
    EXPECT_EQ(g(q, -1, j), g(q_in, 2, j)) << "row " << j;
    for (int i = g.ims; i < g.ids; ++i) {
      EXPECT_EQ(g(h, i, j), g(h_in, g.ids, j)) << i << "," << j;
      EXPECT_EQ(g(v, i, j), g(v_in, g.ids, j)) << i << "," << j;
      EXPECT_EQ(bits(g(u, i, j)), bits(0.0f - g(u_in, g.ids + 1, j))) << i << "," << j;
    }
  }
  // Both signs of a zero source give +0, where a plain negation of +0
  // would store -0.
  EXPECT_EQ(bits(g(u, 0, 2)), 0u);
  EXPECT_EQ(bits(g(u, -1, 2)), 0u);
  EXPECT_EQ(bits(g(u, 0, 4)), 0u);
  EXPECT_EQ(g(u, 0, 3), 100.0f - 2.0f - 3.0f / 64.0f);
}

TEST_F(boundary, east_side_holds_the_inflow_wind_bit_for_bit) {
  apply();
  ASSERT_EQ(bits(reference::u_init), u_init_bits);
  ASSERT_EQ(bits(reference::v_init), v_init_bits);
  for (int j = g.jms; j <= g.jme; ++j) {
    for (int i = g.ide + 1; i <= g.ime; ++i) EXPECT_EQ(bits(g(u, i, j)), u_init_bits) << i << "," << j;
    for (int i = g.ide; i <= g.ime; ++i) EXPECT_EQ(bits(g(v, i, j)), v_init_bits) << i << "," << j;
  }
  for (int j = g.jds; j <= g.jde - 1; ++j) {
    EXPECT_EQ(bits(g(u, g.ide, j)), bits(g(u_in, g.ide, j))) << "the last face is advanced, not set; row " << j;
    for (int i = g.ide; i <= g.ime; ++i) {
      EXPECT_EQ(g(h, i, j), g(h_in, g.ide - 1, j)) << i << "," << j;
      EXPECT_EQ(g(q, i, j), g(q_in, g.ide - 1, j)) << i << "," << j;
    }
  }
}

TEST_F(boundary, rows_are_periodic_between_south_and_north) {
  apply();
  for (int i = g.ims; i <= g.ime; ++i) {
    for (const field* f : {&u, &v, &h, &q}) EXPECT_EQ(bits(g(*f, i, g.jde)), bits(g(*f, i, g.jds))) << "column " << i;
    // South halo rows of h and q are the periodic images, u comes from row
    // jde-1 (as completed by this call), v from row jde as it stood at entry.
    for (int j = g.jms; j < g.jds; ++j) {
      EXPECT_EQ(g(h, i, j), g(h, i, j + g.jde - 1)) << i << "," << j;
      EXPECT_EQ(g(q, i, j), g(q, i, j + g.jde - 1)) << i << "," << j;
      EXPECT_EQ(bits(g(u, i, j)), bits(g(u, i, g.jde - 1))) << i << "," << j;
    }
    // North rows beyond jde: images of rows jds+1.. for h and q, row jds for u and v.
    for (int j = g.jde + 1; j <= g.jme; ++j) {
      EXPECT_EQ(g(h, i, j), g(h, i, j - g.jde + g.jds)) << i << "," << j;
      EXPECT_EQ(g(q, i, j), g(q, i, j - g.jde + g.jds)) << i << "," << j;
      EXPECT_EQ(bits(g(u, i, j)), bits(g(u, i, g.jds))) << i << "," << j;
      EXPECT_EQ(bits(g(v, i, j)), bits(g(v, i, g.jds))) << i << "," << j;
    }
  }
  for (int j = g.jms; j < g.jds; ++j) {
    for (int i = g.ids; i <= g.ide - 1; ++i) EXPECT_EQ(g(v, i, j), g(v_in, i, g.jde)) << i << "," << j;
    EXPECT_EQ(g(v, g.ims, j), g(v_in, g.ids, g.jde)) << "row " << j;
  }
}

TEST_F(boundary, corners_take_the_side_values_of_their_source_rows) {
  apply();
  // The mirror of the south-west corner: q(-1, -1) = q(2, jde-2) at entry,
  // q(0, 0) = q(1, jde-1).
  EXPECT_EQ(g(q, -1, -1), g(q_in, 2, g.jde - 2));
  EXPECT_EQ(g(q, 0, 0), g(q_in, 1, g.jde - 1));
  for (int j = g.jms; j <= g.jme; ++j) {
    if (own_row(j)) continue;
    const int image = j < g.jds ? j + g.jde - 1 : j - g.jde + g.jds;  // periodic source row of h and q
    const int u_row = j < g.jds ? g.jde - 1 : g.jds;
    const int v_row = j < g.jds ? g.jde : g.jds;
    for (int i = g.ims; i < g.ids; ++i) {
      EXPECT_EQ(g(q, i, j), g(q_in, g.ids - i, image)) << i << "," << j;
      EXPECT_EQ(g(h, i, j), g(h_in, g.ids, image)) << i << "," << j;
      EXPECT_EQ(bits(g(u, i, j)), bits(0.0f - g(u_in, g.ids + 1, u_row))) << i << "," << j;
      EXPECT_EQ(g(v, i, j), g(v_in, g.ids, v_row)) << i << "," << j;
    }
    for (int i = g.ide; i <= g.ime; ++i) {
      EXPECT_EQ(g(q, i, j), g(q_in, g.ide - 1, image)) << i << "," << j;
      EXPECT_EQ(g(h, i, j), g(h_in, g.ide - 1, image)) << i << "," << j;
      EXPECT_EQ(bits(g(v, i, j)), v_init_bits) << i << "," << j;
    }
  }
}

TEST_F(boundary, interior_points_are_left_alone) {
  apply();
  const checks::box inner{g.ids, g.ide - 1, g.jds, g.jde - 1};
  EXPECT_TRUE(checks::same_bits_in(g, h, h_in, inner));
  EXPECT_TRUE(checks::same_bits_in(g, q, q_in, inner));
  EXPECT_TRUE(checks::same_bits_in(g, v, v_in, inner));
  EXPECT_TRUE(checks::same_bits_in(g, u, u_in, {g.ids + 1, g.ide, g.jds, g.jde - 1}));
}

// The south halo of v is copied from row jde before the north step replaces
// that row by row jds; a second call therefore finds row jds there. Nothing
// else changes on a second call.
TEST_F(boundary, second_call_changes_only_the_southern_halo_of_v) {
  apply();
  const field u1 = u, v1 = v, h1 = h, q1 = q;
  apply();
  EXPECT_TRUE(checks::same_bits(g, u, u1));
  EXPECT_TRUE(checks::same_bits(g, h, h1));
  EXPECT_TRUE(checks::same_bits(g, q, q1));
  const checks::box south_halo{g.ims, g.ime, g.jms, g.jds - 1};
  EXPECT_TRUE(checks::same_bits_outside(g, v, v1, south_halo));
  for (int j = g.jms; j < g.jds; ++j) {
    for (int i = g.ims; i <= g.ime; ++i) EXPECT_EQ(bits(g(v, i, j)), bits(g(v1, i, g.jds))) << i << "," << j;
    for (int i = g.ids; i <= g.ide - 1; ++i) EXPECT_NE(g(v1, i, j), g(v1, i, g.jds)) << "first call " << i << "," << j;
  }
}

// With rules for some runs of rows only, those rows take exactly the
// columns of the whole set_bdy (flow, pollutant or both, as each row's rule
// says), and every other own row keeps its columns.
TEST_F(boundary, column_rules_go_only_to_the_rows_the_runs_hold) {
  field u_all = u, v_all = v, h_all = h, q_all = q;
  set_bdy(u_all.data(), v_all.data(), h_all.data(), q_all.data(), reference::u_init, reference::v_init, GRID_BOUNDS(g));
  std::vector<unsigned char> rules(static_cast<std::size_t>(g.jme - g.jms + 1), ::boundary::all_columns);
  rules[static_cast<std::size_t>(2 - g.jms)] = ::boundary::flow_columns;
  rules[static_cast<std::size_t>(3 - g.jms)] = 0;  // held by a run, but no rule
  row_runs rows;
  rows.add(g.jms, 3);
  rows.add(g.jde, g.jme);  // row 4 (the last own row) left out
  const ::boundary::row_rules which{rules.data(), &rows};
  float* const fields[4] = {u.data(), v.data(), h.data(), q.data()};
  set_bdy_fields(fields, 4, reference::u_init, reference::v_init, grid_bounds{GRID_BOUNDS(g)}, &which);
  const checks::box columns_of_row_1{g.ims, g.ime, 1, 1};
  for (const auto& [got, all] : {std::pair{&u, &u_all}, {&v, &v_all}, {&h, &h_all}, {&q, &q_all}}) {
    EXPECT_TRUE(checks::same_bits_in(g, *got, *all, columns_of_row_1));
  }
  const checks::box row_2{g.ims, g.ime, 2, 2}, rows_3_4{g.ims, g.ime, 3, 4};
  EXPECT_TRUE(checks::same_bits_in(g, u, u_all, row_2));
  EXPECT_TRUE(checks::same_bits_in(g, v, v_all, row_2));
  EXPECT_TRUE(checks::same_bits_in(g, h, h_all, row_2));
  EXPECT_TRUE(checks::same_bits_in(g, q, q_in, row_2));
  for (const auto& [got, entry] : {std::pair{&u, &u_in}, {&v, &v_in}, {&h, &h_in}, {&q, &q_in}}) {
    EXPECT_TRUE(checks::same_bits_in(g, *got, *entry, rows_3_4));
  }
}

// Of two pollutants, a row whose rules name the pollutant columns writes
// those of the pollutants its marks name (row_rules::pollutants) and leaves
// the other's as they were; the flow's columns go as the rules say.
TEST_F(boundary, pollutant_columns_go_only_to_the_marked_pollutants) {
  field q2 = g.field();
  checks::fill(g, q2, [](int i, int j) { return tagged(500.0f, i, j); });
  const field q2_in = q2;
  field u_all = u, v_all = v, h_all = h, q_all = q, q2_all = q2;
  float* const all[5] = {u_all.data(), v_all.data(), h_all.data(), q_all.data(), q2_all.data()};
  set_bdy_fields(all, 5, reference::u_init, reference::v_init, grid_bounds{GRID_BOUNDS(g)}, nullptr);
  const auto rows = static_cast<std::size_t>(g.jme - g.jms + 1);
  std::vector<unsigned char> rules(rows, ::boundary::pollutant_columns), marks(rows * 2, 0);
  const auto row = [&](int j) { return static_cast<std::size_t>(j - g.jms); };
  const auto mark = [&](std::size_t k, int j) -> unsigned char& { return marks[k * rows + row(j)]; };
  mark(0, 1) = 1;  // row 1: the first pollutant's columns
  mark(1, 2) = 1;  // row 2: the second's
  rules[row(3)] = ::boundary::all_columns;
  mark(0, 3) = mark(1, 3) = 1;  // row 3: every column
  row_runs own;
  own.add(1, 3);
  const ::boundary::row_rules which{rules.data(), &own,         nullptr,
                                    nullptr,      marks.data(), static_cast<std::ptrdiff_t>(rows)};
  float* const fields[5] = {u.data(), v.data(), h.data(), q.data(), q2.data()};
  set_bdy_fields(fields, 5, reference::u_init, reference::v_init, grid_bounds{GRID_BOUNDS(g)}, &which);
  const checks::box row_1{g.ims, g.ime, 1, 1}, row_2{g.ims, g.ime, 2, 2}, row_3{g.ims, g.ime, 3, 3};
  EXPECT_TRUE(checks::same_bits_in(g, q, q_all, row_1));
  EXPECT_TRUE(checks::same_bits_in(g, q2, q2_in, row_1));
  EXPECT_TRUE(checks::same_bits_in(g, q, q_in, row_2));
  EXPECT_TRUE(checks::same_bits_in(g, q2, q2_all, row_2));
  for (const auto& [got, entry, every] : {std::tuple{&u, &u_in, &u_all}, {&v, &v_in, &v_all}, {&h, &h_in, &h_all}}) {
    EXPECT_TRUE(checks::same_bits_in(g, *got, *entry, row_1));
    EXPECT_TRUE(checks::same_bits_in(g, *got, *every, row_3));
  }
  EXPECT_TRUE(checks::same_bits_in(g, q, q_all, row_3));
  EXPECT_TRUE(checks::same_bits_in(g, q2, q2_all, row_3));
}

// The fields of a list given their values part by part (the flow, then
// each pollutant apart, in any order) get the bits of the whole list's,
// with the same rules, marks and halo rows left as they are; and a part
// writes no other field.
TEST_F(boundary, parts_of_the_list_apart_get_the_whole_list_bits) {
  field q2 = g.field();
  checks::fill(g, q2, [](int i, int j) { return tagged(500.0f, i, j); });
  const auto rows = static_cast<std::size_t>(g.jme - g.jms + 1);
  std::vector<unsigned char> rules(rows, ::boundary::flow_columns), marks(rows * 2, 0);
  const auto row = [&](int j) { return static_cast<std::size_t>(j - g.jms); };
  for (int j = 1; j <= 6; ++j) {
    rules[row(j)] = j % 3 == 0 ? ::boundary::pollutant_columns : ::boundary::all_columns;
    marks[row(j)] = j % 2;               // the first pollutant's columns in the odd rows
    marks[rows + row(j)] = (j + 1) % 2;  // the second's in the even ones
  }
  const int halo = ::boundary::halo_rows(g.jms, g.jds, g.jde, g.jme);
  std::vector<unsigned char> held(static_cast<std::size_t>(5 * halo), 0);
  held[static_cast<std::size_t>(3 * halo + 1)] = 1;  // a halo row of the first pollutant left as it is
  row_runs own;
  own.add(1, 6);
  const ::boundary::row_rules which{rules.data(), &own,         nullptr,
                                    held.data(),  marks.data(), static_cast<std::ptrdiff_t>(rows)};
  field u_all = u, v_all = v, h_all = h, q_all = q, q2_all = q2;
  float* const all[5] = {u_all.data(), v_all.data(), h_all.data(), q_all.data(), q2_all.data()};
  set_bdy_fields(all, 5, reference::u_init, reference::v_init, grid_bounds{GRID_BOUNDS(g)}, &which);
  const field u_before = u, v_before = v, h_before = h, q_before = q;
  float* const fields[5] = {u.data(), v.data(), h.data(), q.data(), q2.data()};
  set_bdy_fields(fields, 5, reference::u_init, reference::v_init, grid_bounds{GRID_BOUNDS(g)}, &which, 4);
  EXPECT_TRUE(checks::same_bits(g, q2, q2_all));
  for (const auto& [got, entry] : {std::pair{&u, &u_before}, {&v, &v_before}, {&h, &h_before}, {&q, &q_before}}) {
    EXPECT_TRUE(checks::same_bits(g, *got, *entry));
  }
  set_bdy_fields(fields, 4, reference::u_init, reference::v_init, grid_bounds{GRID_BOUNDS(g)}, &which, 3);
  set_bdy_fields(fields, 3, reference::u_init, reference::v_init, grid_bounds{GRID_BOUNDS(g)}, &which);
  for (const auto& [got, every] : {std::pair{&u, &u_all}, {&v, &v_all}, {&h, &h_all}, {&q, &q_all}}) {
    EXPECT_TRUE(checks::same_bits(g, *got, *every));
  }
}

// Rows whose flow is left to a row below them (flow_source) are not read:
// the halo rows that copy them get the flow of the row they are left to,
// with its boundary columns, and their q from the row itself. The rows'
// own storage of u, v and h is left as it was.
TEST_F(boundary, halo_rows_copy_the_flow_from_where_each_row_is_stored) {
  // Rows 2 to jde - 1 hold the flow of row 1, written out for set_bdy.
  field u_all = u, v_all = v, h_all = h, q_all = q;
  for (field* f : {&u_all, &v_all, &h_all}) {
    for (int j = 2; j <= g.jde - 1; ++j) {
      for (int i = g.ims; i <= g.ime; ++i) g(*f, i, j) = g(*f, i, 1);
    }
  }
  set_bdy(u_all.data(), v_all.data(), h_all.data(), q_all.data(), reference::u_init, reference::v_init, GRID_BOUNDS(g));
  // Left to row 1, their own storage stale: only q's columns for them.
  const auto rows_count = static_cast<std::size_t>(g.jme - g.jms + 1);
  std::vector<unsigned char> rules(rows_count, ::boundary::all_columns);
  std::vector<int> source(rows_count);
  for (int j = g.jms; j <= g.jme; ++j) source[static_cast<std::size_t>(j - g.jms)] = j;
  for (int j = 2; j <= g.jde - 1; ++j) {
    rules[static_cast<std::size_t>(j - g.jms)] = ::boundary::pollutant_columns;
    source[static_cast<std::size_t>(j - g.jms)] = 1;
  }
  const row_runs rows(g.jms, g.jme);
  const ::boundary::row_rules which{rules.data(), &rows, source.data()};
  float* const fields[4] = {u.data(), v.data(), h.data(), q.data()};
  set_bdy_fields(fields, 4, reference::u_init, reference::v_init, grid_bounds{GRID_BOUNDS(g)}, &which);
  const checks::box south{g.ims, g.ime, g.jms, g.jds - 1}, north{g.ims, g.ime, g.jde, g.jme};
  const checks::box row_1{g.ims, g.ime, 1, 1}, left{g.ims, g.ime, 2, g.jde - 1};
  for (const auto& [got, all] : {std::pair{&u, &u_all}, {&v, &v_all}, {&h, &h_all}, {&q, &q_all}}) {
    EXPECT_TRUE(checks::same_bits_in(g, *got, *all, south));
    EXPECT_TRUE(checks::same_bits_in(g, *got, *all, north));
    EXPECT_TRUE(checks::same_bits_in(g, *got, *all, row_1));
  }
  for (const auto& [got, entry] : {std::pair{&u, &u_in}, {&v, &v_in}, {&h, &h_in}}) {
    EXPECT_TRUE(checks::same_bits_in(g, *got, *entry, left));
  }
  EXPECT_TRUE(checks::same_bits_in(g, q, q_all, left));
}

}  // namespace
