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

namespace boundary {

// One stored row of each of the four fields, each pointing at the row's
// element i = ims.
struct row_set {
  float* u;
  float* v;
  float* h;
  float* q;
};

// Which of a row's column rules to apply: those of u, v and h, those of q,
// or both.
inline constexpr unsigned char flow_columns = 1, pollutant_columns = 2, all_columns = 3;

// The west wall and its halo: q mirrored about the wall face, h and v with
// zero gradient, u the negated first face east of the wall (a subtraction
// from zero, so that a zero source gives +0), then no flow through the wall
// face itself.
inline void west_columns(const row_set& r, int ids, int ims, unsigned char which = all_columns) noexcept {
  const int o = -ims;
  if ((which & pollutant_columns) != 0) {
    for (int i = ims; i <= ids - 1; ++i) r.q[i + o] = r.q[ids - i + o];
  }
  if ((which & flow_columns) == 0) return;
  for (int i = ims; i <= ids - 1; ++i) {
    r.h[i + o] = r.h[ids + o];
    r.v[i + o] = r.v[ids + o];
    r.u[i + o] = 0.0f - r.u[ids + 1 + o];
  }
  r.u[ids + o] = 0.0f;
}

// The east inflow: u beyond the last face (which keeps its value) and v from
// the last column on are the inflow wind; h and q from the last column on
// copy the last advanced cell.
inline void east_columns(const row_set& r, int ide, int ime, int ims, float u_in, float v_in,
                         unsigned char which = all_columns) noexcept {
  const int o = -ims;
  if ((which & pollutant_columns) != 0) {
    for (int i = ide; i <= ime; ++i) r.q[i + o] = r.q[ide - 1 + o];
  }
  if ((which & flow_columns) == 0) return;
  for (int i = ide + 1; i <= ime; ++i) r.u[i + o] = u_in;
  for (int i = ide; i <= ime; ++i) {
    r.h[i + o] = r.h[ide - 1 + o];
    r.v[i + o] = v_in;
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

}  // namespace boundary
