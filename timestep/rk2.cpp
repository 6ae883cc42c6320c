// The production time step: the same arithmetic as the plain composition of
// the procedures, evaluated by the same per-point functions, but swept over
// the grid row by row, and only over the rows and cells whose results are
// not known without it.
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
// Two kinds of knowledge, carried in the workspace from stage to stage and
// from step to step, leave out work whose result is known, with the very
// values the full arithmetic would give:
//  - which rows of the flow repeat the row below (flow_rows.hpp): such a row
//    of u, v and h is neither computed nor stored, the flow being decided
//    from u, v and h alone;
//  - where the pollutant is (pollutant_map.hpp): the fluxes of cells that
//    are clean and stay clean are not formed, and zeros are written only
//    over cells that held something else.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <vector>

#include "decomposition/halo_exchange.hpp"
#include "diagnostics/derived_terms.hpp"
#include "grid/constant.hpp"
#include "grid/domain.hpp"
#include "kernels/boundary_rules.hpp"
#include "kernels/point_terms.hpp"
#include "timestep/flow_rows.hpp"
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

using pollutant_map::span;
using terms::idx;

// Below this much work (in the units of a row's cost in run_stage: about a
// nanosecond each) a stage runs on the calling thread alone: handing it out
// would cost more than the others save. The team's threads wait awake for
// a few tens of microseconds after a sweep; once they sleep, waking them
// takes about as long again, worth it only for a larger stage. Either way
// the calling thread takes the parts that nobody has taken yet, so a late
// thread costs at most the part it took.
constexpr long team_work = 20000;
constexpr long team_work_asleep = 200000;
// A shared stage is cut into a few parts per thread, so that a thread that
// loses its core to another process in the middle of a part holds up only
// that part: the others take the rest.
constexpr int parts_per_thread = 4;

// The grid's interior (d), the block's stored extent (m), its patch (p) and
// what it computes: the cells c0..c1 of rows r0..r1, the u faces c0..c1 + 1
// of those rows and the v faces c0..c1 of rows r0..r1 + 1. For the whole
// grid that is the cells ids..ide-1, jds..jde-1, the u faces up to ide and
// the v faces up to jde.
struct extent {
  int ids, ide, jds, jde, ims, ime, jms, jme;
  int ips, ipe, jps, jpe;
  int c0, c1, r0, r1;
  idx nx;
  grid_spacing s;
  idx row(int j) const noexcept { return at(0, j, ims, ime, jms); }
  std::size_t at_row(int j) const noexcept { return static_cast<std::size_t>(j - jms); }
  bool own_cell_row(int j) const noexcept { return j >= r0 && j <= r1; }
  // Whether the block's rows span the grid's width: no neighbour to the
  // west or east.
  bool spans_width() const noexcept { return c0 == ids && c1 == ide - 1; }
};

// The computed columns of each field of the flow: u on c0..c1 + 1, v and h
// on c0..c1.
int last_column(const extent& e, int field) noexcept { return field == 0 ? e.c1 + 1 : e.c1; }

// The flow fields of a set (the module's u, v, h or the stage's), with what
// is known of their rows.
struct flow_set {
  float* f[3];
  flow_rows* rows;
  const extent* e;

  // Where row j's values of field k are stored, at column 0.
  float* at_row(int k, int j) const noexcept { return f[k] + e->row(rows->source[e->at_row(j)]); }
  // The row's own storage, at column 0.
  float* own(int k, int j) const noexcept { return f[k] + e->row(j); }
};

void resolve(flow_rows& r, const extent& e) {
  for (int j = e.jms; j <= e.jme; ++j) {
    const std::size_t k = e.at_row(j);
    r.source[k] = (j == e.jms || r.stored[k] != 0) ? j : r.source[k - 1];
  }
}

// Writes out row j of the set: its computed columns from where they are
// stored.
void write_out(const flow_set& s, int j) {
  const extent& e = *s.e;
  const std::size_t at = e.at_row(j);
  if (s.rows->stored[at] != 0) return;
  for (int k = 0; k < 3; ++k) {
    const float* from = s.at_row(k, j);
    std::copy(from + e.c0, from + last_column(e, k) + 1, s.own(k, j) + e.c0);
  }
  s.rows->stored[at] = 1;
  s.rows->source[at] = j;
}

// Writes out the own cell rows of [j0, j1] that are not stored.
void write_out_rows(const flow_set& s, int j0, int j1) {
  const extent& e = *s.e;
  bool changed = false;
  for (int j = std::max(j0, e.r0); j <= std::min(j1, e.r1); ++j) {
    changed = changed || s.rows->stored[e.at_row(j)] == 0;
    write_out(s, j);
  }
  if (changed) resolve(*s.rows, e);
}

bool same_columns(const float* a, const float* b, int from, int to) noexcept {
  return from > to || std::memcmp(a + from, b + from, static_cast<std::size_t>(to - from + 1) * sizeof(float)) == 0;
}

// Whether row j's computed columns hold the same values as row j-1's.
bool computed_columns_repeat(const flow_set& s, int j) {
  const extent& e = *s.e;
  for (int k = 0; k < 3; ++k) {
    if (!same_columns(s.at_row(k, j), s.at_row(k, j - 1), e.c0, last_column(e, k))) return false;
  }
  return true;
}

// Learns the rows of a set whose arrays hold every value (a caller has
// written into them): every row stored, each compared with the row below.
void survey_flow(const flow_set& s) {
  const extent& e = *s.e;
  std::fill(s.rows->stored.begin(), s.rows->stored.end(), 1);
  resolve(*s.rows, e);
  for (int j = e.jms; j <= e.jme; ++j) {
    s.rows->same[e.at_row(j)] = e.own_cell_row(j) && j > e.r0 && computed_columns_repeat(s, j);
  }
}

// The span of the non-zero values (+0 or -0 count as zero) of columns
// from..to of a row (pointing at column 0).
span nonzero_between(const float* row, int from, int to) noexcept {
  if (from > to) return pollutant_map::nothing;
  const span s = pollutant_map::nonzero_columns(row + from, to - from + 1, from);
  return s;
}

// The span of the values other than +0 among columns from..to.
span written_between(const float* row, int from, int to) noexcept {
  int lo = from;
  while (lo <= to && std::bit_cast<std::uint32_t>(row[lo]) == 0) ++lo;
  if (lo > to) return pollutant_map::nothing;
  int hi = to;
  while (std::bit_cast<std::uint32_t>(row[hi]) == 0) --hi;
  return {lo, hi};
}

// The cells c0..c1 of each own cell row of q that may hold something other
// than +0.
void survey_cells(const float* q, std::vector<span>& out, const extent& e) {
  for (int j = e.jms; j <= e.jme; ++j) {
    out[e.at_row(j)] = e.own_cell_row(j) ? written_between(q + e.row(j), e.c0, e.c1) : pollutant_map::nothing;
  }
}

// Whether each row of a stage's input, as the stage reads it, holds the same
// values of u, v and h as the row below. The rows that the step cannot know
// (the first cell row, the halo rows) are compared in full. An own cell row
// known to repeat holds, in a block whose rows span the grid's width, the
// boundary values of the row below as well: they are made from its computed
// columns alone. Beside a neighbour to the west or east, its halo columns
// are compared, and a row that differs there is written out, so that it is
// read from its own storage.
void input_rows(const flow_set& s, std::vector<unsigned char>& same, const extent& e) {
  const bool whole_rows = e.spans_width();
  bool changed = false;
  for (int j = e.jms; j <= e.jme; ++j) {
    const std::size_t at = e.at_row(j);
    if (j == e.jms) {
      same[at] = 0;
      continue;
    }
    if (e.own_cell_row(j) && j > e.r0) {
      bool repeat = s.rows->same[at] != 0;
      if (whole_rows) {
        same[at] = repeat;
        continue;
      }
      for (int k = 0; k < 3 && repeat; ++k) {
        const float* mine = s.own(k, j);
        const float* below = s.own(k, j - 1);
        // Beside a neighbour to the east, the u of the face east of the
        // cells is the neighbour's, and the exchange wrote it: what was
        // known of it came from the arrays before.
        const int east = k == 0 && e.c1 + 1 < e.ide ? e.c1 + 1 : last_column(e, k) + 1;
        repeat = same_columns(mine, below, e.ims, e.c0 - 1) && same_columns(mine, below, east, e.ime);
      }
      if (!repeat && s.rows->stored[at] == 0) {
        write_out(s, j);
        changed = true;
      }
      same[at] = repeat;
      continue;
    }
    bool repeat = true;
    for (int k = 0; k < 3 && repeat; ++k) repeat = same_columns(s.own(k, j), s.own(k, j - 1), e.ims, e.ime);
    same[at] = repeat;
  }
  if (changed) resolve(*s.rows, e);
}

// In a block whose rows span the grid's width, the boundary columns of q
// are made from the row's cells: the west ones mirror columns 1 .. ids - ims,
// the east ones copy column ide - 1. Whether that lets them be known from
// the span of the cells.
bool boundary_q_follows_cells(const extent& e) noexcept {
  return e.spans_width() && e.c0 <= 1 && e.ids - e.ims <= e.c1;
}
// Whether the boundary columns of q made from cells that hold +0 outside
// `cells` come out +0.
bool boundary_q_clean(const extent& e, span cells) noexcept {
  return cells.empty() || (cells.lo > e.ids - e.ims && cells.hi < e.ide - 1);
}

// Where each row of a stage's input q, as the stage reads it, may be other
// than zero: for own cell rows the span known for their cells widened to
// the boundary or halo columns that may hold something, the other rows
// looked at in full.
void input_pollutant(const float* q, const std::vector<span>& own, std::vector<span>& out, const extent& e) {
  const bool derived = boundary_q_follows_cells(e);
  for (int j = e.jms; j <= e.jme; ++j) {
    const std::size_t at = e.at_row(j);
    const float* row = q + e.row(j);
    if (!e.own_cell_row(j)) {
      out[at] = nonzero_between(row, e.ims, e.ime);
      continue;
    }
    span known = own[at];
    if (derived) {
      if (!known.empty() && known.lo <= e.ids - e.ims) known.lo = e.ims;
      if (!known.empty() && known.hi >= e.ide - 1) known.hi = e.ime;
      out[at] = known;
      continue;
    }
    out[at] = pollutant_map::hull(pollutant_map::hull(known, nonzero_between(row, e.ims, e.c0 - 1)),
                                  nonzero_between(row, e.c1 + 1, e.ime));
  }
}

// Whether the west and east boundary columns of q in each own cell row hold
// +0 (known only where they follow the cells).
void survey_q_frame(const float* q, std::vector<unsigned char>& zero, const extent& e) {
  const bool known = boundary_q_follows_cells(e);
  for (int j = e.jms; j <= e.jme; ++j) {
    const float* row = q + e.row(j);
    bool clean = known && e.own_cell_row(j);
    for (int i = e.ims; i <= e.ids - 1 && clean; ++i) clean = std::bit_cast<std::uint32_t>(row[i]) == 0;
    for (int i = e.ide; i <= e.ime && clean; ++i) clean = std::bit_cast<std::uint32_t>(row[i]) == 0;
    zero[e.at_row(j)] = clean;
  }
}

// Which boundary column rules each row of a stage's input takes
// (boundary::flow_columns, pollutant_columns), given its q's cells and
// whether its boundary columns of q hold +0 (q_zero): in a block whose rows
// span the grid's width, those of u, v and h only in the rows that hold
// their values (the reads of the others go to the row that does), and
// those of q only where they may change something, not where the columns
// hold +0 and the cells give +0. Every rule in every other row. Where the
// stage keeps the columns that the rules write (the second, whose set 1
// keeps them), q_zero then tells what they hold.
void choose_rules(const extent& e, const flow_rows& flow, const std::vector<span>& q_cells,
                  std::vector<unsigned char>& q_zero, bool keeps_columns, std::vector<unsigned char>& rules) {
  const bool whole_rows = e.spans_width();
  const bool derived = boundary_q_follows_cells(e);
  for (int j = e.jms; j <= e.jme; ++j) {
    const std::size_t at = e.at_row(j);
    if (!whole_rows || !e.own_cell_row(j)) {
      rules[at] = boundary::all_columns;
      if (keeps_columns) q_zero[at] = 0;
      continue;
    }
    unsigned char which = flow.stored[at] != 0 ? boundary::flow_columns : 0;
    const bool clean = derived && boundary_q_clean(e, q_cells[at]);
    if (!(clean && q_zero[at] != 0)) which |= boundary::pollutant_columns;
    if (keeps_columns) q_zero[at] = clean;
    rules[at] = which;
  }
}

// What a stage knows of where its pollutant is: the input rows' spans, and
// in the second stage the spans of the entry q, which the average reads at
// each cell.
struct pollutant {
  const span* stage_rows;
  const span* entry_rows;  // nullptr in the first stage
  bool may_skip;           // the spacing lets clean cells be skipped
};

// Whether the velocities of a row's faces are moderate, looked at once per
// stored row (0 unknown, 2 yes, 3 no).
bool moderate_row(std::vector<unsigned char>& known, const float* row, int from, int count, std::size_t at) {
  if (known[at] == 0) known[at] = pollutant_map::moderate(row + from, count) ? 2 : 3;
  return known[at] == 2;
}

// The cells of row j whose advection must be computed; every other cell of
// c0..c1 is clean and stays clean (see pollutant_map.hpp).
span cells_to_compute(const extent& e, const pollutant& p, const flow_set& in, std::vector<unsigned char>& moderate_u,
                      std::vector<unsigned char>& moderate_v, int j) {
  using namespace pollutant_map;
  const span all{e.c0, e.c1};
  if (!p.may_skip) return all;
  const auto row = [&](int jj) { return p.stage_rows[jj - e.jms]; };
  span reach = hull(hull(widen(row(j), 1), row(j - 1)), row(j + 1));
  if (p.entry_rows != nullptr) reach = hull(reach, p.entry_rows[j - e.jms]);
  const span cells = clip(reach, all);
  if (cells.lo == all.lo && cells.hi == all.hi) return all;
  const int faces = e.c1 - e.c0 + 1;
  const std::size_t su = e.at_row(in.rows->source[e.at_row(j)]);
  const std::size_t sv = su;
  const std::size_t sn = e.at_row(in.rows->source[e.at_row(j + 1)]);
  if (!moderate_row(moderate_u, in.at_row(0, j), e.c0, faces + 1, su) ||
      !moderate_row(moderate_v, in.at_row(1, j), e.c0, faces, sv) ||
      !moderate_row(moderate_v, in.at_row(1, j + 1), e.c0, faces, sn)) {
    return all;
  }
  return cells;
}

// What one stage writes, and how: the first stage advances set 0 into set 1
// by one step; the second averages set 1, advanced by half a step for the
// pollutant, with the entry state that the module arrays hold, in place.
struct stage {
  bool second;
  float dt;
  flow_set in;   // the flow the stage reads, its boundary values set
  flow_set out;  // the flow it writes
  const float* q_in;
  float* q_out;
  float* dqdt;           // the second stage's rate, nullptr in the first
  span* q_spans;         // the output q's spans, kept up to date
  span* dqdt_spans;      // the rate's, in the second stage
  const unsigned char* uv_repeat;
  const unsigned char* row_repeat;
  const span* cells;
  const unsigned char* active;  // the rows the sweep visits
};

// The columns of the block next to its west and east edges, from which the
// boundary values and the neighbours' halos are made: written in every row.
template <class F>
void for_edge_columns(const extent& e, int last, F f) {
  const int edges[4] = {e.ips, e.ips + 1, e.ipe - 1, e.ipe};
  for (int n = 0; n < 4; ++n) {
    const int i = edges[n];
    if (i < e.c0 || i > last || (n > 0 && i <= edges[n - 1])) continue;
    f(i);
  }
}

// The u faces c0..c1 + 1 of row j, advanced by their tendency on the
// stage's input: u + tendency in the first stage, Heun's average with the
// entry value (which the output holds) in the second.
void advance_u_row(const stage& st, int j) {
  const extent& e = *st.in.e;
  const float* u_s = st.in.at_row(0, j - 1);
  const float* u = st.in.at_row(0, j);
  const float* u_n = st.in.at_row(0, j + 1);
  const float* v = st.in.at_row(1, j);
  const float* v_n = st.in.at_row(1, j + 1);
  const float* h = st.in.at_row(2, j);
  float* out = st.out.own(0, j);
  if (!st.second) {
PLUME_INDEPENDENT_POINTS
    for (int i = e.c0; i <= e.c1 + 1; ++i) {
      out[i] = u[i] + terms::u_tendency(u_s + i, u + i, u_n + i, v + i, v_n + i, h + i, e.s);
    }
    return;
  }
PLUME_INDEPENDENT_POINTS
  for (int i = e.c0; i <= e.c1 + 1; ++i) {
    out[i] = terms::heun(out[i], u[i], terms::u_tendency(u_s + i, u + i, u_n + i, v + i, v_n + i, h + i, e.s));
  }
}

// The v faces c0..c1 of row j, likewise.
void advance_v_row(const stage& st, int j) {
  const extent& e = *st.in.e;
  const float* u_s = st.in.at_row(0, j - 1);
  const float* u = st.in.at_row(0, j);
  const float* v_s = st.in.at_row(1, j - 1);
  const float* v = st.in.at_row(1, j);
  const float* v_n = st.in.at_row(1, j + 1);
  const float* h_s = st.in.at_row(2, j - 1);
  const float* h = st.in.at_row(2, j);
  float* out = st.out.own(1, j);
  if (!st.second) {
PLUME_INDEPENDENT_POINTS
    for (int i = e.c0; i <= e.c1; ++i) {
      out[i] = v[i] + terms::v_tendency(u_s + i, u + i, v_s + i, v + i, v_n + i, h_s + i, h + i, e.s);
    }
    return;
  }
PLUME_INDEPENDENT_POINTS
  for (int i = e.c0; i <= e.c1; ++i) {
    out[i] = terms::heun(out[i], v[i], terms::v_tendency(u_s + i, u + i, v_s + i, v + i, v_n + i, h_s + i, h + i, e.s));
  }
}

// The flow of row j of a stage: computed, copied from the row below (its u
// and v repeat; its height comes after), or left to the row below but for
// its edge columns (the whole row repeats).
void flow_row(const stage& st, int j) {
  const extent& e = *st.in.e;
  const std::size_t at = e.at_row(j);
  if (st.row_repeat[at] != 0) {
    // The edge columns of u and v now; those of h once the row below has
    // its height (repeat_edge_heights). In a block whose rows span the
    // grid's width nothing reads them: the boundary values of the row are
    // left to the row below, and the exchange sends only stored rows.
    if (e.spans_width()) return;
    for (int k = 0; k < 2; ++k) {
      const float* below = st.out.own(k, j - 1);
      float* mine = st.out.own(k, j);
      for_edge_columns(e, last_column(e, k), [&](int i) { mine[i] = below[i]; });
    }
    return;
  }
  if (st.uv_repeat[at] != 0) {
    for (int k = 0; k < 2; ++k) {
      const float* below = st.out.at_row(k, j - 1);
      std::copy(below + e.c0, below + last_column(e, k) + 1, st.out.own(k, j) + e.c0);
    }
    return;
  }
  advance_u_row(st, j);
  advance_v_row(st, j);
}

// The edge columns of the height of a row that repeats the row below.
void repeat_edge_heights(const stage& st, int j) {
  const extent& e = *st.in.e;
  if (e.spans_width()) return;
  const float* below = st.out.own(2, j - 1);
  float* mine = st.out.own(2, j);
  for_edge_columns(e, last_column(e, 2), [&](int i) { mine[i] = below[i]; });
}

// The height of the cells of row j, from the stage's new u and v.
void height_row(const stage& st, int j) {
  const extent& e = *st.in.e;
  const float* u = st.out.at_row(0, j);
  const float* v = st.out.at_row(1, j);
  const float* v_n = st.out.at_row(1, j + 1);
  float* h = st.out.own(2, j);
PLUME_INDEPENDENT_POINTS
  for (int i = e.c0; i <= e.c1; ++i) h[i] = terms::diagnosed_height(u + i, v + i, v_n + i, e.s);
}

// The pollutant of row j: the fluxes of the faces of its cells to compute
// (the south ones taken from the row below where it left them, the north
// ones also for the cells of the row above), the cells' new values, and +0
// written over the cells that may hold something else. flux_south holds the
// south fluxes of `cells` when south_ready.
void pollutant_row(const stage& st, int j, span cells, span above, bool south_ready, float* flux_x, float* flux_south,
                   float* flux_north) {
  const extent& e = *st.in.e;
  const grid_spacing& s = e.s;
  const int ims = e.ims;
  const std::size_t at = e.at_row(j);
  const idx r = e.row(j);
  const float* q = st.q_in;
  const float* q_ss = q + e.row(j - 2);
  const float* q_s = q + e.row(j - 1);
  const float* q_c = q + r;
  const float* q_n = q + e.row(j + 1);
  const float* q_nn = q + e.row(j + 2);
  const float* u = st.in.at_row(0, j);
  const float* v = st.in.at_row(1, j);
  const float* v_n = st.in.at_row(1, j + 1);
  if (!cells.empty()) {
    if (!south_ready) {
PLUME_INDEPENDENT_POINTS
      for (int i = cells.lo; i <= cells.hi; ++i) {
        flux_south[i - ims] = terms::y_face_flux(q_ss + i, q_s + i, q_c + i, q_n + i, v + i, st.dt, s);
      }
    }
PLUME_INDEPENDENT_POINTS
    for (int i = cells.lo; i <= cells.hi + 1; ++i) flux_x[i - ims] = terms::x_face_flux(q_c + i, u + i, st.dt, s);
  }
  const span north = pollutant_map::hull(cells, above);
PLUME_INDEPENDENT_POINTS
  for (int i = north.lo; i <= north.hi; ++i) {
    flux_north[i - ims] = terms::y_face_flux(q_s + i, q_c + i, q_n + i, q_nn + i, v_n + i, st.dt, s);
  }
  float* out = st.q_out + r;
  const span old_q = st.q_spans[at];
  if (!st.second) {
PLUME_INDEPENDENT_POINTS
    for (int i = cells.lo; i <= cells.hi; ++i) {
      const idx c = i - ims;
      out[i] = q_c[i] + terms::cell_change(flux_x[c], flux_x[c + 1], flux_south[c], flux_north[c], s);
    }
  } else {
    float* rate = st.dqdt + r;
    const span old_rate = st.dqdt_spans[at];
PLUME_INDEPENDENT_POINTS
    for (int i = cells.lo; i <= cells.hi; ++i) {
      const idx c = i - ims;
      const float dq = terms::cell_change(flux_x[c], flux_x[c + 1], flux_south[c], flux_north[c], s);
      rate[i] = dq * 2.0f;
      out[i] = terms::heun(out[i], q_c[i], dq);
    }
    for (int i = old_rate.lo; i <= old_rate.hi; ++i) {
      if (i < cells.lo || i > cells.hi) rate[i] = 0.0f;
    }
    st.dqdt_spans[at] = cells.empty() ? cells : written_between(rate, cells.lo, cells.hi);
  }
  // The cells outside `cells` are clean and stay clean: +0 where they may
  // hold something else. (In the second stage the cells take in the
  // entry q's span, so none outside does.)
  for (int i = old_q.lo; i <= old_q.hi; ++i) {
    if (i < cells.lo || i > cells.hi) out[i] = 0.0f;
  }
  st.q_spans[at] = cells.empty() ? cells : written_between(out, cells.lo, cells.hi);
}

// One part of a stage's sweep: the own cell rows [first, last). A row that
// is not active needs nothing: its flow repeats the row below, its cells
// and those of the row above are clean and stay so, and it holds +0 there
// already.
void sweep(const stage& st, int first, int last, float* rows) {
  const extent& e = *st.in.e;
  const idx nx = e.nx;
  float* const flux_x = rows;
  float* flux_south = rows + nx;
  float* flux_north = rows + 2 * nx;
  bool south_ready = false;  // flux_south holds the south fluxes of row j's cells
  for (int j = first; j < last; ++j) {
    const std::size_t at = e.at_row(j);
    if (st.active[at] == 0) {
      south_ready = false;
      continue;
    }
    flow_row(st, j);
    if (j > first && st.out.rows->stored[at - 1] != 0) height_row(st, j - 1);
    if (st.row_repeat[at] != 0) repeat_edge_heights(st, j);
    const span cells = st.cells[at];
    const span above = j + 1 < last ? st.cells[at + 1] : pollutant_map::nothing;
    pollutant_row(st, j, cells, above, south_ready, flux_x, flux_south, flux_north);
    std::swap(flux_south, flux_north);
    south_ready = true;
  }
  // The v faces of row r1 + 1, the row north of the cells, in full.
  if (last == e.r1 + 1) advance_v_row(st, e.r1 + 1);
}

// The rows [r0, r1] split into `parts` runs of about equal work.
std::vector<int> part_starts(const extent& e, const long* cost, long total, int parts) {
  std::vector<int> starts{e.r0};
  long done = 0;
  for (int j = e.r0; j <= e.r1 && static_cast<int>(starts.size()) < parts; ++j) {
    done += cost[e.at_row(j)];
    if (done * parts >= total * static_cast<long>(starts.size()) && j + 1 <= e.r1) starts.push_back(j + 1);
  }
  starts.push_back(e.r1 + 1);
  return starts;
}

// Runs one stage over the block: decides which output rows repeat and which
// cells to compute, shares the rows out among the threads by their work,
// sweeps, and then learns which of the output rows it computed repeat the
// row below.
void run_stage(stage& st, step_workspace& ws, const pollutant& p, const unsigned char* entry_same) {
  const extent& e = *st.in.e;
  const std::size_t first = e.at_row(e.r0), last = e.at_row(e.r1);
  const unsigned char* const same = ws.input_same.data();
  unsigned char* const uv = ws.uv_repeat.data();
  unsigned char* const repeat = ws.row_repeat.data();
  unsigned char* const active = ws.active.data();
  span* const cells = ws.cells.data();
  long* const cost = ws.cost.data();
  // Which output rows' u and v repeat: their inputs two rows each way
  // repeat (and in the second stage the entry values of the row); the cells
  // to compute and the work of each row.
  std::fill(ws.moderate_u.begin(), ws.moderate_u.end(), 0);
  std::fill(ws.moderate_v.begin(), ws.moderate_v.end(), 0);
  const long flow_cost = 4 * (e.c1 - e.c0 + 2);
  long total = 0;
  for (std::size_t k = first; k <= last; ++k) {
    uv[k] = (same[k - 2] & same[k - 1] & same[k] & same[k + 1] & same[k + 2]) != 0 &&
            (entry_same == nullptr || entry_same[k] != 0);
    const int j = e.r0 + static_cast<int>(k - first);
    cells[k] = cells_to_compute(e, p, st.in, ws.moderate_u, ws.moderate_v, j);
    cost[k] = 8 + (cells[k].empty() ? 0 : 4 * (cells[k].hi - cells[k].lo + 1)) + (uv[k] != 0 ? 0 : flow_cost);
    total += cost[k];
  }
  const int parts = total < (ws.team().awake() ? team_work : team_work_asleep)
                        ? 1
                        : std::min(parts_per_thread * ws.team().size(), e.r1 - e.r0 + 1);
  const std::vector<int> starts = parts == 1 ? std::vector<int>{e.r0, e.r1 + 1} : part_starts(e, cost, total, parts);
  // A part's first row is computed: the row below belongs to another part.
  for (std::size_t n = 0; n + 1 < starts.size(); ++n) uv[e.at_row(starts[n])] = 0;
  // The rows that the second stage computes read their entry values, which
  // the module's arrays then must hold; then the output's rows: those that
  // repeat are left unwritten.
  flow_rows& out = *st.out.rows;
  const span* const old_q = st.q_spans;
  const span* const old_rate = st.dqdt_spans;
  const bool edges = !e.spans_width();
  for (std::size_t k = first; k <= last; ++k) {
    repeat[k] = uv[k] != 0 && k < last && uv[k + 1] != 0;
    if (st.second && uv[k] == 0) write_out(st.out, e.r0 + static_cast<int>(k - first));
    active[k] = repeat[k] == 0 || edges || !cells[k].empty() || (k < last && !cells[k + 1].empty()) ||
                !old_q[k].empty() || (old_rate != nullptr && !old_rate[k].empty()) ||
                (k > first && repeat[k - 1] == 0);
  }
  for (std::size_t k = first; k <= last; ++k) out.stored[k] = repeat[k] == 0;
  resolve(out, e);
  st.uv_repeat = uv;
  st.row_repeat = repeat;
  st.cells = cells;
  st.active = active;
  const int used = static_cast<int>(starts.size()) - 1;
  ws.team().for_each_part(used, [&](int n, int thread) { sweep(st, starts[n], starts[n + 1], ws.flux_rows(thread)); });
  // The height of each part's last row, once the row above is in place.
  for (int n = 0; n < used; ++n) {
    const int j = starts[n + 1] - 1;
    if (out.stored[e.at_row(j)] != 0) height_row(st, j);
  }
  for (std::size_t k = first; k <= last; ++k) {
    const int j = e.r0 + static_cast<int>(k - first);
    out.same[k] = repeat[k] != 0 || (k > first && computed_columns_repeat(st.out, j));
  }
}

// Saves (keep) or puts back the boundary frames of u, v, h and q, one after
// the other in `kept`, nf points room each; in each row only those of the
// fields whose column rules row_rules names (boundary::flow_columns for u,
// v and h, pollutant_columns for q).
template <bool keep>
void move_frames(float* const* fields, float* kept, std::size_t nf, const grid_bounds& b, const patch_bounds& p,
                 const unsigned char* row_rules) {
  float* saved[4];
  for (std::size_t f = 0; f < 4; ++f) saved[f] = kept + f * nf;
  for_boundary_frame(b, p, [&](int j, idx at, idx count) {
    const unsigned char rules = row_rules[j - b.jms];
    if (rules == 0) return;
    for (int f = 0; f < 4; ++f) {
      if ((rules & (f < 3 ? boundary::flow_columns : boundary::pollutant_columns)) == 0) continue;
      float* const points = fields[f] + at;
      for (idx n = 0; n < count; ++n) {
        if constexpr (keep) {
          saved[f][n] = points[n];
        } else {
          points[n] = saved[f][n];
        }
      }
      saved[f] += count;
    }
  });
}

}  // namespace

void step_workspace::materialize(float* u, float* v, float* h) {
  if (!flow_known) return;
  const grid_bounds& b = bounds_;
  const patch_bounds& p = patch_;
  const extent e{b.ids, b.ide, b.jds, b.jde, b.ims, b.ime, b.jms, b.jme,
                 p.ips, p.ipe, p.jps, p.jpe,
                 std::max(b.ids, p.ips), std::min(b.ide - 1, p.ipe), std::max(b.jds, p.jps), std::min(b.jde - 1, p.jpe),
                 static_cast<idx>(b.ime - b.ims + 1), grid_spacing{}};
  write_out_rows(flow_set{{u, v, h}, &module_flow, &e}, e.r0, e.r1);
}

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
                 p.ips,
                 p.ipe,
                 p.jps,
                 p.jpe,
                 std::max(ids, p.ips),
                 std::min(ide - 1, p.ipe),
                 std::max(jds, p.jps),
                 std::min(jde - 1, p.jpe),
                 static_cast<idx>(ime - ims + 1),
                 s};
  const std::size_t nf = boundary_frame_points(b, p);
  float* const kept = ws.frames();
  halo_exchange& exchange = ws.exchange();
  const bool may_skip = pollutant_map::spacing_allows_skipping(s.dx, s.dy);
  const flow_set module{{u, v, h}, &ws.module_flow, &e};
  const flow_set staged{{ws.u1(), ws.v1(), ws.h1()}, &ws.stage_flow, &e};

  // What is not known of the module's arrays is learnt from them.
  if (!ws.flow_known) survey_flow(module);
  if (!ws.q_known) {
    survey_cells(q, ws.module_q, e);
    survey_q_frame(q, ws.module_q_frame_zero, e);
  }
  if (!ws.dqdt_known) survey_cells(dqdt, ws.module_dqdt, e);
  ws.flow_known = ws.q_known = ws.dqdt_known = true;

  // Stage 1, from the entry state with its boundary values (set 0). The
  // rows that the exchange sends are written out first.
  write_out_rows(module, e.jps, e.jps + 2);
  write_out_rows(module, e.jpe - 2, e.jpe);
  // The frames of the fields that take no column rules in a row are
  // neither set nor kept there.
  choose_rules(e, ws.module_flow, ws.module_q, ws.module_q_frame_zero, false, ws.rules);
  const unsigned char* const rules = ws.rules.data();
  float* const fields[4] = {u, v, h, q};
  move_frames<true>(fields, kept, nf, b, p, rules);
  exchange.boundary(u, v, h, q, u_in, v_in, rules);
  input_rows(module, ws.input_same, e);
  input_pollutant(q, ws.module_q, ws.input_q, e);
  {
    stage first{false, constant::step_length, module, staged, q, ws.q1(), nullptr, ws.stage_q.data(), nullptr,
                nullptr, nullptr, nullptr, nullptr};
    run_stage(first, ws, pollutant{ws.input_q.data(), nullptr, may_skip}, nullptr);
  }
  move_frames<false>(fields, kept, nf, b, p, rules);

  // Stage 2, from set 1 with its boundary values, into the module arrays.
  // The entry values that the average reads repeat where the module's rows
  // do, and beside them, in a block with a neighbour to the east, the u of
  // the face east of the cells, which the first exchange gave the halo.
  write_out_rows(staged, e.jps, e.jps + 2);
  write_out_rows(staged, e.jpe - 2, e.jpe);
  choose_rules(e, ws.stage_flow, ws.stage_q, ws.stage_q_frame_zero, true, ws.rules);
  exchange.boundary(ws.u1(), ws.v1(), ws.h1(), ws.q1(), u_in, v_in, rules);
  input_rows(staged, ws.input_same, e);
  input_pollutant(ws.q1(), ws.stage_q, ws.input_q, e);
  const bool east_halo = e.c1 + 1 < e.ide;
  for (int j = e.jms; j <= e.jme; ++j) {
    const std::size_t at = e.at_row(j);
    ws.entry_same[at] = ws.module_flow.same[at] != 0 &&
                        (!east_halo || std::bit_cast<std::uint32_t>(u[e.row(j) + e.c1 + 1]) ==
                                           std::bit_cast<std::uint32_t>(u[e.row(j - 1) + e.c1 + 1]));
  }
  stage second{true, constant::stage2_length, staged, module, ws.q1(), q, dqdt, ws.module_q.data(),
               ws.module_dqdt.data(), nullptr, nullptr, nullptr, nullptr};
  run_stage(second, ws, pollutant{ws.input_q.data(), ws.module_q.data(), may_skip}, ws.entry_same.data());
}
