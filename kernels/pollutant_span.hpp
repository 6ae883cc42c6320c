#pragma once
// The pollutant arithmetic of a run of faces or cells of one row, as the
// production step sweeps it: every point evaluated by the per-point
// functions (point_terms.hpp), each independent of the others, so that the
// compiler evaluates many points at once in the vector units. A vector lane
// performs the operations of the per-point function in the same order, so
// every lane gives the bits the function gives on its point alone: the
// upwind choice is made on bits (terms::choose), and the compiler keeps the
// operand order of std::min and std::max, which settles what a NaN or a
// signed zero gives, when it maps them onto vector instructions.
//
// The loops run over whole vectors: past the end of a span of faces they
// form the fluxes of the faces that fill the last vector, as far as the
// row holds them, into the scratch, where nothing reads them; so no face is
// left to be evaluated one at a time. The last vector may be half the
// widest, which the compilers' code for the rest of a loop evaluates in
// one step: a short span then forms fewer faces that nothing reads.
#include <algorithm>

#include "grid/spacing.hpp"
#include "kernels/independent_points.hpp"
#include "kernels/point_terms.hpp"
#include "timestep/pollutant_map.hpp"
#include "timestep/timestep.hpp"

namespace pollutant_span {

using pollutant_map::span;

// A scratch row of face or cell values that holds columns from `first` on.
struct scratch_row {
  float* data;
  int first;
  float& operator[](int i) const noexcept { return data[i - first]; }
};

// A row of faces: the velocity through each (w, the row at its column 0),
// the step and the spacings across and along the faces, and the last face
// whose cells and velocity the rows hold.
struct face_row {
  const float* w;
  float dt;
  float across;
  float length;
  int last;
  float weight(int i) const noexcept { return terms::correction_weight(w[i], dt, across); }
};
// The x faces of a row, from its u, and the y faces, from its v, in rows
// that hold the columns up to last_column.
inline face_row x_faces(const float* u, float dt, const grid_spacing& s, int last_column) noexcept {
  return {u, dt, s.dx, s.dy, last_column - 1};
}
inline face_row y_faces(const float* v, float dt, const grid_spacing& s, int last_column) noexcept {
  return {v, dt, s.dy, s.dx, last_column};
}

// The faces of a loop come in whole vectors of this many floats: half the
// widest vector the loops are evaluated with (16 floats with AVX-512), the
// one after the widest that the compiled loops evaluate the rest of a loop
// with in one step.
inline constexpr int vector_floats = 8;
// The faces of a span and after them, as far as the row holds them, enough
// to make a whole number of vectors of vector_floats: the loops then leave
// no face to be evaluated one at a time. What is formed for a face after
// the span goes into its scratch and is never read.
inline span whole_vectors(span faces, int last) noexcept {
  if (faces.empty()) return faces;
  const int rounded = faces.lo + (faces.hi - faces.lo + vector_floats) / vector_floats * vector_floats - 1;
  return {faces.lo, std::max(faces.hi, std::min(rounded, last))};
}

// The four cells of q along the normal of each face of a row, upstream of
// an eastward (northward) flow first: face i lies between m[i] and p[i].
// Each is a row of q at its column 0.
struct normal_cells {
  const float* mm;
  const float* m;
  const float* p;
  const float* pp;
};
// The cells of the x faces of a row of q (the west face of cell i is face
// i), and of the y faces between the rows q_s and q.
inline normal_cells along_row(const float* q) noexcept { return {q - 2, q - 1, q, q + 1}; }
inline normal_cells across_rows(const float* q_ss, const float* q_s, const float* q, const float* q_n) noexcept {
  return {q_ss, q_s, q, q_n};
}

// The flux through face i of a row of faces, with q's cells along their
// normals; dt_length is the step times the faces' length.
[[gnu::always_inline]] inline float flux_through(const face_row& f, const normal_cells& q, float dt_length,
                                                 int i) noexcept {
  const float w = f.w[i];
  return terms::face_flux(w, f.weight(i), q.m[i], q.p[i], terms::face_jumps(w, q.mm[i], q.m[i], q.p[i], q.pp[i]),
                          dt_length);
}

// The fluxes through the faces, and into the scratch those of
// whole_vectors of them.
[[gnu::always_inline]] inline void fluxes(const face_row& f, const normal_cells& q, span faces,
                                          scratch_row flux) noexcept {
  const float dt_length = f.dt * f.length;
  const span formed = whole_vectors(faces, f.last);
  PLUME_INDEPENDENT_POINTS
  for (int i = formed.lo; i <= formed.hi; ++i) flux[i] = flux_through(f, q, dt_length, i);
}

// The fluxes through two rows of faces of the same columns, f's and g's,
// in one loop over `faces` (whole_vectors of them, as far as both rows
// hold them): a short span's faces are few, and each waits on its
// divisions; the two rows' faces, independent of each other, fill that
// wait with work.
[[gnu::always_inline]] inline void fluxes(const face_row& f, const normal_cells& q, scratch_row flux, const face_row& g,
                                          const normal_cells& r, scratch_row g_flux, span faces) noexcept {
  const float f_dt_length = f.dt * f.length;
  const float g_dt_length = g.dt * g.length;
  const span formed = whole_vectors(faces, std::min(f.last, g.last));
  PLUME_INDEPENDENT_POINTS
  for (int i = formed.lo; i <= formed.hi; ++i) {
    flux[i] = flux_through(f, q, f_dt_length, i);
    g_flux[i] = flux_through(g, r, g_dt_length, i);
  }
}

// The fluxes through the faces of a row's cells: cell i has the x faces
// x[i] (west) and x[i + 1] (east), the y faces south[i] and north[i].
struct cell_fluxes {
  scratch_row x, south, north;
  // The change of cell i from the fluxes through its faces.
  float change(int i, const grid_spacing& s) const noexcept {
    return terms::cell_change(x[i], x[i + 1], south[i], north[i], s);
  }
};

// The first stage's cells: q advanced by their change, into out.
inline void advance(const float* q, const cell_fluxes& f, const grid_spacing& s, span cells, float* out) noexcept {
  PLUME_INDEPENDENT_POINTS
  for (int i = cells.lo; i <= cells.hi; ++i) out[i] = q[i] + f.change(i, s);
}

// The second stage's cells: the rate (twice the change of the stage's q)
// into rate, and Heun's average of the entry value, which out holds, with
// the stage's q and the change, into out.
inline void average(const float* q, const cell_fluxes& f, const grid_spacing& s, span cells, float* out,
                    float* rate) noexcept {
  PLUME_INDEPENDENT_POINTS
  for (int i = cells.lo; i <= cells.hi; ++i) {
    const float dq = f.change(i, s);
    rate[i] = dq * 2.0f;
    out[i] = terms::heun(out[i], q[i], dq);
  }
}

}  // namespace pollutant_span
