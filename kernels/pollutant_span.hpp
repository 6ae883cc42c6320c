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
// A loop over a span runs in blocks of a fixed number of points (16, 8, 4
// or 1: the widest that fits into the span), each block a fixed loop that
// the compiler turns into whole vectors; the last block ends at the span's
// last point, overlapping the block before it where the span is not a
// whole number of blocks. So no loop has a rest of points to finish one at
// a time or with narrower vectors, and no point outside the span is read
// or written.
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
// and the step and the spacings across and along the faces.
struct face_row {
  const float* w;
  float dt;
  float across;
  float length;
  float weight(int i) const noexcept { return terms::correction_weight(w[i], dt, across); }
};
// The x faces of a row, from its u, and the y faces, from its v.
inline face_row x_faces(const float* u, float dt, const grid_spacing& s) noexcept { return {u, dt, s.dx, s.dy}; }
inline face_row y_faces(const float* v, float dt, const grid_spacing& s) noexcept { return {v, dt, s.dy, s.dx}; }

// The values a block of `width` points forms for each of `count` rows,
// and where they go: stored once the block's values are all formed.
template <int width, int count>
struct block_values {
  float* to[count];
  float value[count][width];
  [[gnu::always_inline]] void store() const noexcept {
    for (int r = 0; r < count; ++r) std::copy(value[r], value[r] + width, to[r]);
  }
};

// Runs a loop over the points of a span in blocks of `width`: form.template
// block<width>(b) forms the values of points b .. b + width - 1 and returns
// them unstored. The last block, which ends at the span's last point, is
// formed before any block is stored and stored last: a loop that reads a
// row it writes (Heun's average reads the entry value from its output)
// then forms the points where two blocks overlap from what they held
// before the loop, the same values in both blocks.
template <int width, class Form>
[[gnu::always_inline]] inline void blocks_of(span points, const Form& form) noexcept {
  const int last_block = points.hi - width + 1;
  const auto last = form.template block<width>(last_block);
  for (int b = points.lo; b < last_block; b += width) form.template block<width>(b).store();
  last.store();
}

// The widest blocks that fit into the span: a span of fewer than 16
// points runs in blocks of 8, 4 or single points.
template <class Form>
[[gnu::always_inline]] inline void in_blocks(span points, const Form& form) noexcept {
  const int n = points.hi - points.lo + 1;
  if (n >= 16) {
    blocks_of<16>(points, form);
  } else if (n >= 8) {
    blocks_of<8>(points, form);
  } else if (n >= 4) {
    blocks_of<4>(points, form);
  } else if (n >= 1) {
    blocks_of<1>(points, form);
  }
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

// The fluxes through the faces, into the scratch.
struct flux_form {
  const face_row& f;
  const normal_cells& q;
  float dt_length;
  scratch_row flux;
  template <int width>
  [[gnu::always_inline]] block_values<width, 1> block(int b) const noexcept {
    block_values<width, 1> out{{&flux[b]}, {}};
    PLUME_INDEPENDENT_POINTS
    for (int k = 0; k < width; ++k) {
      const int i = b + k;
      const float w = f.w[i];
      out.value[0][k] = terms::face_flux(w, f.weight(i), q.m[i], q.p[i],
                                         terms::face_jumps(w, q.mm[i], q.m[i], q.p[i], q.pp[i]), dt_length);
    }
    return out;
  }
};
[[gnu::always_inline]] inline void fluxes(const face_row& f, const normal_cells& q, span faces,
                                          scratch_row flux) noexcept {
  in_blocks(faces, flux_form{f, q, f.dt * f.length, flux});
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
struct advance_form {
  const float* q;
  const cell_fluxes& f;
  const grid_spacing& s;
  float* out;
  template <int width>
  [[gnu::always_inline]] block_values<width, 1> block(int b) const noexcept {
    block_values<width, 1> values{{out + b}, {}};
    PLUME_INDEPENDENT_POINTS
    for (int k = 0; k < width; ++k) values.value[0][k] = q[b + k] + f.change(b + k, s);
    return values;
  }
};
[[gnu::always_inline]] inline void advance(const float* q, const cell_fluxes& f, const grid_spacing& s, span cells,
                                           float* out) noexcept {
  in_blocks(cells, advance_form{q, f, s, out});
}

// The second stage's cells: the rate (twice the change of the stage's q)
// into rate, and Heun's average of the entry value, which out holds, with
// the stage's q and the change, into out.
struct average_form {
  const float* q;
  const cell_fluxes& f;
  const grid_spacing& s;
  float* out;
  float* rate;
  template <int width>
  [[gnu::always_inline]] block_values<width, 2> block(int b) const noexcept {
    block_values<width, 2> values{{rate + b, out + b}, {}};
    PLUME_INDEPENDENT_POINTS
    for (int k = 0; k < width; ++k) {
      const int i = b + k;
      const float dq = f.change(i, s);
      values.value[0][k] = dq * 2.0f;
      values.value[1][k] = terms::heun(out[i], q[i], dq);
    }
    return values;
  }
};
[[gnu::always_inline]] inline void average(const float* q, const cell_fluxes& f, const grid_spacing& s, span cells,
                                           float* out, float* rate) noexcept {
  in_blocks(cells, average_form{q, f, s, out, rate});
}

}  // namespace pollutant_span
