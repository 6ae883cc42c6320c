#pragma once
// The lateral boundary values, rule by rule: what set_bdy does to one stored
// row at the west and east sides, and which row each halo row (and row jde)
// becomes a copy of in the south and north. set_bdy applies them to a whole
// grid; a grid split into blocks applies the same rules at the blocks that
// touch the grid's edges (decomposition/).
//
// The column rules of a row read only that row, and only points that they
// do not write (the grid has at least four points each way), so rows may
// take them in any order. The row copies come after them, whole rows with
// their halo columns, the south ones before the north ones: the south rows
// of v copy row jde, which the north rows then replace.
#include <algorithm>
#include <cstddef>

#include "grid/row_runs.hpp"
#include "grid/state.hpp"

namespace boundary {

// Which of a row's column rules to apply: those of u, v and h, those of q,
// or both.
inline constexpr unsigned char flow_columns = 1, pollutant_columns = 2, all_columns = 3;

// The column rules of the stored rows of a grid or block: rules[j - jms]
// for each row j that `rows` holds (every rule, where rules is nullptr),
// no rule in any other row. With
// flow_source, the whole rows that the halo rows copy take their u, v and h
// from row flow_source[j - jms] instead of row j's own storage: a row that
// holds the same values of the flow as another, its storage left as it was
// (the production step's repeated rows), the row it is left to having taken
// its column rules.
// With halo_held, the copies that may be left out: halo_held[k * n + m] for
// field k and the m-th of the n halo rows that the grid's halo rows copy
// into (halo_row_index) says that the row holds already the very values its
// copy would write.
// With pollutants, the pollutants whose columns a row's pollutant_columns
// rule writes: pollutants[k * pollutant_stride + j - jms], for the k-th
// pollutant, says whether row j's columns of that pollutant are written
// (a row whose rule names them for one species need not write them for
// another whose columns hold already what they would get); every
// pollutant's where it is nullptr. Each pollutant's marks are a run of
// their own, so that the marks of several may be written side by side.
struct row_marks {
  const unsigned char* first = nullptr;  // the first pollutant's mark; nullptr: every pollutant's written
  std::ptrdiff_t stride = 0;             // from one pollutant's mark to the next's
  // Whether the columns of field k (a pollutant) are written.
  bool written(int k) const noexcept { return first == nullptr || first[(k - flow_fields) * stride] != 0; }
};
struct row_rules {
  const unsigned char* rules;
  const row_runs* rows;
  const int* flow_source = nullptr;
  const unsigned char* halo_held = nullptr;
  const unsigned char* pollutants = nullptr;
  std::ptrdiff_t pollutant_stride = 0;
  // The rules of row j, one that `rows` holds.
  unsigned char of_row(int j, int jms) const noexcept { return rules == nullptr ? all_columns : rules[j - jms]; }
  // The marks of row j's pollutants.
  row_marks pollutants_of_row(int j, int jms) const noexcept {
    if (pollutants == nullptr) return {};
    return {pollutants + (j - jms), pollutant_stride};
  }
};

// The stored rows outside the grid's interior rows, which the row copies
// write: those of jms..jds-1, then those of jde..jme (none of either in a
// block away from the grid's south or north edge); the number of them and
// the place of row j among them.
inline int halo_rows(int jms, int jds, int jde, int jme) noexcept {
  return std::max(0, jds - jms) + std::max(0, jme + 1 - std::max(jde, jms));
}
inline int halo_row_index(int j, int jms, int jds, int jde) noexcept {
  return j < jds ? j - jms : std::max(0, jds - jms) + (j - std::max(jde, jms));
}

// The west wall and its halo: q mirrored about the wall face, h and v with
// zero gradient, u the negated first face east of the wall (a subtraction
// from zero, so that a zero source gives +0), then no flow through the wall
// face itself. Each takes one stored row, pointing at its element i = ims.
inline void west_pollutant_columns(float* q, int ids, int ims) noexcept {
  const int o = -ims;
  for (int i = ims; i <= ids - 1; ++i) q[i + o] = q[ids - i + o];
}
inline void west_flow_columns(float* u, float* v, float* h, int ids, int ims) noexcept {
  const int o = -ims;
  for (int i = ims; i <= ids - 1; ++i) {
    h[i + o] = h[ids + o];
    v[i + o] = v[ids + o];
    u[i + o] = 0.0f - u[ids + 1 + o];
  }
  u[ids + o] = 0.0f;
}

// The east inflow: u beyond the last face (which keeps its value) and v from
// the last column on are the inflow wind; h and q from the last column on
// copy the last advanced cell.
inline void east_pollutant_columns(float* q, int ide, int ime, int ims) noexcept {
  const int o = -ims;
  for (int i = ide; i <= ime; ++i) q[i + o] = q[ide - 1 + o];
}
inline void east_flow_columns(float* u, float* v, float* h, int ide, int ime, int ims, float u_in,
                              float v_in) noexcept {
  const int o = -ims;
  for (int i = ide + 1; i <= ime; ++i) u[i + o] = u_in;
  for (int i = ide; i <= ime; ++i) {
    h[i + o] = h[ide - 1 + o];
    v[i + o] = v_in;
  }
}

// The column rules of one row of a list of fields: u, v, h, then `count` -
// flow_fields pollutants (grid/state.hpp), the row at fields[k] + row, its
// element i = ims; only the rules that `which` names, and of the
// pollutants only those from `first` on that `pollutants` marks.
inline void west_columns(float* const* fields, std::ptrdiff_t row, int count, int ids, int ims, unsigned char which,
                         row_marks pollutants = {}, int first = flow_fields) noexcept {
  if ((which & pollutant_columns) != 0) {
    for (int k = std::max(first, flow_fields); k < count; ++k) {
      if (pollutants.written(k)) west_pollutant_columns(fields[k] + row, ids, ims);
    }
  }
  if ((which & flow_columns) != 0) west_flow_columns(fields[0] + row, fields[1] + row, fields[2] + row, ids, ims);
}
inline void east_columns(float* const* fields, std::ptrdiff_t row, int count, int ide, int ime, int ims, float u_in,
                         float v_in, unsigned char which, row_marks pollutants = {}, int first = flow_fields) noexcept {
  if ((which & pollutant_columns) != 0) {
    for (int k = std::max(first, flow_fields); k < count; ++k) {
      if (pollutants.written(k)) east_pollutant_columns(fields[k] + row, ide, ime, ims);
    }
  }
  if ((which & flow_columns) != 0) {
    east_flow_columns(fields[0] + row, fields[1] + row, fields[2] + row, ide, ime, ims, u_in, v_in);
  }
}

// The row that south halo row j (j < jds) copies: the periodic image for h
// and q, row jde - 1 for u and row jde (as it stands before the north copies)
// for v.
inline int south_source_hq(int j, int jde) noexcept { return j + jde - 1; }
inline int south_source_u(int jde) noexcept { return jde - 1; }
inline int south_source_v(int jde) noexcept { return jde; }

// The row that north row j (j >= jde, row jde included) copies: the periodic
// image for h and q, row jds for u and v.
inline int north_source_hq(int j, int jds, int jde) noexcept { return j - jde + jds; }
inline int north_source_uv(int jds) noexcept { return jds; }

// The same for field k of a list u, v, h, then the pollutants: u and v by
// their own rules, h and every q by the periodic image.
inline int south_source(int k, int j, int jde) noexcept {
  return k == 0 ? south_source_u(jde) : k == 1 ? south_source_v(jde) : south_source_hq(j, jde);
}
inline int north_source(int k, int j, int jds, int jde) noexcept {
  return k <= 1 ? north_source_uv(jds) : north_source_hq(j, jds, jde);
}

}  // namespace boundary
