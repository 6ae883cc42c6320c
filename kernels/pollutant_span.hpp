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
// the step and the spacings across and along the faces, the last face
// whose cells and velocity the rows hold, and, where they are formed
// ahead (weights_for), a scratch row of the faces' correction weights
// (terms::correction_weight of each face's velocity). The weights depend
// on the flow alone: formed once, they serve every species and every row
// that reads the same velocities, and each saves a face one of the
// divisions that a long span's flux loop spends its time on. Where the
// scratch is not given (its data nullptr), the loop forms each face's
// weight itself: a short span's loop is over before it waits on its
// divisions, and forming the weights apart would cost it more.
struct face_row {
  const float* w;
  float dt;
  float across;
  float length;
  int last;
  scratch_row weights{};
  bool weights_formed() const noexcept { return weights.data != nullptr; }
  template <bool formed>
  float weight(int i) const noexcept {
    if constexpr (formed) {
      return weights[i];
    } else {
      return terms::correction_weight(w[i], dt, across);
    }
  }
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

// Forms the correction weights of whole_vectors(faces, f.last) into
// f.weights, and returns that span.
inline span form_weights(const face_row& f, span faces) noexcept {
  const span formed = whole_vectors(faces, f.last);
  PLUME_INDEPENDENT_POINTS
  for (int i = formed.lo; i <= formed.hi; ++i) f.weights[i] = terms::correction_weight(f.w[i], f.dt, f.across);
  return formed;
}

// The fewest faces of a flux loop whose weights are formed ahead.
inline constexpr int weights_ahead_from = 64;

// The faces of a row whose weights are formed: for the velocities `w` of
// the last row formed, the span `formed` (empty for none). Within a stage
// the velocities a pointer shows do not change, so the weights of the same
// pointer are those of the same velocities.
struct formed_weights {
  const float* w = nullptr;
  span formed = pollutant_map::nothing;
};

// Readies f's weights for a flux loop over `faces`. A loop of
// weights_ahead_from faces or more reads them from `scratch`, which then
// holds those of whole_vectors(faces, f.last): those that `known` says are
// formed there for the same velocities are kept, the rest formed, and
// `known` then tells what the scratch holds. A shorter loop forms them
// itself.
inline void weights_for(face_row& f, scratch_row scratch, span faces, formed_weights& known) noexcept {
  f.weights = {};
  if (faces.empty() || faces.hi - faces.lo + 1 < weights_ahead_from) return;
  f.weights = scratch;
  const span wanted = whole_vectors(faces, f.last);
  const span had = known.w == f.w ? known.formed : pollutant_map::nothing;
  if (!had.empty() && had.lo <= wanted.lo && wanted.hi <= had.hi) return;
  // What is missing, on either side of what is formed, in whole vectors:
  // one that reaches into the formed faces forms their weights again.
  span all = wanted;
  if (!had.empty()) {
    all = pollutant_map::hull(had, wanted);
    if (all.lo < had.lo) all = pollutant_map::hull(all, form_weights(f, {all.lo, had.lo - 1}));
    if (all.hi > had.hi) all = pollutant_map::hull(all, form_weights(f, {had.hi + 1, all.hi}));
  } else {
    all = form_weights(f, wanted);
  }
  known = {f.w, all};
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

// The limiter's bounds as values that the compiler cannot know (read
// through volatile), so that a long flux loop holds them in registers: GCC
// takes the minimum or maximum against a literal with a compare and a
// blend a vector, against a value with one min or max instruction. Either
// selects the same operand; the unrolled loop alone takes about a sixth
// less time so. A short loop takes the literals: reading the values would
// gain it nothing.
inline terms::limiter_bounds held_bounds() noexcept {
  const volatile terms::limiter_bounds literal{};
  return {literal.zero, literal.one, literal.two};
}

// The flux through face i of a row of faces, with q's cells along their
// normals; dt_length is the step times the faces' length, `bounds` the
// limiter's. `formed`: the face's weight is read from the row's scratch of
// weights.
template <bool formed>
[[gnu::always_inline]] inline float flux_through(const face_row& f, const normal_cells& q, float dt_length,
                                                 terms::limiter_bounds bounds, int i) noexcept {
  const float w = f.w[i];
  return terms::face_flux(w, f.weight<formed>(i), q.m[i], q.p[i],
                          terms::face_jumps(w, q.mm[i], q.m[i], q.p[i], q.pp[i]), dt_length, bounds);
}

// The fluxes through the faces, and into the scratch those of
// whole_vectors of them. A loop that reads its weights formed ahead is
// long (weights_ahead_from faces or more): it is unrolled and holds the
// limiter's bounds (held_bounds). A short one is over in a vector or two.
// The loops take their rows of faces and cells by value, as the bounds:
// read through a reference, a row's members might be what the loop's
// stores change, and g++ then leaves some copies of a loop scalar (the
// span test's own, once; a test checks).
template <bool formed>
[[gnu::always_inline]] inline void fluxes_over(const face_row f, const normal_cells q, span faces,
                                               scratch_row flux) noexcept {
  const float dt_length = f.dt * f.length;
  const span points = whole_vectors(faces, f.last);
  if constexpr (formed) {
    const terms::limiter_bounds bounds = held_bounds();
    PLUME_INDEPENDENT_POINTS
    PLUME_UNROLLED_4
    for (int i = points.lo; i <= points.hi; ++i) flux[i] = flux_through<true>(f, q, dt_length, bounds, i);
  } else {
    PLUME_INDEPENDENT_POINTS
    for (int i = points.lo; i <= points.hi; ++i) flux[i] = flux_through<false>(f, q, dt_length, {}, i);
  }
}
inline void fluxes(const face_row& f, const normal_cells& q, span faces, scratch_row flux) noexcept {
  if (f.weights_formed()) {
    fluxes_over<true>(f, q, faces, flux);
  } else {
    fluxes_over<false>(f, q, faces, flux);
  }
}

// The fluxes through two rows of faces of the same columns, f's and g's,
// over `faces`. Where both rows' weights are formed ahead (a long span),
// each row in its own unrolled loop. Otherwise in one loop over the
// faces (whole_vectors of them, as far as both rows hold them): a short
// span's faces are few, and each waits on its divisions; the two rows'
// faces, independent of each other, fill that wait with work. Unrolled,
// the long loops run faster than one loop over both rows, which GCC does
// not unroll.
inline void fluxes(const face_row f, const normal_cells q, scratch_row flux, const face_row g, const normal_cells r,
                   scratch_row g_flux, span faces) noexcept {
  if (f.weights_formed() && g.weights_formed()) {
    fluxes_over<true>(f, q, faces, flux);
    fluxes_over<true>(g, r, faces, g_flux);
    return;
  }
  const float f_dt_length = f.dt * f.length;
  const float g_dt_length = g.dt * g.length;
  const span points = whole_vectors(faces, std::min(f.last, g.last));
  PLUME_INDEPENDENT_POINTS
  for (int i = points.lo; i <= points.hi; ++i) {
    flux[i] = flux_through<false>(f, q, f_dt_length, {}, i);
    g_flux[i] = flux_through<false>(g, r, g_dt_length, {}, i);
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
