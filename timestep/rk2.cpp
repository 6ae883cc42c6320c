// The production time step: the same arithmetic as the plain composition of
// the procedures, evaluated by the same per-point functions, but swept over
// the grid row by row so that each stage is one pass over memory.
//
// Stage 1 reads the entry state with its boundary values set (set 0). Rather
// than copying the four fields for that, the boundary values are set in the
// module arrays themselves, after the points that set_bdy writes (the frame
// around the core of the interior) have been saved; they are put back before
// stage 2, so the module arrays hold the exact entry state again. Stage 1
// writes the stage state (set 1) on the points the forward step advances;
// every other point of set 1 then gets its boundary value, exactly as the
// corrector stage expects. Stage 2 reads set 1 and updates the module arrays
// in place: each new value needs the entry value of its own point only.
//
// The step works on a block of the grid: all of it, or the part that one
// process of a run over several holds (its patch, with a halo of two). The
// workspace's exchange gives the block its boundary values, set_bdy's for
// the whole grid, and for a part the halo values from the blocks around it
// as well. A block computes the points of its patch that the whole grid's
// step computes, and besides them the u faces of the column east of its
// cells and the v faces of the row north of them, so that the heights of
// its last column and row need nothing from its neighbours: those faces lie
// in its halo when a neighbour owns them, and their inputs within two points.
//
// Each stage leaves out work whose result is known, with the very values the
// full arithmetic would give: the fluxes of cells that are clean and stay
// clean (pollutant_map.hpp), the momentum tendency of calm faces
// (calm_flow.hpp), and whole rows whose inputs repeat the row below, which
// take that row's results. What a stage needs to know for this is surveyed
// afresh from its inputs into the caller's workspace (step_workspace.hpp),
// by the same step that uses it; nothing is carried from one step to the
// next.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "diagnostics/derived_terms.hpp"
#include "grid/constant.hpp"
#include "grid/domain.hpp"
#include "kernels/kernels.hpp"
#include "kernels/point_terms.hpp"
#include "decomposition/halo_exchange.hpp"
#include "timestep/calm_flow.hpp"
#include "timestep/pollutant_map.hpp"
#include "timestep/row_team.hpp"
#include "timestep/step_workspace.hpp"
#include "timestep/timestep.hpp"

// Tells the compiler that the points of the loop that follows are
// independent, in the dialect of each compiler the project builds with.
#if defined(__clang__)
#define PLUME_INDEPENDENT_POINTS _Pragma("clang loop vectorize(assume_safety)")
#elif defined(__GNUC__)
#define PLUME_INDEPENDENT_POINTS _Pragma("GCC ivdep")
#else
#define PLUME_INDEPENDENT_POINTS
#endif

namespace {

using terms::idx;

// The grid's interior (d), the block's stored extent (m) and what the block
// computes: the cells c0..c1 of rows r0..r1, the u faces c0..c1 + 1 of those
// rows and the v faces c0..c1 of rows r0..r1 + 1. For the whole grid that
// is the cells ids..ide-1, jds..jde-1, the u faces up to ide and the v
// faces up to jde.
struct extent {
  int ids, ide, jds, jde, ims, ime, jms, jme;
  int c0, c1, r0, r1;
  idx nx;
  grid_spacing s;
  idx row(int j) const noexcept { return at(0, j, ims, ime, jms); }
};

void save_frame(const float* f, float* kept, const grid_bounds& b, const patch_bounds& p) {
  for_boundary_frame(b, p, [&](idx from, idx count) { kept = std::copy_n(f + from, count, kept); });
}

void restore_frame(float* f, const float* kept, const grid_bounds& b, const patch_bounds& p) {
  for_boundary_frame(b, p, [&](idx to, idx count) {
    std::copy_n(kept, count, f + to);
    kept += count;
  });
}

// Height of the cells of one row, diagnosed from u and v.
void height_row(float* __restrict h, const float* __restrict u, const float* __restrict v, idx row,
                const extent& e) noexcept {
  for (int i = e.c0; i <= e.c1; ++i) h[row + i] = terms::diagnosed_height(u, v, row + i, e.nx, e.s);
}

// What a stage knows of where its pollutant is: the non-zero columns of
// each stored row of the stage's q (indexed j - jms), and in the second
// stage those of the entry q, which the average reads at each cell.
struct pollutant {
  const pollutant_map::span* stage_rows;
  const pollutant_map::span* entry_rows;  // nullptr in the first stage
  bool may_skip;                          // the spacing lets clean cells be skipped
};

// The cells of row j whose advection must be computed; every other cell of
// c0..c1 is clean and stays clean (see pollutant_map.hpp).
pollutant_map::span cells_to_compute(const extent& e, const pollutant& p, const float* u, const float* v, int j) {
  using namespace pollutant_map;
  const span all{e.c0, e.c1};
  if (!p.may_skip) return all;
  const auto row = [&](int jj) { return p.stage_rows[jj - e.jms]; };
  span reach = hull(hull(widen(row(j), 1), row(j - 1)), row(j + 1));
  if (p.entry_rows != nullptr) reach = hull(reach, p.entry_rows[j - e.jms]);
  const span cells = clip(reach, all);
  if (cells.lo == all.lo && cells.hi == all.hi) return all;
  const idx r = e.row(j) + e.c0;
  const int faces = e.c1 - e.c0 + 1;
  if (!moderate(u + r, faces + 1) || !moderate(v + r, faces) || !moderate(v + r + e.nx, faces)) return all;
  return cells;
}

// Visits i = lo..hi: both(i) where i lies in `s`, only(i) elsewhere.
template <class Both, class Only>
inline void split(int lo, int hi, pollutant_map::span s, Both both, Only only) {
  const int a = std::max(lo, s.lo), b = std::min(hi, s.hi);
  if (a > b) {
PLUME_INDEPENDENT_POINTS
    for (int i = lo; i <= hi; ++i) only(i);
    return;
  }
PLUME_INDEPENDENT_POINTS
  for (int i = lo; i < a; ++i) only(i);
PLUME_INDEPENDENT_POINTS
  for (int i = a; i <= b; ++i) both(i);
PLUME_INDEPENDENT_POINTS
  for (int i = b + 1; i <= hi; ++i) only(i);
}

// Visits i = lo..hi in runs, calling f(in_a, in_b, i) with in_a and in_b
// compile-time flags that say whether i lies in span a and in span b, so
// that each run is one plain loop.
template <class F>
inline void visit_runs(int lo, int hi, pollutant_map::span a, pollutant_map::span b, F f) {
  // The points where a run starts, in order (at most four besides lo).
  int cuts[4] = {};
  int n = 0;
  for (const pollutant_map::span& s : {a, b}) {
    if (s.empty()) continue;
    for (int c : {s.lo, s.hi + 1}) {
      if (c <= lo || c > hi || n == 4) continue;
      int at = n++;
      for (; at > 0 && cuts[at - 1] > c; --at) cuts[at] = cuts[at - 1];
      cuts[at] = c;
    }
  }
  const auto run = [](int from, int to, auto g) {
PLUME_INDEPENDENT_POINTS
    for (int i = from; i < to; ++i) g(i);
  };
  const auto inside = [](pollutant_map::span s, int i) { return s.lo <= i && i <= s.hi; };
  int from = lo;
  for (int t = 0; t <= n; ++t) {
    const int to = t < n ? cuts[t] : hi + 1;
    if (to <= from) continue;
    const bool ia = inside(a, from), ib = inside(b, from);
    if (ia && ib) {
      run(from, to, [&](int i) { f(std::true_type{}, std::true_type{}, i); });
    } else if (ia) {
      run(from, to, [&](int i) { f(std::true_type{}, std::false_type{}, i); });
    } else if (ib) {
      run(from, to, [&](int i) { f(std::false_type{}, std::true_type{}, i); });
    } else {
      run(from, to, [&](int i) { f(std::false_type{}, std::false_type{}, i); });
    }
    from = to;
  }
}

// One stage's sweep over the cell rows [first, last) of r0..r1.
//
// Each row takes three loops. The first computes the x-face fluxes and
// hands each face to `face_u`, which advances u there; the second the
// fluxes through the cells' north faces, with `face_v` advancing v; the
// third hands each cell its four fluxes (`cell`, which advances q) and,
// from the second row on, diagnoses the height of the cell below, whose
// north v is now in place. Pairing the flux arithmetic with the
// division-heavy momentum terms keeps the divider and the other units busy
// together. The sweep that ends after r1 also advances v on row r1 + 1; the
// height of the sweep's last row, whose north neighbour may belong to
// another sweep, is left to the caller.
//
// Fluxes are formed only for the faces of the cells that must be computed
// (cells_to_compute); the clean cells get `clear` instead of `cell`. The
// north faces of a row serve the row above as its south faces, so they are
// formed for the cells of both rows.
//
// Within a row no point reads what another point of the row writes (the
// stage arrays, the module arrays and the flux rows are distinct), which
// the loops tell the compiler so that it need not check at run time.
template <class FaceU, class FaceV, class Cell, class Clear, class Height, class RepeatRow, class RepeatHeight>
void sweep(const extent& e, int first, int last, const float* q, const float* u, const float* v, const float* h,
           float dt, const pollutant& p, const unsigned char* repeats, float* rows, FaceU face_u, FaceV face_v,
           Cell cell, Clear clear, Height height, RepeatRow repeat_row, RepeatHeight repeat_height) {
  using pollutant_map::span;
  const int c0 = e.c0, c1 = e.c1, ims = e.ims;
  const idx nx = e.nx;
  const grid_spacing s = e.s;
  float* const fx = rows;
  float* fy_south = rows + nx;
  float* fy_north = rows + 2 * nx;
  span cells = pollutant_map::nothing;
  bool south_ready = false;  // fy_south holds the south fluxes of `cells`
  bool repeated = false;     // the previous row was a repeat
  // The tendency of a face: formed in full, or the +0 of a calm face.
  const auto u_tendency = [&](auto unsettled, idx k) {
    if constexpr (unsettled) return terms::u_tendency(u, v, h, k, nx, s);
    return 0.0f;
  };
  const auto v_tendency = [&](auto unsettled, idx k) {
    if constexpr (unsettled) return terms::v_tendency(u, v, h, k, nx, s);
    return 0.0f;
  };
  for (int j = first; j < last; ++j) {
    const idx r = e.row(j);
    if (j > first && repeats[j - e.jms] != 0) {
      // Every input this row reads repeats the row below: so do its results.
      repeat_row(r);
      if (repeated) {
        repeat_height(r - nx);
      } else {
PLUME_INDEPENDENT_POINTS
        for (int i = c0; i <= c1; ++i) height(r - nx + i);
      }
      repeated = true;
      south_ready = false;
      continue;
    }
    if (!south_ready) {
      cells = cells_to_compute(e, p, u, v, j);
      for (int i = cells.lo; i <= cells.hi; ++i) fy_south[i - ims] = terms::y_face_flux(q, v, r + i, nx, dt, s);
    }
    const span above = j + 1 < last ? cells_to_compute(e, p, u, v, j + 1) : pollutant_map::nothing;
    const span x_faces = cells.empty() ? cells : span{cells.lo, cells.hi + 1};
    const span u_faces = !p.may_skip ? span{c0, c1 + 1} : calm_flow::unsettled_faces(c0, c1 + 1, [&](int i) {
      return calm_flow::unsettled_u(u, v, h, r + i, nx);
    });
    const span v_faces = !p.may_skip ? span{c0, c1} : calm_flow::unsettled_faces(c0, c1, [&](int i) {
      return calm_flow::unsettled_v(u, v, h, r + i, nx);
    });
    visit_runs(c0, c1 + 1, x_faces, u_faces, [&](auto flux, auto unsettled, int i) {
      if constexpr (flux) fx[i - ims] = terms::x_face_flux(q, u, r + i, dt, s);
      face_u(r + i, u_tendency(unsettled, r + i));
    });
    visit_runs(c0, c1, pollutant_map::hull(cells, above), v_faces, [&](auto flux, auto unsettled, int i) {
      if constexpr (flux) fy_north[i - ims] = terms::y_face_flux(q, v, r + nx + i, nx, dt, s);
      face_v(r + i, v_tendency(unsettled, r + i));
    });
    const auto with_fluxes = [&](int i) {
      const idx c = i - ims;
      cell(r + i, fx[c], fx[c + 1], fy_south[c], fy_north[c]);
    };
    if (j > first) {
      split(
          c0, c1, cells,
          [&](int i) {
            with_fluxes(i);
            height(r - nx + i);
          },
          [&](int i) {
            clear(r + i);
            height(r - nx + i);
          });
    } else {
      split(c0, c1, cells, with_fluxes, [&](int i) { clear(r + i); });
    }
    std::swap(fy_south, fy_north);
    cells = above;
    south_ready = true;
    repeated = false;
  }
  if (last == e.r1 + 1) {
    const idx r = e.row(last);
PLUME_INDEPENDENT_POINTS
    for (int i = c0; i <= c1; ++i) face_v(r + i, terms::v_tendency(u, v, h, r + i, nx, s));
  }
}

// Copies columns lo..hi of the row below (starting at r - nx) into row r.
inline void repeat_row(float* f, idx r, int lo, int hi, idx nx) noexcept {
  std::copy_n(f + r - nx + lo, hi - lo + 1, f + r + lo);
}

// Stage 1, the forward step of set 0 into set 1: the pollutant advected over
// one step, the velocities advanced by their tendencies, the height
// diagnosed from the advanced velocities.
void predictor(float* __restrict u1, float* __restrict v1, float* __restrict h1, float* __restrict q1,
               const float* __restrict u0, const float* __restrict v0, const float* __restrict h0,
               const float* __restrict q0, const pollutant& p, const unsigned char* repeats, float* rows,
               const extent& e, int first, int last) noexcept {
  const idx nx = e.nx;
  const grid_spacing s = e.s;
  sweep(
      e, first, last, q0, u0, v0, h0, constant::step_length, p, repeats, rows,
      [=](idx k, float tendency) { u1[k] = u0[k] + tendency; },
      [=](idx k, float tendency) { v1[k] = v0[k] + tendency; },
      [=](idx k, float fx_w, float fx_e, float fy_s, float fy_n) {
        q1[k] = q0[k] + terms::cell_change(fx_w, fx_e, fy_s, fy_n, s);
      },
      [=](idx k) { q1[k] = 0.0f; },
      [=](idx k) { h1[k] = terms::diagnosed_height(u1, v1, k, nx, s); },
      [=](idx r) {
        repeat_row(u1, r, e.c0, e.c1 + 1, nx);
        repeat_row(v1, r, e.c0, e.c1, nx);
        repeat_row(q1, r, e.c0, e.c1, nx);
      },
      [=](idx r) { repeat_row(h1, r, e.c0, e.c1, nx); });
}

// Stage 2, the corrector: tendencies and the half-step pollutant increment
// on the boundary-completed set 1, averaged with the entry state held in
// u, v, q, which are overwritten point by point; then the final height.
void corrector(float* __restrict u, float* __restrict v, float* __restrict h, float* __restrict q,
               float* __restrict dqdt, const float* __restrict u1, const float* __restrict v1,
               const float* __restrict h1, const float* __restrict q1, const pollutant& p,
               const unsigned char* repeats, float* rows, const extent& e, int first, int last) noexcept {
  const idx nx = e.nx;
  const grid_spacing s = e.s;
  sweep(
      e, first, last, q1, u1, v1, h1, constant::stage2_length, p, repeats, rows,
      [=](idx k, float tendency) { u[k] = terms::heun(u[k], u1[k], tendency); },
      [=](idx k, float tendency) { v[k] = terms::heun(v[k], v1[k], tendency); },
      [=](idx k, float fx_w, float fx_e, float fy_s, float fy_n) {
        const float dq = terms::cell_change(fx_w, fx_e, fy_s, fy_n, s);
        dqdt[k] = dq * 2.0f;
        q[k] = terms::heun(q[k], q1[k], dq);
      },
      [=](idx k) {
        dqdt[k] = 0.0f;
        q[k] = 0.0f;
      },
      [=](idx k) { h[k] = terms::diagnosed_height(u, v, k, nx, s); },
      [=](idx r) {
        repeat_row(u, r, e.c0, e.c1 + 1, nx);
        repeat_row(v, r, e.c0, e.c1, nx);
        repeat_row(q, r, e.c0, e.c1, nx);
        repeat_row(dqdt, r, e.c0, e.c1, nx);
      },
      [=](idx r) { repeat_row(h, r, e.c0, e.c1, nx); });
}

// Runs a stage over all cell rows in chunks, then the height of each
// chunk's last row, once every chunk's v is in place.
template <class Stage>
void in_chunks(const extent& e, const step_workspace& ws, float* h, const float* u, const float* v, Stage stage) {
  step_team& team = ws.team();
  team.for_each_chunk(e.r0, e.r1 + 1, [&](int k, int first, int last) { stage(ws.flux_rows(k), first, last); });
  const int parts = team.size();
  for (int k = 0; k < parts; ++k) {
    const auto [first, last] = row_chunk(e.r0, e.r1 + 1, k, parts);
    if (first < last) height_row(h, u, v, e.row(last - 1), e);
  }
}

using survey = step_workspace::survey;

// Surveys the stage's inputs, the rows shared among the threads. Where
// `copied` marks a row whose u, v and q the previous stage copied from the
// row below, those rows are known to repeat and only h is compared: the
// boundary values set since derive each row's halo columns from the row
// itself. (`copied` is given only where that holds: a block with neighbours
// to the west or east takes its halo columns from theirs.)
void take_survey(step_team& team, survey& out, const float* u, const float* v, const float* h, const float* q,
                 const extent& e, const unsigned char* copied) {
  const auto bytes = static_cast<std::size_t>(e.nx) * sizeof(float);
  team.for_each_chunk(e.jms, e.jme + 1, [&](int, int first, int last) {
    for (int j = first; j < last; ++j) {
      const auto at = static_cast<std::size_t>(j - e.jms);
      const idx r = e.row(j) + e.ims;
      out.pollutant[at] = pollutant_map::nonzero_columns(q + r, e.nx, e.ims);
      const auto repeats = [&](const float* f) { return std::memcmp(f + r, f + r - e.nx, bytes) == 0; };
      bool same = j > e.jms && repeats(h);
      if (copied == nullptr || copied[at] == 0) same = same && repeats(u) && repeats(v) && repeats(q);
      out.same_as_below[at] = same ? 1 : 0;
    }
  });
}

// A row of a stage repeats the row below, and its results are copied from
// it, where every row its stencils read (two each way) repeats the row below
// it; in the second stage the entry values the average reads must repeat
// too. The two rows below do more than the stencils need (the flow reads one
// row each way, and the pollutant the second row only through a jump that
// is zero where the rows repeat): they keep the first cell row r0 unmarked,
// since same_as_below is never set for row jms. Its row below holds boundary
// or halo values, not this stage's results, so the next stage's survey, which
// trusts every marked row to repeat the row below, must not trust it. The entry rows were surveyed after the boundary values were set, which
// changes only one of the points the average reads: the west wall face of u,
// compared from the entry state itself (`wall`). Every stored row gets its
// mark, so that no mark of another state is ever read: rows outside the
// cell rows r0..r1 are computed by no sweep and never repeat.
void mark_repeats(std::vector<unsigned char>& repeats, const survey& stage, const survey* entry,
                  const std::vector<unsigned char>& wall, const extent& e) {
  const auto at = [&](int jj) { return static_cast<std::size_t>(jj - e.jms); };
  for (int j = e.jms; j <= e.jme; ++j) repeats[at(j)] = 0;
  for (int j = e.r0; j <= e.r1; ++j) {
    bool repeat = true;
    for (int d = -2; d <= 2; ++d) repeat = repeat && stage.same_as_below[at(j + d)] != 0;
    if (entry != nullptr) repeat = repeat && entry->same_as_below[at(j)] != 0 && wall[at(j)] != 0;
    repeats[at(j)] = repeat ? 1 : 0;
  }
}

}  // namespace

void rk2(float* u, float* v, float* h, float* q, float* dqdt, const float* /*gpx*/, const float* /*gpy*/,
         const float* /*fx*/, const float* /*fy*/, const grid_spacing& s, const float& u_in, const float& v_in,
         const int& ids, const int& ide, const int& jds, const int& jde, const int& ims, const int& ime, const int& jms,
         const int& jme, step_workspace& ws) {
  const grid_bounds b{ids, ide, jds, jde, ims, ime, jms, jme};
  if (ws.bounds() != b) throw std::invalid_argument("rk2: the workspace was made for another grid");
  const patch_bounds& p = ws.patch();
  const extent e{ids,
                 ide,
                 jds,
                 jde,
                 ims,
                 ime,
                 jms,
                 jme,
                 std::max(ids, p.ips),
                 std::min(ide - 1, p.ipe),
                 std::max(jds, p.jps),
                 std::min(jde - 1, p.jpe),
                 static_cast<idx>(ime - ims + 1),
                 s};
  const std::size_t nf = boundary_frame_points(b, p);
  float* const kept = ws.frames();
  float* const u1 = ws.u1();
  float* const v1 = ws.v1();
  float* const h1 = ws.h1();
  float* const q1 = ws.q1();
  step_team& team = ws.team();
  halo_exchange& exchange = ws.exchange();
  const bool may_skip = pollutant_map::spacing_allows_skipping(s.dx, s.dy);
  // The halo columns of a block that spans the grid's width come from its
  // own rows (the west and east boundary values).
  const bool own_columns = p.ips == ids && p.ipe == ide;

  // Whether each row's west wall face repeats the row below, in the entry
  // state (a block away from the wall has none).
  const bool has_wall = ims <= ids && ids <= ime;
  for (int j = jms; j <= jme; ++j) {
    const idx k = e.row(j) + ids;
    ws.wall_same[static_cast<std::size_t>(j - jms)] =
        !has_wall || (j > jms && std::memcmp(u + k, u + k - e.nx, sizeof(float)) == 0);
  }
  float* const fields[4] = {u, v, h, q};
  for (std::size_t f = 0; f < 4; ++f) save_frame(fields[f], kept + f * nf, b, p);
  exchange.boundary(u, v, h, q, u_in, v_in);
  take_survey(team, ws.entry, u, v, h, q, e, nullptr);
  mark_repeats(ws.first_repeats, ws.entry, nullptr, ws.wall_same, e);
  const pollutant first_stage{ws.entry.pollutant.data(), nullptr, may_skip};
  in_chunks(e, ws, h1, u1, v1, [&](float* r, int first, int last) {
    predictor(u1, v1, h1, q1, u, v, h, q, first_stage, ws.first_repeats.data(), r, e, first, last);
  });
  for (std::size_t f = 0; f < 4; ++f) restore_frame(fields[f], kept + f * nf, b, p);

  exchange.boundary(u1, v1, h1, q1, u_in, v_in);
  take_survey(team, ws.stage, u1, v1, h1, q1, e, own_columns ? ws.first_repeats.data() : nullptr);
  mark_repeats(ws.second_repeats, ws.stage, &ws.entry, ws.wall_same, e);
  const pollutant second_stage{ws.stage.pollutant.data(), ws.entry.pollutant.data(), may_skip};
  in_chunks(e, ws, h, u, v, [&](float* r, int first, int last) {
    corrector(u, v, h, q, dqdt, u1, v1, h1, q1, second_stage, ws.second_repeats.data(), r, e, first, last);
  });
}
