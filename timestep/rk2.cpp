// The production time step: the same arithmetic as the plain composition of
// the procedures, evaluated by the same per-point functions, but swept over
// the grid row by row, and only over the rows and cells whose results are
// not known without it.
//
// The state is the flow (u, v, h) and a list of species, each a pollutant q
// with its rate dqdt. The flow is stepped once for all of them; in each row
// the sweep then advances every species' pollutant with that row's flow, by
// the same per-point functions, each species with its own knowledge of where
// its pollutant is. Nothing of one species reaches another, so each comes
// out as the step of the flow with it alone would leave it.
//
// Stage 1 reads the entry state with its boundary values set (set 0). Rather
// than copying the boundary fields (u, v, h and each q) for that, the boundary values are set in the
// module arrays themselves, after the points that set_bdy writes (the frame
// around the core of the interior) have been saved; they are put back before
// stage 2, so the module arrays hold the exact entry state again, but for
// the rows of u, v and h outside the grid's interior rows, which nothing
// reads until materialize puts them back (frame_left_out). Stage 1
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
//  - where each species' pollutant is (pollutant_map.hpp): the fluxes of
//    cells that are clean and stay clean are not formed, and zeros are
//    written only over cells that held something else.
// From both, the step keeps the runs of rows that may hold anything but a
// repeating, clean row (its busy rows), and each stage looks only at them
// and a few rows around them (the quiet rows below): its bookkeeping costs
// those rows, whatever the height of the grid.
//
// A stage's sweep is shared by the step's team of threads. Where several
// species share the team and the block is the whole grid, each species'
// whole part of a stage (its column rules, frames, boundary values, input
// spans, cells, sweep, frames put back and busy rows) reads and writes
// nothing of another's, and runs as a part of its own on whichever thread
// takes it, beside the flow's input and the rest of the flow's share (its
// plan, sweep and busy rows), parts of their own too (run_species_apart);
// otherwise the calling thread makes the flow's and every species' records
// and the team shares the sweep alone (run_stage).
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory_resource>
#include <numeric>
#include <span>
#include <stdexcept>
#include <vector>

#include "decomposition/halo_exchange.hpp"
#include "diagnostics/derived_terms.hpp"
#include "grid/constant.hpp"
#include "grid/domain.hpp"
#include "kernels/boundary_rules.hpp"
#include "kernels/independent_points.hpp"
#include "kernels/point_terms.hpp"
#include "kernels/pollutant_span.hpp"
#include "timestep/flow_rows.hpp"
#include "timestep/pollutant_map.hpp"
#include "timestep/row_team.hpp"
#include "timestep/step_workspace.hpp"
#include "timestep/timestep.hpp"

namespace {

using pollutant_map::span;
using terms::idx;

// A stage of much work (in the units of a row's cost in run_stage: about a
// nanosecond each; the team's pace rules say how much) is shared where the
// team has measured that sharing such stages pays (team_pace); each thread
// takes its own run of parts (the same ones from stage to stage) and then
// the others' parts that nobody has taken yet, so a late thread costs at
// most the part it took.
//
// A shared stage is cut into a few parts per thread, so that a thread that
// loses its core to another process in the middle of a part holds up only
// that part: the others take the rest. But a part's first row has its flow
// computed even where it repeats the row below (which another part
// computes), and that row and the one below are stored with their heights:
// each part is given at least part_flows rows' flow of work, so that this
// stays a small share of it (where the flow repeats in every row, as with
// an even wind, a stage of a few hundred cells of pollutant a row would
// otherwise spend a tenth of its work or more on it).
constexpr int parts_per_thread = 4;
constexpr long part_flows = 16;
// A stage cut by species has no such cost at its cuts (but a row of south
// fluxes formed again), and is cut finer: a thread that finishes its home
// parts first then waits at most for a small part of the other's.
constexpr int species_parts_per_thread = 16;

// The parts a shared stage of `total` work is cut into, on a team of
// `threads`, over `rows` own rows: parts_per_thread per thread, fewer where
// the stage is too small for as many of part_flows rows' flow each, but one
// per thread at least (and never more than rows).
int shared_parts(long total, long flow_cost, int threads, int rows) noexcept {
  const long most = std::min(static_cast<long>(parts_per_thread) * threads, static_cast<long>(rows));
  const long fewest = std::min(static_cast<long>(threads), most);
  return static_cast<int>(std::clamp(total / (part_flows * flow_cost), fewest, most));
}

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
  float* f[flow_fields];
  flow_rows* rows;
  const extent* e;

  // Where row j's values of field k are stored, at column 0.
  float* at_row(int k, int j) const noexcept { return f[k] + e->row(rows->source[e->at_row(j)]); }
  // The row's own storage, at column 0.
  float* own(int k, int j) const noexcept { return f[k] + e->row(j); }
};

// Finds the source of each row of `rows` afresh, in a set whose other rows
// had theirs right before: above each run, the rows that are not stored
// take the new source of the run's last row, up to the first that has it
// already (every row above it up to a stored one has it too).
void resolve(flow_rows& r, const extent& e, const row_runs& rows) {
  const auto source_of = [&](int j) {
    const std::size_t k = e.at_row(j);
    return (j == e.jms || r.stored[k] != 0) ? j : r.source[k - 1];
  };
  for (const row_run& run : rows.runs()) {
    for (int j = std::max(run.first, e.jms); j <= std::min(run.last, e.jme); ++j) r.source[e.at_row(j)] = source_of(j);
    for (int j = run.last + 1; j <= e.jme && r.source[e.at_row(j)] != source_of(j); ++j) {
      r.source[e.at_row(j)] = source_of(j);
    }
  }
}
void resolve(flow_rows& r, const extent& e) { resolve(r, e, row_runs(e.jms, e.jme)); }

// Copies the computed columns of row j of the set from where they are
// stored into the row's own storage.
void copy_from_source(const flow_set& s, int j) {
  const extent& e = *s.e;
  for (int k = 0; k < flow_fields; ++k) {
    const float* from = s.at_row(k, j);
    std::copy(from + e.c0, from + last_column(e, k) + 1, s.own(k, j) + e.c0);
  }
}

// Writes out row j of the set, which is stored from then on.
void write_out(const flow_set& s, int j) {
  const extent& e = *s.e;
  const std::size_t at = e.at_row(j);
  if (s.rows->stored[at] != 0) return;
  copy_from_source(s, j);
  s.rows->stored[at] = 1;
  s.rows->source[at] = j;
}

// Writes out the own cell rows of [j0, j1] that are not stored. The rows
// above keep their sources, which hold the same values; the next stage that
// writes the set finds the sources of its rows afresh.
void write_out_rows(const flow_set& s, int j0, int j1) {
  const extent& e = *s.e;
  for (int j = std::max(j0, e.r0); j <= std::min(j1, e.r1); ++j) write_out(s, j);
}

bool same_columns(const float* a, const float* b, int from, int to) noexcept {
  return from > to || std::memcmp(a + from, b + from, static_cast<std::size_t>(to - from + 1) * sizeof(float)) == 0;
}

// Whether row j's computed columns hold the same values as row j-1's.
bool computed_columns_repeat(const flow_set& s, int j) {
  const extent& e = *s.e;
  for (int k = 0; k < flow_fields; ++k) {
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

// Whether the block is the whole grid: its halo rows then hold set_bdy's
// copies of its own rows (and of row jde).
bool whole_grid(const extent& e) noexcept { return e.spans_width() && e.r0 == e.jds && e.r1 == e.jde - 1; }

// The row of field k of the whole grid whose values set_bdy gives row j: the
// row a halo row copies (boundary_rules.hpp; row jde as it stands before
// the north copies, for the south rows of v), or row j itself.
int copied_row(int k, int j, const extent& e) noexcept {
  if (j < e.jds) return boundary::south_source(k, j, e.jde);
  if (j >= e.jde) return boundary::north_source(k, j, e.jds, e.jde);
  return j;
}

// Whether, in the whole grid, field k of row j is known to hold the values
// of row j - 1 without comparing them: the two rows copy the same row, or
// two own cell rows of which the upper is known to repeat the lower (over
// the whole row: its boundary values are made from its computed columns).
bool copies_repeat(const flow_set& s, int k, int j) {
  const extent& e = *s.e;
  const int a = copied_row(k, j, e), b = copied_row(k, j - 1, e);
  const auto repeats_below = [&](int upper) {
    return e.own_cell_row(upper) && upper > e.r0 && s.rows->same[e.at_row(upper)] != 0;
  };
  return a == b || (a == b + 1 && repeats_below(a)) || (b == a + 1 && repeats_below(b));
}

// Whether each row of a stage's input, as the stage reads it, holds the same
// values of u, v and h as the row below. The rows that the step cannot know
// (the first cell row, the halo rows) are compared in full, but for the
// fields of the whole grid's rows known to repeat from the rows they copy.
// An own cell row known to repeat holds, in a block whose rows span the
// grid's width, the boundary values of the row below as well: they are
// made from its computed columns alone. Beside a neighbour to the west or east, its halo columns
// are compared, and a row that differs there is written out, so that it is
// read from its own storage.
void input_rows(const flow_set& s, std::vector<unsigned char>& same, const extent& e, const row_runs& plan) {
  const bool whole_rows = e.spans_width();
  const bool copies = whole_grid(e);
  bool changed = false;
  for (const row_run& run : plan.runs()) {
    for (int j = run.first; j <= run.last; ++j) {
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
        for (int k = 0; k < flow_fields && repeat; ++k) {
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
      for (int k = 0; k < flow_fields && repeat; ++k) {
        repeat = (copies && copies_repeat(s, k, j)) || same_columns(s.own(k, j), s.own(k, j - 1), e.ims, e.ime);
      }
      same[at] = repeat;
    }
  }
  if (changed) resolve(*s.rows, e, plan);
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
// the boundary or halo columns that may hold something. The halo rows of
// the whole grid copy own cell rows whole, their boundary columns made
// from their cells: such a row takes the span of the row it copies. The
// other rows are looked at in full.
void input_pollutant(const float* q, const std::vector<span>& own, std::vector<span>& out, const extent& e,
                     const row_runs& plan) {
  const bool derived = boundary_q_follows_cells(e);
  const bool copies = derived && whole_grid(e);
  const auto with_boundary_columns = [&](span known) {
    if (!known.empty() && known.lo <= e.ids - e.ims) known.lo = e.ims;
    if (!known.empty() && known.hi >= e.ide - 1) known.hi = e.ime;
    return known;
  };
  plan.for_each_row(e.jms, e.jme, [&](int j) {
    const std::size_t at = e.at_row(j);
    const float* row = q + e.row(j);
    if (!e.own_cell_row(j)) {
      out[at] = copies ? with_boundary_columns(own[e.at_row(copied_row(flow_fields, j, e))])
                       : nonzero_between(row, e.ims, e.ime);
      return;
    }
    if (derived) {
      out[at] = with_boundary_columns(own[at]);
      return;
    }
    const span known = own[at];
    out[at] = pollutant_map::hull(pollutant_map::hull(known, nonzero_between(row, e.ims, e.c0 - 1)),
                                  nonzero_between(row, e.c1 + 1, e.ime));
  });
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

// Where the step keeps what it knows of the pollutant of a set of fields,
// per species: the module's q (set 0) or the stage's q1 (set 1).
struct pollutant_set {
  std::vector<span> species_knowledge::*spans;
  std::vector<unsigned char> species_knowledge::*frame_zero;
};
constexpr pollutant_set module_pollutant{&species_knowledge::module_q, &species_knowledge::module_q_frame_zero};
constexpr pollutant_set stage_pollutant{&species_knowledge::stage_q, &species_knowledge::stage_q_frame_zero};

// Whether row j of a stage's input takes every boundary column rule,
// whatever the step knows of it: in a block whose rows do not span the
// grid's width, and outside the block's own cell rows.
bool takes_every_rule(const extent& e, int j) noexcept { return !e.spans_width() || !e.own_cell_row(j); }

// Which boundary column rules each row of a stage's plan takes
// (boundary::flow_columns, pollutant_columns): every rule in a row that
// takes every rule; in any other row those of u, v and h only where the row
// holds their values (the reads of the others go to the row that does).
// Those of q follow each species' marks (species_rules): name_pollutants
// adds them where some species' columns are written.
void flow_rules(const extent& e, const flow_rows& flow, const row_runs& plan, std::vector<unsigned char>& rules) {
  plan.for_each_row(e.jms, e.jme, [&](int j) {
    const std::size_t at = e.at_row(j);
    const bool every = takes_every_rule(e, j);
    rules[at] = every ? boundary::all_columns : flow.stored[at] != 0 ? boundary::flow_columns : 0;
  });
}

// Whether the column rules of each row of the plan write one species' q
// (its marks, a run of its own: boundary::row_rules::pollutants), given its
// q cells and whether its boundary columns of q hold +0 (frame_zero): in
// every row that takes every rule, and in a row of its own plan only where
// they may change something, not where the columns hold +0 and the cells
// give +0 (the rules would write +0 over +0): a plume against the west
// wall does not have the columns of every other species rewritten, nor
// their frames kept, in each of its rows. Where the stage keeps the
// columns that the rules write (the second, whose set 1 keeps them),
// frame_zero then tells what they hold. The rows marked are kept as runs
// too (k.columns). Reads and writes that species' records alone.
void species_rules(const extent& e, species_knowledge& k, const pollutant_set& set, bool keeps_columns,
                   const row_runs& plan, unsigned char* marks) {
  const bool whole_rows = e.spans_width();
  const bool derived = boundary_q_follows_cells(e);
  const span* const cells = (k.*set.spans).data();
  unsigned char* const zero = (k.*set.frame_zero).data();
  k.columns.clear();
  const auto mark = [&](int j, bool written) {
    marks[e.at_row(j)] = written;
    if (written) k.columns.add(j);
  };
  // The plan's rows in order: below the own cell rows, the own cell rows
  // (in the species' plan, or none of its columns), above them.
  plan.for_each_row(e.jms, e.r0 - 1, [&](int j) { mark(j, true); });
  plan.for_each_row(e.r0, e.r1, [&](int j) { mark(j, !whole_rows); });
  if (whole_rows) {
    k.plan.for_each_row(e.r0, e.r1, [&](int j) {
      const std::size_t at = e.at_row(j);
      const bool clean = derived && boundary_q_clean(e, cells[at]);
      mark(j, !(clean && zero[at] != 0));
      if (keeps_columns) zero[at] = clean;
    });
  }
  plan.for_each_row(e.r1 + 1, e.jme, [&](int j) { mark(j, true); });
  // What every rule makes of the columns is not known to be +0.
  if (keeps_columns) {
    const auto unknown = [&](int j) { zero[e.at_row(j)] = 0; };
    k.plan.for_each_row(e.jms, e.r0 - 1, unknown);
    if (!whole_rows) k.plan.for_each_row(e.r0, e.r1, unknown);
    k.plan.for_each_row(e.r1 + 1, e.jme, unknown);
  }
}

// Adds the rule of q to each row where some species' columns are written
// (species_knowledge::columns), for the boundary values of all the fields
// at once.
void name_pollutants(std::vector<unsigned char>& rules, const std::vector<species_knowledge>& species,
                     const extent& e) {
  for (const species_knowledge& k : species) {
    k.columns.for_each_row(e.jms, e.jme, [&](int j) { rules[e.at_row(j)] |= boundary::pollutant_columns; });
  }
}

// What a stage knows of where its pollutant is: the input rows' spans, and
// in the second stage the spans of the entry q, which the average reads at
// each cell.
struct pollutant {
  const span* stage_rows;
  const span* entry_rows;  // nullptr in the first stage
  bool may_skip;           // the spacing lets clean cells be skipped
  // The stage's plan leaves quiet rows out, which plan_stage lets it do
  // only where the flow of every stored own cell row of the plan is
  // moderate. The u and v that the cells of an own row below the last read
  // are those of such rows; the last also reads the v of the row above,
  // which may be a neighbour's.
  bool own_flow_moderate;
};

// Whether the velocities of a row's faces are moderate, looked at once per
// stored row (0 unknown, 2 yes, 3 no). The records of several species may
// look at the same row side by side: each then finds the same answer, and
// the mark is read and written as a whole.
bool moderate_row(std::vector<unsigned char>& known, const float* row, int from, int count, std::size_t at) {
  const std::atomic_ref<unsigned char> mark(known[at]);
  unsigned char seen = mark.load(std::memory_order_relaxed);
  if (seen == 0) {
    seen = pollutant_map::moderate(row + from, count) ? 2 : 3;
    mark.store(seen, std::memory_order_relaxed);
  }
  return seen == 2;
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
  // Rows below the last: the faces' flow is known moderate already.
  if (p.own_flow_moderate && j < e.r1) return cells;
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

// One species' part of a stage: the q it reads and the q it writes, the
// rate of the second stage, and what the stage knows of them.
struct species_stage {
  const float* q_in;
  float* q_out;
  float* dqdt;       // the second stage's rate, nullptr in the first
  span* q_spans;     // the output q's spans, kept up to date
  span* dqdt_spans;  // the rate's, in the second stage
  pollutant input;   // where the input q (and the entry q) may be other than +0
  span* cells;       // per row, the cells whose advection is computed
  long* work;        // per row, the work of those cells (cells_cost)
  unsigned char* has_work;  // per row, whether the species has work there (pollutant_work)
  const row_runs* plan;  // the rows the stage looks at for the species
};

// What one stage writes, and how: the first stage advances set 0 into set 1
// by one step; the second averages set 1, advanced by half a step for the
// pollutant, with the entry state that the module arrays hold, in place.
struct stage {
  bool second;
  float dt;
  flow_set in;   // the flow the stage reads, its boundary values set
  flow_set out;  // the flow it writes
  std::pmr::vector<species_stage> species;  // in the step's arena
  // What run_stage learns of the own cell rows before its sweep: whether
  // their u and v repeat the row below, whether the whole row does, and
  // the rows the sweep visits, among the plan's.
  const unsigned char* uv_repeat = nullptr;
  const unsigned char* row_repeat = nullptr;
  const unsigned char* active = nullptr;
  const row_runs* plan;         // the rows the stage looks at; every other row is quiet
  bool north_v_repeats = false;  // the v faces of row r1 + 1 are those of row r1 (north_v_repeats)
  // Where the stage's own small records go: the step's arena.
  std::pmr::memory_resource* arena() const noexcept { return species.get_allocator().resource(); }
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

// A thread's rows of correction weights in a sweep: of the x faces and the
// north faces, with what each holds (kept from row to row and species to
// species: under a flow whose rows repeat, every row's faces read the same
// velocities), and of the south faces, formed where they are wanted.
struct face_weights {
  pollutant_span::scratch_row x, north, south;
  pollutant_span::formed_weights x_formed{}, north_formed{};
};

// The faces of row j's cells in a stage's flow: the x faces from its u, the
// south faces from its v, the north faces from the v of row j + 1.
struct row_faces {
  pollutant_span::face_row x, south, north;
};
row_faces faces_of_row(const stage& st, int j) {
  const grid_spacing& s = st.in.e->s;
  const int last = st.in.e->ime;
  return {pollutant_span::x_faces(st.in.at_row(0, j), st.dt, s, last),
          pollutant_span::y_faces(st.in.at_row(1, j), st.dt, s, last),
          pollutant_span::y_faces(st.in.at_row(1, j + 1), st.dt, s, last)};
}

// +0 over the columns of `old` outside `kept` (a row of a field, at its
// column 0).
void clear_outside(float* row, span old, span kept) noexcept {
  const bool old_within_kept = !kept.empty() && old.lo >= kept.lo && old.hi <= kept.hi;
  if (old.empty() || old_within_kept) return;
  if (kept.empty()) {
    std::fill(row + old.lo, row + old.hi + 1, 0.0f);
    return;
  }
  for (const span part : {span{old.lo, std::min(old.hi, kept.lo - 1)}, span{std::max(old.lo, kept.hi + 1), old.hi}}) {
    if (!part.empty()) std::fill(row + part.lo, row + part.hi + 1, 0.0f);
  }
}

// A thread's flux rows for the pollutant of one species in a row; the
// south row holds the south fluxes of the row's cells when south_ready.
struct pollutant_rows {
  pollutant_span::cell_fluxes fluxes;
  bool south_ready;
  face_weights& weights;
};

// The pollutant of one species in row j: the fluxes of the faces of its
// cells to compute (the south ones taken from the row below where it left
// them, the north ones also for the cells of the row above; the x and the
// north faces in one loop over the columns of both), the cells' new values,
// and +0 written over the cells that may hold something else.
void pollutant_row(const stage& st, const species_stage& sp, int j, span above, const pollutant_rows& rows) {
  using namespace pollutant_span;
  const extent& e = *st.in.e;
  const std::size_t at = e.at_row(j);
  const span cells = sp.cells[at];
  const idx r = e.row(j);
  const float* q = sp.q_in;
  const float* q_ss = q + e.row(j - 2);
  const float* q_s = q + e.row(j - 1);
  const float* q_c = q + r;
  const float* q_n = q + e.row(j + 1);
  const float* q_nn = q + e.row(j + 2);
  face_weights& w = rows.weights;
  row_faces faces = faces_of_row(st, j);
  const cell_fluxes& flux = rows.fluxes;
  if (!cells.empty()) {
    if (!rows.south_ready) {
      formed_weights fresh;
      weights_for(faces.south, w.south, cells, fresh);
      fluxes(faces.south, across_rows(q_ss, q_s, q_c, q_n), cells, flux.south);
    }
    const span x_and_north = pollutant_map::hull(span{cells.lo, cells.hi + 1}, above);
    weights_for(faces.x, w.x, x_and_north, w.x_formed);
    weights_for(faces.north, w.north, x_and_north, w.north_formed);
    fluxes(faces.x, along_row(q_c), flux.x, faces.north, across_rows(q_s, q_c, q_n, q_nn), flux.north, x_and_north);
  } else {
    weights_for(faces.north, w.north, above, w.north_formed);
    fluxes(faces.north, across_rows(q_s, q_c, q_n, q_nn), above, flux.north);
  }
  float* out = sp.q_out + r;
  const span old_q = sp.q_spans[at];
  if (!st.second) {
    advance(q_c, flux, e.s, cells, out);
  } else {
    float* rate = sp.dqdt + r;
    const span old_rate = sp.dqdt_spans[at];
    average(q_c, flux, e.s, cells, out, rate);
    clear_outside(rate, old_rate, cells);
    sp.dqdt_spans[at] = cells.empty() ? cells : written_between(rate, cells.lo, cells.hi);
  }
  // The cells outside `cells` are clean and stay clean: +0 where they may
  // hold something else. (In the second stage the cells take in the
  // entry q's span, so none outside does.)
  clear_outside(out, old_q, cells);
  sp.q_spans[at] = cells.empty() ? cells : written_between(out, cells.lo, cells.hi);
}

// Whether a species has pollutant work in row k: cells of its own or of
// the row above to compute, or +0 to write over its q or its rate.
bool pollutant_work(const species_stage& sp, std::size_t k, bool row_above) noexcept {
  return !sp.cells[k].empty() || (row_above && !sp.cells[k + 1].empty()) || !sp.q_spans[k].empty() ||
         (sp.dqdt_spans != nullptr && !sp.dqdt_spans[k].empty());
}

// A piece of a stage's sweep: the own cell rows [first, last), and in them
// the flow or not, and the pollutant of the species [species_first,
// species_end). The flow of a stage and each species' pollutant read
// nothing that another of them writes (the pollutant's faces are those of
// the stage's input flow), so the pieces may cut the stage by rows, by
// species or both.
struct sweep_piece {
  int first, last;
  bool flow;
  std::size_t species_first, species_end;
};

// The parts that the threads share, each a run of pieces: part n is
// pieces[begin[n]] up to pieces[begin[n + 1]]. Kept in the step's arena.
struct stage_parts {
  explicit stage_parts(std::pmr::memory_resource* arena) : pieces(arena), begin(1, 0, arena) {}
  std::pmr::vector<sweep_piece> pieces;
  std::pmr::vector<std::size_t> begin;
  int count() const noexcept { return static_cast<int>(begin.size()) - 1; }
  void end_part() {
    if (pieces.size() > begin.back()) begin.push_back(pieces.size());
  }
};

// A range of rows of one species' sweep, [next, end) as one word (next in
// the upper 32 bits). The thread that sweeps it claims its rows from the
// bottom, claimed_rows at a time (claim_rows); another thread may take its
// upper rows away, above the next one (species_rows), which leaves the
// rows claimed so far, and the next one, to the thread sweeping it.
namespace row_range {
constexpr int claimed_rows = 8;
constexpr std::uint64_t word(int next, int end) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(next)) << 32 | static_cast<std::uint32_t>(end);
}
constexpr int next_of(std::uint64_t w) noexcept { return static_cast<int>(static_cast<std::int32_t>(w >> 32)); }
constexpr int end_of(std::uint64_t w) noexcept { return static_cast<int>(static_cast<std::int32_t>(w)); }
}  // namespace row_range

// Claims rows j onwards of the range (up to claimed_rows of them) for the
// thread sweeping it: returns the range's end as it stands then, or j if
// row j is no longer in it.
int claim_rows(std::atomic<std::uint64_t>& range, int j) noexcept {
  std::uint64_t w = range.load(std::memory_order_acquire);
  for (;;) {
    const int end = row_range::end_of(w);
    if (j >= end) return j;
    const std::uint64_t claimed = row_range::word(std::min(j + row_range::claimed_rows, end), end);
    if (range.compare_exchange_weak(w, claimed, std::memory_order_acq_rel, std::memory_order_acquire)) return end;
  }
}

// Claims every row left in the range.
void close_range(std::atomic<std::uint64_t>& range) noexcept {
  std::uint64_t w = range.load(std::memory_order_acquire);
  while (!range.compare_exchange_weak(w, row_range::word(row_range::end_of(w), row_range::end_of(w)),
                                      std::memory_order_acq_rel, std::memory_order_acquire)) {
  }
}

// One piece of a stage's sweep. A row with nothing for the piece needs
// nothing: in a piece with the flow, a row that is not active (its flow
// repeats the row below, the cells of every species there and in the row
// above are clean and stay so, and they hold +0 there already); in a piece
// without, a row where none of its species has work. `rows`
// are the thread's flux rows: the x faces, then two rows of y faces per
// species, which take turns as the south and the north faces of a row
// (`turn`), so that the north faces of one row are the south faces of the
// next; then the rows of the faces' weights (face_weights), which the piece
// keeps from row to row. A species without pollutant work in a row is passed over: its row
// would form no flux and write nothing (the row above has no cells of it to
// compute either, so no south fluxes are wanted from it). A piece of one
// species alone walks that species' own plan: the rest of the stage's plan
// is clean for it. With a `range`, a piece of one species sweeps the rows
// of the range as it claims them, and stops where the range ends: the
// last row before its end forms no north fluxes for the row above, which
// the sweep of the rows above forms as its first row's south fluxes, as
// a piece that starts at a cut does.
void sweep(const stage& st, const sweep_piece& piece, float* rows, std::atomic<std::uint64_t>* range = nullptr) {
  const extent& e = *st.in.e;
  const idx nx = e.nx;
  float* const flux_x = rows;
  const auto row_of = [&e](float* data) { return pollutant_span::scratch_row{data, e.ims}; };
  const bool one_species = !piece.flow && piece.species_end == piece.species_first + 1;
  const row_runs& plan = one_species ? *st.species[piece.species_first].plan : *st.plan;
  const idx species_rows = 2 * static_cast<idx>(st.species.size());
  face_weights weights{row_of(rows + (1 + species_rows) * nx), row_of(rows + (2 + species_rows) * nx),
                       row_of(rows + (3 + species_rows) * nx)};
  int turn = 0;
  bool south_ready = false;  // the south rows hold the south fluxes of row j's cells
  int next = piece.first;     // the row after the last one looked at
  // A row with nothing for the piece: without the flow, one where none of
  // its species has work.
  const auto idle = [&](std::size_t at) {
    if (piece.flow) return st.active[at] == 0;
    for (std::size_t k = piece.species_first; k < piece.species_end; ++k) {
      if (st.species[k].has_work[at] != 0) return false;
    }
    return true;
  };
  // With a range: the rows below `claimed` are the sweep's, and those
  // below `end` were as it claimed them; none after it gives up.
  int claimed = piece.first;
  int end = piece.last;
  bool given_up = false;
  plan.for_each_row(piece.first, piece.last - 1, [&](int j) {
    if (range != nullptr && j >= claimed) {
      end = given_up ? j : claim_rows(*range, j);
      given_up = end <= j;
      if (given_up) return;
      claimed = std::min(j + row_range::claimed_rows, end);
    }
    const std::size_t at = e.at_row(j);
    const bool follows_a_gap = j != next;
    next = j + 1;
    south_ready = south_ready && !follows_a_gap;
    if (idle(at)) {
      south_ready = false;
      return;
    }
    if (piece.flow) {
      flow_row(st, j);
      if (j > piece.first && st.out.rows->stored[at - 1] != 0) height_row(st, j - 1);
      if (st.row_repeat[at] != 0) repeat_edge_heights(st, j);
    }
    for (std::size_t k = piece.species_first; k < piece.species_end; ++k) {
      const species_stage& sp = st.species[k];
      if (!pollutant_work(sp, at, j < e.r1)) continue;
      float* const pair = rows + (1 + 2 * static_cast<idx>(k)) * nx;
      const span above = j + 1 < end ? sp.cells[at + 1] : pollutant_map::nothing;
      const pollutant_span::cell_fluxes fluxes{row_of(flux_x), row_of(pair + turn * nx),
                                               row_of(pair + (1 - turn) * nx)};
      pollutant_row(st, sp, j, above, {fluxes, south_ready, weights});
    }
    turn = 1 - turn;
    south_ready = true;
  });
  // A range swept keeps no rows to take over: neither one swept to the end
  // of the plan nor one given up at a row past its end, whose word may
  // still show rows (those between its last claim and its end, where the
  // plan has none).
  if (range != nullptr) close_range(*range);
  // The v faces of row r1 + 1, the row north of the cells: in full, or
  // those of row r1 where they repeat them.
  if (piece.flow && piece.last == e.r1 + 1) {
    const int j = e.r1 + 1;
    if (st.north_v_repeats) {
      const float* below = st.out.at_row(1, j - 1);
      std::copy(below + e.c0, below + e.c1 + 1, st.out.own(1, j) + e.c0);
    } else {
      advance_v_row(st, j);
    }
  }
}

// Whether the new v faces of row r1 + 1 are those of row r1, before the
// stage writes anything. A v face's new value reads u of its row and the
// row below, v of its row and the rows on each side, h of its row and the
// row below (v_tendency), and in the second stage its own entry value. So
// where the stage's input rows r1, r1 + 1 and r1 + 2 each repeat the row
// below, and in the second stage the entry v of row r1 + 1 is that of row
// r1 (compared bit for bit), every face of row r1 + 1 is computed from the
// very values of the face below it.
bool north_v_repeats(const stage& st, const unsigned char* same) {
  const extent& e = *st.in.e;
  const int j = e.r1 + 1;
  const std::size_t k = e.at_row(j);
  const bool input_repeats = (same[k - 1] & same[k] & same[k + 1]) != 0;
  return input_repeats && (!st.second || same_columns(st.out.at_row(1, j), st.out.at_row(1, j - 1), e.c0, e.c1));
}

// The rows [r0, r1] split into `parts` runs of about equal work. A part
// starts at a row of the plan whose rows below and above are in the plan
// too: its first row is computed, so that the row below gets its own height
// and the row above computes the first row's height, as rows the stage
// records.
std::pmr::vector<int> part_starts(const extent& e, const row_runs& plan, const long* cost, long total, int parts,
                                  std::pmr::memory_resource* arena) {
  std::pmr::vector<int> starts({e.r0}, arena);
  long done = 0;
  bool cut = false;  // a part starts at the next row that may start one
  for (const row_run& run : plan.runs()) {
    for (int j = std::max(run.first, e.r0); j <= std::min(run.last, e.r1); ++j) {
      if (static_cast<int>(starts.size()) >= parts) break;
      const bool may_start = j > run.first && j < run.last && j > e.r0;
      if (cut && may_start) {
        starts.push_back(j);
        cut = false;
      }
      done += cost[e.at_row(j)];
      cut = cut || done * parts >= total * static_cast<long>(starts.size());
    }
  }
  starts.push_back(e.r1 + 1);
  return starts;
}

// The work of computing a row's cells, in the units of a row's cost: four
// a cell, and for the row itself as much as row_cells cells (the starts and
// ends of its flux loops, its spans' bookkeeping: a row of a hundred cells
// costs about as much for being a row as for its cells). Parts cut by this
// measure then take about equal time whether their rows are long or short.
constexpr long row_cells = 80;
long cells_cost(span cells) noexcept { return cells.empty() ? 0 : 4 * (row_cells + cells.hi - cells.lo + 1); }

// The parts of a stage cut by rows: from each start to the next, the flow
// and every species.
stage_parts row_parts(std::span<const int> starts, std::size_t species, std::pmr::memory_resource* arena) {
  stage_parts parts(arena);
  for (std::size_t n = 0; n + 1 < starts.size(); ++n) {
    parts.pieces.push_back({starts[n], starts[n + 1], true, 0, species});
    parts.end_part();
  }
  return parts;
}

// The parts of a stage cut by species, `count` of about equal work: the
// flow of all the rows first, then each species' pollutant in turn (`work`
// is each species' work in the stage), cut between rows where a part's
// share of the work is reached, so that a part may end with one species
// and go on with the next. The threads' home parts, as many parts each,
// then have about equal work, and each thread keeps the same species from
// stage to stage, reading the pollutant it wrote itself.
stage_parts species_parts(const stage& st, long flow_work, std::span<const long> work, int count) {
  const extent& e = *st.in.e;
  long total = flow_work;
  for (const long w : work) total += w;
  stage_parts parts(st.arena());
  parts.pieces.push_back({e.r0, e.r1 + 1, true, 0, 0});
  long done = flow_work;
  long ended = 1;  // the parts ended so far, plus one
  const auto share_reached = [&] { return ended < count && done * count >= total * ended; };
  while (share_reached()) {
    parts.end_part();
    ++ended;
  }
  for (std::size_t k = 0; k < st.species.size(); ++k) {
    const species_stage& sp = st.species[k];
    int first = e.r0;
    sp.plan->for_each_row(e.r0, e.r1, [&](int j) {
      if (share_reached() && j > first) {
        parts.pieces.push_back({first, j, false, k, k + 1});
        parts.end_part();
        ++ended;
        first = j;
      }
      done += sp.work[e.at_row(j)];
    });
    parts.pieces.push_back({first, e.r1 + 1, false, k, k + 1});
    while (share_reached()) {
      parts.end_part();
      ++ended;
    }
  }
  parts.end_part();
  return parts;
}

// Whether the stage's input rows two each way of row k all repeat the row
// below (and in the second stage the entry values of row k too): row k's
// new u and v are then those of the row below.
bool uv_repeats(const unsigned char* same, const unsigned char* entry_same, std::size_t k) noexcept {
  return (same[k - 2] & same[k - 1] & same[k] & same[k + 1] & same[k + 2]) != 0 &&
         (entry_same == nullptr || entry_same[k] != 0);
}

// One species' records of a stage before its sweep, over the rows of its
// plan: the cells to compute in each, their work, and whether the species
// has work there. They read the stage's input and write the species' own
// records alone (and the flow's moderate marks, as any species finds them:
// moderate_row), so that the records of several species may be made side
// by side. Returns the species' work in the stage.
long species_records(const stage& st, const species_stage& sp, step_workspace& ws) {
  const extent& e = *st.in.e;
  const std::size_t last = e.at_row(e.r1);
  long total = 0;
  sp.plan->for_each_row(e.r0, e.r1, [&](int j) {
    const std::size_t k = e.at_row(j);
    sp.cells[k] = cells_to_compute(e, sp.input, st.in, ws.moderate_u, ws.moderate_v, j);
    sp.work[k] = cells_cost(sp.cells[k]);
    total += sp.work[k];
  });
  sp.plan->for_each_row(e.r0, e.r1, [&](int j) {
    const std::size_t k = e.at_row(j);
    sp.has_work[k] = pollutant_work(sp, k, k < last);
  });
  return total;
}

// The first part of a stage's plan of its own cell rows: which output rows'
// u and v repeat, and the work of each row's flow (about a nanosecond a
// unit: its bookkeeping, and its flow unless its u and v repeat), in
// ws.cost; no row active yet. Returns the flow's work.
long plan_flow_rows(stage& st, step_workspace& ws, const unsigned char* entry_same) {
  const extent& e = *st.in.e;
  const unsigned char* const same = ws.input_same.data();
  const long flow_cost = 4 * (e.c1 - e.c0 + 2);
  st.north_v_repeats = north_v_repeats(st, same);
  long flow_work = 0;
  st.plan->for_each_row(e.r0, e.r1, [&](int j) {
    const std::size_t k = e.at_row(j);
    ws.uv_repeat[k] = uv_repeats(same, entry_same, k);
    ws.cost[k] = 8 + (ws.uv_repeat[k] != 0 ? 0 : flow_cost);
    flow_work += ws.cost[k];
    ws.active[k] = 0;
  });
  return flow_work;
}

// The last part of the plan, once the stage is cut into parts: a row
// repeats whole where its u and v and those of the row above do (its
// height reads the v above), a flow piece's first row being computed (the
// row below belongs to another piece). The rows that the second stage
// computes read their entry values, which the module's arrays then must
// hold. The sweep visits every row with work: flow to compute, edge columns
// to write beside a neighbour, pollutant of the species that a piece with
// the flow sweeps too (ws.active says so already), or the height of the row
// below. A row is stored from then on where it does not repeat.
void plan_output_rows(stage& st, step_workspace& ws, const stage_parts& parts) {
  const extent& e = *st.in.e;
  unsigned char* const uv = ws.uv_repeat.data();
  unsigned char* const repeat = ws.row_repeat.data();
  unsigned char* const active = ws.active.data();
  for (const sweep_piece& piece : parts.pieces) {
    if (piece.flow) uv[e.at_row(piece.first)] = 0;
  }
  const bool edges = !e.spans_width();
  const std::size_t first = e.at_row(e.r0), last = e.at_row(e.r1);
  flow_rows& out = *st.out.rows;
  st.plan->for_each_row(e.r0, e.r1, [&](int j) {
    const std::size_t k = e.at_row(j);
    repeat[k] = uv[k] != 0 && k < last && uv[k + 1] != 0;
    if (st.second && uv[k] == 0) write_out(st.out, j);
    out.stored[k] = repeat[k] == 0;
    const bool pollutant = active[k] != 0;
    const bool height_below = k > first && repeat[k - 1] == 0;
    active[k] = repeat[k] == 0 || edges || pollutant || height_below;
  });
  resolve(out, e, *st.plan);
  st.uv_repeat = uv;
  st.row_repeat = repeat;
  st.active = active;
}

// After the sweep: the height of each flow piece's last row, once the row
// above is in place, and which of the output rows computed repeat the row
// below.
void finish_flow(const stage& st, step_workspace& ws, const stage_parts& parts) {
  const extent& e = *st.in.e;
  flow_rows& out = *st.out.rows;
  for (const sweep_piece& piece : parts.pieces) {
    if (!piece.flow) continue;
    const int j = piece.last - 1;
    if (out.stored[e.at_row(j)] != 0) height_row(st, j);
  }
  const std::size_t first = e.at_row(e.r0);
  st.plan->for_each_row(e.r0, e.r1, [&](int j) {
    const std::size_t k = e.at_row(j);
    out.same[k] = ws.row_repeat[k] != 0 || (k > first && computed_columns_repeat(st.out, j));
  });
}

// Runs one stage over the block, each species' records made first on the
// calling thread. Its plan of the own cell rows: plan_flow_rows, the cells
// of each species to compute and which rows hold pollutant work, the work
// of each row (its flow's and its cells'), the parts the threads share;
// then plan_output_rows. After the sweep, finish_flow.
void run_stage(stage& st, step_workspace& ws, const unsigned char* entry_same) {
  const extent& e = *st.in.e;
  long* const cost = ws.cost.data();
  const long flow_cost = 4 * (e.c1 - e.c0 + 2);
  // The work of the rows, summed as it is counted (a species' rows are
  // among the plan's), and of the flow and each species apart.
  const long flow_work = plan_flow_rows(st, ws, entry_same);
  ws.last_flow_work = flow_work;
  long total = flow_work;
  std::pmr::vector<long> species_work(st.species.size(), 0, st.arena());
  for (std::size_t n = 0; n < st.species.size(); ++n) {
    const species_stage& sp = st.species[n];
    species_work[n] = species_records(st, sp, ws);
    sp.plan->for_each_row(e.r0, e.r1, [&](int j) {
      const std::size_t k = e.at_row(j);
      cost[k] += sp.work[k];
      ws.active[k] |= sp.has_work[k];
    });
    total += species_work[n];
    ws.species[n].last_work = species_work[n];
  }
  // A shared stage whose flow is no more than a thread's share is cut by
  // species (one species too: its rows are cut apart from the flow's, so
  // that no part computes a flow row that repeats the row below), any other
  // by rows.
  const team_pace::choice choice = ws.team().choose(total);
  const int threads = ws.team().size();
  const bool by_species = choice.shared && flow_work * threads <= total;
  const int row_cut = choice.shared && !by_species ? shared_parts(total, flow_cost, threads, e.r1 - e.r0 + 1) : 1;
  const stage_parts parts = by_species
                                ? species_parts(st, flow_work, species_work, species_parts_per_thread * threads)
                                : row_parts(row_cut == 1 ? std::pmr::vector<int>({e.r0, e.r1 + 1}, st.arena())
                                                         : part_starts(e, *st.plan, cost, total, row_cut, st.arena()),
                                            st.species.size(), st.arena());
  plan_output_rows(st, ws, parts);
  ws.team().for_each_part(
      parts.count(),
      [&](int n, int thread) {
        const auto at = static_cast<std::size_t>(n);
        for (std::size_t m = parts.begin[at]; m < parts.begin[at + 1]; ++m) {
          sweep(st, parts.pieces[m], ws.flux_rows(thread));
        }
      },
      choice);
  finish_flow(st, ws, parts);
}

// Whether row j of a block lies outside the grid's interior rows: all of
// the row is in its boundary frame, and the boundary values overwrite all
// of it in every stage.
bool outside_interior_rows(const grid_bounds& b, int j) noexcept { return j < b.jds || j > b.jde - 1; }

// Where the entry state's boundary frames (of u, v, h, then each species'
// q) are kept while the boundary values overwrite them: each field's in
// turn in `kept`, nf points room each, first its rows outside the grid's
// interior rows (whole rows), then the columns of each own row of the
// grid's interior, every row at a place of its own. Of those own rows, a
// walk visits the fields whose columns the row's rules write: u, v and h
// in the rows of the plan whose rules (row_rules) name the flow's columns
// (boundary::flow_columns), and each species' q in its own rows of them
// (species_knowledge::columns).
struct frame_store {
  float* kept;
  std::size_t nf;
  const grid_bounds& b;
  const patch_bounds& p;
  const unsigned char* row_rules;
  const row_runs& plan;
  std::span<const species_knowledge> species;
};

// Calls f(j, m) for each stored row j outside the grid's interior rows, the
// m-th of them (boundary::halo_row_index).
template <class F>
void for_each_halo_row(const grid_bounds& b, F f) {
  for (int j = b.jms; j <= std::min(b.jds - 1, b.jme); ++j) f(j, boundary::halo_row_index(j, b.jms, b.jds, b.jde));
  for (int j = std::max(b.jde, b.jms); j <= b.jme; ++j) f(j, boundary::halo_row_index(j, b.jms, b.jds, b.jde));
}

// The points of one field's frame in the rows outside the grid's interior
// rows: whole rows.
std::size_t outside_frame_points(const grid_bounds& b, const patch_bounds& p) noexcept {
  std::size_t n = 0;
  const auto count = [&](int, idx, idx points) { n += static_cast<std::size_t>(points); };
  for_each_halo_row(b, [&](int j, int) { boundary_frame_row(b, p, j, count); });
  return n;
}

// The points of one field's frame in row j.
std::size_t frame_points_of_row(const grid_bounds& b, const patch_bounds& p, int j) noexcept {
  std::size_t n = 0;
  boundary_frame_row(b, p, j, [&](int, idx, idx points) { n += static_cast<std::size_t>(points); });
  return n;
}

// Calls move(f, j, points, saved, count) for each run of points of each
// field f in [first, end) of the list's frame in row j: where it is in the
// field and where it is kept. for_each_outside_frame visits only the rows
// outside the grid's interior rows.
template <class Move>
void for_each_outside_frame(float* const* fields, std::size_t first, std::size_t end, float* kept, std::size_t nf,
                            const grid_bounds& b, const patch_bounds& p, Move move) {
  for (std::size_t f = first; f < end; ++f) {
    float* saved = kept + f * nf;
    const auto visit = [&](int j, idx at, idx n) {
      move(f, j, fields[f] + at, saved, n);
      saved += n;
    };
    for_each_halo_row(b, [&](int j, int) { boundary_frame_row(b, p, j, visit); });
  }
}
template <class Move>
void for_each_frame(std::span<float* const> fields, std::size_t first, std::size_t end, const frame_store& fs,
                    Move move) {
  const grid_bounds& b = fs.b;
  for_each_outside_frame(fields.data(), first, end, fs.kept, fs.nf, b, fs.p, move);
  // The own rows of the grid's interior, from row0 on, each row's points
  // at its own place after the rows outside.
  const int row0 = std::max(b.jds, fs.p.jps), row1 = std::min(b.jde - 1, fs.p.jpe);
  const std::size_t outside = outside_frame_points(b, fs.p);
  const std::size_t row_points = frame_points_of_row(b, fs.p, row0);
  const auto visit = [&](int row, std::size_t f) {
    float* saved = fs.kept + f * fs.nf + outside + static_cast<std::size_t>(row - row0) * row_points;
    boundary_frame_row(b, fs.p, row, [&](int j, idx position, idx count) {
      move(f, j, fields[f] + position, saved, count);
      saved += count;
    });
  };
  const std::size_t flow_end = std::min(end, std::size_t{flow_fields});
  if (first < flow_end) {
    fs.plan.for_each_row(row0, row1, [&](int row) {
      if ((fs.row_rules[row - b.jms] & boundary::flow_columns) == 0) return;
      for (std::size_t f = first; f < flow_end; ++f) visit(row, f);
    });
  }
  for (std::size_t f = std::max(first, std::size_t{flow_fields}); f < end; ++f) {
    fs.species[f - flow_fields].columns.for_each_row(row0, row1, [&](int row) { visit(row, f); });
  }
}

// The index of v among the boundary fields.
constexpr std::size_t v_field = 1;

// Saves the frames of the fields [first, end) of the entry state. The rows
// outside the interior rows of a field that `held` marks are kept already:
// the step writes none of them in the module's arrays but the v faces of
// row v_row (the row north of the block's cells), saved again every time,
// and a caller that writes into them says so (forget, forget_pollutant).
// All are marked held after, and each pollutant whose rows outside the
// interior rows are kept anew marked clean there if they hold +0 only.
void save_frames(std::span<float* const> fields, std::size_t first, std::size_t end, const frame_store& fs,
                 step_workspace& ws, int v_row) {
  std::vector<unsigned char>& held = ws.frames_held;
  std::vector<unsigned char>& clean = ws.frames_clean;
  for (std::size_t f = std::max(first, std::size_t{flow_fields}); f < end; ++f) {
    if (held[f] == 0) clean[f] = 1;
  }
  for_each_frame(fields, first, end, fs, [&](std::size_t f, int j, const float* points, float* saved, idx count) {
    const bool outside = outside_interior_rows(fs.b, j);
    const bool kept_already = held[f] != 0 && outside && !(f == v_field && j == v_row);
    if (kept_already) return;
    std::copy_n(points, count, saved);
    if (f >= flow_fields && outside)
      clean[f] = clean[f] != 0 && written_between(points, 0, static_cast<int>(count) - 1).empty();
  });
  std::fill(held.begin() + static_cast<std::ptrdiff_t>(first), held.begin() + static_cast<std::ptrdiff_t>(end), 1);
}

// Whether a point of the frame of field f in row j is one that the module's
// arrays may go on holding the boundary values in after the step: the rows
// of u, v and h outside the grid's interior rows but the v faces of row
// v_row. The step reads none of them after its first stage, and a caller
// that reads u, v or h calls materialize first, which puts them back.
bool frame_left_out(const grid_bounds& b, std::size_t f, int j, int v_row) noexcept {
  return f < flow_fields && outside_interior_rows(b, j) && !(f == v_field && j == v_row);
}

// Whether the whole grid's halo row j of a q, as the boundary values make
// it, holds +0 only, given the spans of the q's own cell rows (`cells`):
// the row copies an own cell row whole, after that row's column rules, and
// where that row's cells all hold +0, so do its boundary columns (made from
// those cells, or known to hold +0 where they were left out: species_rules).
bool halo_copy_clean(const std::vector<span>& cells, const extent& e, int j) {
  return whole_grid(e) && boundary_q_follows_cells(e) && cells[e.at_row(copied_row(flow_fields, j, e))].empty();
}

// Whether the whole grid's halo row j of species k's q, as the boundary
// values have made it, and what the step keeps of it both hold +0 only, so
// that putting it back would write +0 over +0.
bool pollutant_halo_row_stays(const step_workspace& ws, const extent& e, std::size_t k, int j) {
  return ws.frames_clean[flow_fields + k] != 0 && halo_copy_clean(ws.species[k].module_q, e, j);
}

// Puts back the frames of the fields [first, end) of the entry state, but
// for the points where `stays(f, j)` says that field f of row j holds them
// already or may go on holding the boundary values (frame_left_out).
template <class Stays>
void restore_frames(std::span<float* const> fields, std::size_t first, std::size_t end, const frame_store& fs,
                    Stays stays) {
  for_each_frame(fields, first, end, fs, [&](std::size_t f, int j, float* points, const float* saved, idx count) {
    if (!stays(f, j)) std::copy_n(saved, count, points);
  });
}

// The extent a workspace's block computes.
extent block_extent(const grid_bounds& b, const patch_bounds& p, const grid_spacing& s) noexcept {
  // Its own cells, within the grid's.
  const int c0 = std::max(b.ids, p.ips), c1 = std::min(b.ide - 1, p.ipe);
  const int r0 = std::max(b.jds, p.jps), r1 = std::min(b.jde - 1, p.jpe);
  return {b.ids,
          b.ide,
          b.jds,
          b.jde,
          b.ims,
          b.ime,
          b.jms,
          b.jme,
          p.ips,
          p.ipe,
          p.jps,
          p.jpe,
          c0,
          c1,
          r0,
          r1,
          static_cast<idx>(b.ime - b.ims + 1),
          s};
}

// Learns from the module's arrays what the step does not know of them.
void learn_unknown(const model_state& state, const flow_set& module, step_workspace& ws, const extent& e) {
  const auto known = [](const species_knowledge& k) { return k.q_known && k.dqdt_known; };
  const bool all_known = ws.flow_known && std::all_of(ws.species.begin(), ws.species.end(), known);
  if (!all_known) ws.busy_known = false;
  if (!ws.flow_known) survey_flow(module);
  ws.flow_known = true;
  for (std::size_t k = 0; k < ws.species.size(); ++k) {
    species_knowledge& known = ws.species[k];
    if (!known.q_known) {
      survey_cells(state.species[k].q, known.module_q, e);
      survey_q_frame(state.species[k].q, known.module_q_frame_zero, e);
    }
    if (!known.dqdt_known) survey_cells(state.species[k].dqdt, known.module_dqdt, e);
    known.q_known = known.dqdt_known = true;
  }
}

// Quiet rows. An own cell row is quiet when every record of the step holds
// for it what it holds for a row of a grid whose flow repeats from row to
// row and that holds no pollutant: both sets' flow repeats the row below and
// is left to it, the stage's records say so too (its input repeats, its u
// and v and the whole row repeat, no column rule of the flow, nothing for the sweep),
// and for every species the spans of q, dqdt, q1 and of the stage's input
// and cells are empty and the boundary columns of q and q1 hold +0. A stage
// run over a quiet row whose neighbours up to records_reach each way are
// quiet too (and where no part of a shared stage starts: parts start only
// at rows of the plan) writes nothing and leaves every record as it was
// (its u and v repeat where the input rows two each way do, it repeats
// whole where the row above does, its height follows the row below, its
// cells read the pollutant a row each way), provided the flow of the row it
// is left to (a stored row, never quiet) is moderate. So the step keeps the
// rows that may not be quiet (busy) and looks only at them and the rows
// around them: a pass over a grid whose flow repeats costs its busy rows,
// not its height.
constexpr int records_reach = 4;

// Whether every record of one species holds for row k what it holds for a
// row without its pollutant: every span empty, the boundary columns of q and
// q1 +0. A stage over such a row whose neighbours up to records_reach each
// way are so too, where the flow is moderate, leaves them so and gives the
// species no work there: the quiet-row argument below, for one species'
// records alone.
bool clean_row(const species_knowledge& s, std::size_t k) noexcept {
  const bool no_spans = s.module_q[k].empty() && s.module_dqdt[k].empty() && s.stage_q[k].empty() &&
                        s.input_q[k].empty() && s.cells[k].empty();
  const bool clean_columns = s.module_q_frame_zero[k] != 0 && s.stage_q_frame_zero[k] != 0;
  return no_spans && clean_columns;
}

// Whether the records of row k other than those of the species are those
// of a quiet row: a row is quiet when this holds and it is clean for every
// species.
bool quiet_flow_row(const step_workspace& ws, std::size_t k) {
  const auto repeats_unstored = [k](const flow_rows& f) { return f.same[k] != 0 && f.stored[k] == 0; };
  const bool flow_repeats = repeats_unstored(ws.module_flow) && repeats_unstored(ws.stage_flow);
  const bool stage_repeats = ws.input_same[k] != 0 && ws.entry_same[k] != 0 && ws.uv_repeat[k] != 0 &&
                             ws.row_repeat[k] != 0;
  const bool nothing_to_do = (ws.rules[k] & boundary::flow_columns) == 0 && ws.active[k] == 0;
  return flow_repeats && stage_repeats && nothing_to_do;
}

// Whether quiet rows may be left out of a stage: where clean cells may be
// skipped and the boundary columns of q follow the cells (a block whose rows
// span the grid's width). Elsewhere a stage looks at every row.
bool quiet_rows_left_out(const extent& e, bool may_skip) noexcept { return may_skip && boundary_q_follows_cells(e); }

// Whether the u and v of stored row j of a set are moderate over the faces
// that the cells read, as cells_to_compute asks and keeps it
// (ws.moderate_u, moderate_v). The stage's input then gets its boundary
// values; in a block whose rows span the grid's width they change nothing
// of those faces but the west wall's u, which becomes +0: a row found
// moderate stays so.
bool moderate_flow(step_workspace& ws, const flow_set& s, int j) {
  const extent& e = *s.e;
  const int faces = e.c1 - e.c0 + 1;
  const std::size_t at = e.at_row(j);
  return moderate_row(ws.moderate_u, s.own(0, j), e.c0, faces + 1, at) &&
         moderate_row(ws.moderate_v, s.own(1, j), e.c0, faces, at);
}

// The rows a stage looks at (ws.plan): the busy rows and those up to
// records_reach each way of them, or every row when the step does not know
// its busy rows, when quiet rows may not be left out, or when the flow of a
// stored row of the input is not moderate (the quiet rows left to it would
// have every cell computed).
//
// Each species' rows (its plan): its own busy rows and those up to
// records_reach each way of them when the stage's plan leaves quiet rows
// out, the stage's plan otherwise. The flow of every own cell row is then
// moderate: it is that of a stored row of the plan (the first own cell row
// is always stored, its u and v reading the first halo row, which never
// counts as repeating). So a row of the stage's plan outside a species'
// plan is clean for it and stays so (clean_row), whatever the other
// species hold there.
void plan_stage(step_workspace& ws, const flow_set& in, const extent& e, bool may_skip) {
  row_runs& plan = ws.plan;
  plan.clear();
  // What is known of the flow's rows being moderate is of the last stage's
  // input: forgotten over the plan's rows (the rows whose flow the cells of
  // the plan's rows read are stored, and so in the plan, the halo rows among
  // them).
  const auto forget_moderate = [&] {
    plan.for_each_row(e.jms, e.jme, [&](int j) { ws.moderate_u[e.at_row(j)] = ws.moderate_v[e.at_row(j)] = 0; });
  };
  const auto stored_too_fast = [&](int j) { return in.rows->stored[e.at_row(j)] != 0 && !moderate_flow(ws, in, j); };
  bool partial = ws.busy_known && quiet_rows_left_out(e, may_skip);
  if (partial) {
    plan.add_widened(ws.busy, records_reach, e.jms, e.jme);
    forget_moderate();
    plan.for_each_row(e.r0, e.r1, [&](int j) { partial = partial && !stored_too_fast(j); });
  }
  if (!partial) {
    plan.clear();
    plan.add(e.jms, e.jme);
    forget_moderate();
  }
  ws.plan_leaves_quiet_out = partial;
  for (species_knowledge& k : ws.species) {
    if (!partial) {
      k.plan = plan;
      continue;
    }
    k.plan.clear();
    k.plan.add_widened(k.busy, records_reach, e.jms, e.jme);
  }
}

// Learns after a stage which rows are busy: the rows outside the block's
// own cell rows and its first and last one, and the rows of the plan that
// are not quiet (every row outside the plan stayed quiet).
// Each species' busy rows likewise: the same edge rows, and the rows of its
// own plan that are not clean for it. A row of the stage's plan outside
// the species' plan stayed clean for it (plan_stage), so only the species'
// own plan is looked at; and each species' busy rows are among the step's
// (its plan lies within the stage's, but for the edge rows). So the stage's
// busy rows are the edge rows, those that some species keeps busy, and
// those whose records other than the species' are not a quiet row's
// (learn_flow_busy).
// learn_species_busy learns one species' busy rows, from its own records
// alone; learn_flow_busy the flow's, from the flow's records alone, once
// they are complete; learn_busy the step's, after each species' and the
// flow's unless species_learnt says they are learnt already (in the
// stage's parts).
void learn_species_busy(species_knowledge& k, const extent& e, bool may_skip) {
  k.busy.clear();
  if (!quiet_rows_left_out(e, may_skip)) return;
  k.busy.add(e.jms, e.r0);
  k.plan.for_each_row(e.r0 + 1, e.r1 - 1, [&](int j) {
    if (!clean_row(k, e.at_row(j))) k.busy.add(j);
  });
  k.busy.add(e.r1, e.jme);
}
// learn_flow_busy leaves out the rows of `busy_anyway` (nullptr: none), which
// some species keeps busy already.
void learn_flow_busy(step_workspace& ws, const extent& e, bool may_skip, const row_runs* busy_anyway = nullptr) {
  ws.flow_busy.clear();
  if (!quiet_rows_left_out(e, may_skip)) return;
  const std::span<const row_run> kept = busy_anyway != nullptr ? busy_anyway->runs() : std::span<const row_run>{};
  auto run = kept.begin();
  ws.plan.for_each_row(e.r0 + 1, e.r1 - 1, [&](int j) {
    while (run != kept.end() && run->last < j) ++run;
    const bool kept_by_a_species = run != kept.end() && run->first <= j;
    if (!kept_by_a_species && !quiet_flow_row(ws, e.at_row(j))) ws.flow_busy.add(j);
  });
}
void learn_busy(step_workspace& ws, const extent& e, bool may_skip, bool species_learnt) {
  ws.busy.clear();
  ws.busy_known = quiet_rows_left_out(e, may_skip);
  if (!species_learnt) {
    for (species_knowledge& k : ws.species) learn_species_busy(k, e, may_skip);
  }
  if (!ws.busy_known) return;
  row_runs& polluted = ws.polluted_rows;
  polluted.clear();
  for (const species_knowledge& k : ws.species) {
    for (const row_run& run : k.busy.runs()) polluted.add(run.first, run.last);
  }
  if (!species_learnt) learn_flow_busy(ws, e, may_skip, &polluted);
  // The edge rows, then the runs of both in order of their first rows.
  ws.busy.add(e.jms, e.r0);
  const std::span<const row_run> a = polluted.runs(), b = ws.flow_busy.runs();
  for (std::size_t i = 0, j = 0; i < a.size() || j < b.size();) {
    const bool from_a = j == b.size() || (i < a.size() && a[i].first <= b[j].first);
    const row_run& run = from_a ? a[i++] : b[j++];
    ws.busy.add(run.first, run.last);
  }
  ws.busy.add(e.r1, e.jme);
}

// One stage's input: a set of the flow, its boundary fields (u, v, h, then
// each species' q) and where the step keeps what it knows of its q; for the
// entry state (set 0), which is the module's own arrays, where the points
// that the boundary values overwrite are kept until they are put back after
// the stage (`kept`; nullptr for the stage state, set 1, which keeps them,
// and the step what they hold); and the inflow wind.
struct stage_input {
  const flow_set& flow;
  std::span<float* const> fields;
  pollutant_set pollutant;
  float* kept;
  float u_in, v_in;
  bool entry() const noexcept { return kept != nullptr; }
};

// Each species' marks of the rows whose rules write its columns of q: a run
// of its own in the workspace (boundary::row_rules::pollutants).
unsigned char* marks_of(step_workspace& ws, std::size_t k) noexcept {
  return ws.pollutant_rules.data() + k * ws.rules.size();
}

// Where a stage's input keeps its frames, and the rules of its boundary
// values.
frame_store frames_of(const stage_input& in, step_workspace& ws) {
  return {in.kept, ws.frame_points(), ws.bounds(), ws.patch(), ws.rules.data(), ws.plan, ws.species};
}
boundary::row_rules rules_of(const stage_input& in, step_workspace& ws) {
  return {ws.rules.data(),     &ws.plan,        in.flow.rows->source.data(),
          ws.halo_held.data(), marks_of(ws, 0), static_cast<std::ptrdiff_t>(ws.rules.size())};
}

// halo_copy_clean for species k's q of a stage's input.
bool copies_clean_row(const stage_input& in, const step_workspace& ws, const extent& e, std::size_t k, int j) {
  return halo_copy_clean(ws.species[k].*in.pollutant.spans, e, j);
}

// The halo rows of species k's q whose copy the boundary values may leave
// out: the row holds +0 only and so does what it would copy. The entry
// state's rows hold what the step keeps of them (put back after every first
// stage, or left where it and the boundary values both held +0:
// pollutant_halo_row_stays), the stage's what the last second stage's
// boundary values made them.
void choose_halo_copies(const stage_input& in, step_workspace& ws, const extent& e, std::size_t k) {
  const grid_bounds& b = ws.bounds();
  const auto n = static_cast<std::size_t>(boundary::halo_rows(b.jms, b.jds, b.jde, b.jme));
  const std::size_t f = flow_fields + k;
  for_each_halo_row(b, [&](int j, int m) {
    const auto at = static_cast<std::size_t>(m);
    const bool holds_zeros = in.entry() ? ws.frames_held[f] != 0 && ws.frames_clean[f] != 0
                                        : ws.species[k].stage_halo_clean[at] != 0;
    ws.halo_held[f * n + at] = holds_zeros && copies_clean_row(in, ws, e, k, j);
  });
}

// Species k's part of making a stage's input ready, before its boundary
// values: the rules of its columns, and in the entry state its frames kept
// (with save_frames of its field alone where `frames`), and the halo rows
// its boundary values may leave as they are.
void species_input_rules(const stage_input& in, step_workspace& ws, const extent& e, std::size_t k, bool frames) {
  species_rules(e, ws.species[k], in.pollutant, !in.entry(), ws.plan, marks_of(ws, k));
  if (frames && in.entry())
    save_frames(in.fields, flow_fields + k, flow_fields + k + 1, frames_of(in, ws), ws, e.r1 + 1);
  choose_halo_copies(in, ws, e, k);
}

// Species k's part once its boundary values are set: which of the stage
// state's halo rows of its q hold +0 only, and where its q may be other
// than +0.
void species_input(const stage_input& in, step_workspace& ws, const extent& e, std::size_t k) {
  species_knowledge& known = ws.species[k];
  if (!in.entry()) {
    for_each_halo_row(ws.bounds(), [&](int j, int m) {
      known.stage_halo_clean[static_cast<std::size_t>(m)] = copies_clean_row(in, ws, e, k, j);
    });
  }
  input_pollutant(in.fields[flow_fields + k], known.*in.pollutant.spans, known.input_q, e, known.plan);
}

// Species k's whole part of making a stage's input ready, apart from the
// flow's and the other species' (an exchange that gives the fields their
// values apart: halo_exchange::parts_apart).
void prepare_species_input(const stage_input& in, step_workspace& ws, const extent& e, std::size_t k) {
  species_input_rules(in, ws, e, k, true);
  // Its columns in the rows that its rules write, and nowhere else.
  boundary::row_rules rules = rules_of(in, ws);
  rules.rules = nullptr;
  rules.rows = &ws.species[k].columns;
  const auto f = static_cast<int>(flow_fields + k);
  ws.exchange().boundary_part(in.fields.data(), f, f + 1, in.u_in, in.v_in, &rules);
  species_input(in, ws, e, k);
}

// Makes a stage's input ready: writes out the rows that the exchange sends
// (unless it reads them from where they are stored), chooses the column
// rules of each row, gives the input its boundary and halo values, and
// learns where each species' q may be other than +0. The entry state's
// frames are kept first. Where the species go apart, the flow's part of
// this (prepare_flow_input) and each species' (prepare_species_input) are
// left to their parts of the stage. Which of its rows repeat the row below
// the flow's plan learns (learn_input_rows).
void prepare_input(const stage_input& in, step_workspace& ws, const extent& e, bool species_apart) {
  const grid_bounds& b = ws.bounds();
  if (!ws.exchange().reads_flow_sources()) {
    write_out_rows(in.flow, e.jps, e.jps + 2);
    write_out_rows(in.flow, e.jpe - 2, e.jpe);
  }
  ws.halo_held.assign(in.fields.size() * static_cast<std::size_t>(boundary::halo_rows(b.jms, b.jds, b.jde, b.jme)), 0);
  if (species_apart) return;
  flow_rules(e, *in.flow.rows, ws.plan, ws.rules);
  for (std::size_t k = 0; k < ws.species.size(); ++k) species_input_rules(in, ws, e, k, false);
  name_pollutants(ws.rules, ws.species, e);
  if (in.entry()) save_frames(in.fields, 0, in.fields.size(), frames_of(in, ws), ws, e.r1 + 1);
  const boundary::row_rules rules = rules_of(in, ws);
  ws.exchange().boundary(in.fields.data(), static_cast<int>(in.fields.size()), in.u_in, in.v_in, &rules);
  for (std::size_t k = 0; k < ws.species.size(); ++k) species_input(in, ws, e, k);
}

// The flow's part of making a stage's input ready, apart from the
// species' (prepare_species_input): the column rules of its rows, its
// frames kept in the entry state, and its boundary values.
void prepare_flow_input(const stage_input& in, step_workspace& ws, const extent& e) {
  flow_rules(e, *in.flow.rows, ws.plan, ws.rules);
  if (in.entry()) save_frames(in.fields, 0, flow_fields, frames_of(in, ws), ws, e.r1 + 1);
  const boundary::row_rules rules = rules_of(in, ws);
  ws.exchange().boundary_part(in.fields.data(), 0, flow_fields, in.u_in, in.v_in, &rules);
}

// Whether each of the entry values that the second stage's average reads
// in row j repeats row j-1's: where the module's rows do, and beside them,
// in a block with a neighbour to the east, the u of the face east of the
// cells, which the first exchange gave the halo.
void entry_rows(const float* u, const flow_rows& module, std::vector<unsigned char>& same, const extent& e,
                const row_runs& plan) {
  const bool east_halo = e.c1 + 1 < e.ide;
  plan.for_each_row(e.jms, e.jme, [&](int j) {
    const std::size_t at = e.at_row(j);
    same[at] = module.same[at] != 0 && (!east_halo || std::bit_cast<std::uint32_t>(u[e.row(j) + e.c1 + 1]) ==
                                                          std::bit_cast<std::uint32_t>(u[e.row(j - 1) + e.c1 + 1]));
  });
}

// What the flow's plan of a stage reads of its input, once the input has
// its boundary values: which rows repeat the row below (input_rows), and
// in the second stage (entry_u, the module's u, given) which rows' entry
// values do (entry_rows). In a block whose rows span the grid's width (as
// where the species go apart) it reads the flow alone and writes nothing
// that a species' part reads; beside a neighbour it may write rows out.
// Returns the entry values' marks, nullptr in the first stage.
const unsigned char* learn_input_rows(const stage_input& in, step_workspace& ws, const extent& e,
                                      const float* entry_u) {
  input_rows(in.flow, ws.input_same, e, ws.plan);
  if (entry_u == nullptr) return nullptr;
  entry_rows(entry_u, ws.module_flow, ws.entry_same, e, ws.plan);
  return ws.entry_same.data();
}

// Whether field f of row j of the entry state may be left as the first
// stage's boundary values made it: frame_left_out for u, v and h; for a
// pollutant, a halo row where the boundary values and what the step keeps
// both hold +0 only (pollutant_halo_row_stays).
bool frame_stays(const step_workspace& ws, const extent& e, std::size_t f, int j) {
  if (f < flow_fields) return frame_left_out(ws.bounds(), f, j, e.r1 + 1);
  return outside_interior_rows(ws.bounds(), j) && pollutant_halo_row_stays(ws, e, f - flow_fields, j);
}

// Species k's end of a stage: the entry state's frames of its q put back,
// and its busy rows learnt.
void finish_species(const stage_input& in, step_workspace& ws, const extent& e, std::size_t k, bool may_skip) {
  if (in.entry()) {
    const std::size_t f = flow_fields + k;
    restore_frames(in.fields, f, f + 1, frames_of(in, ws),
                   [&](std::size_t field, int j) { return frame_stays(ws, e, field, j); });
  }
  learn_species_busy(ws.species[k], e, may_skip);
}

// Whether a stage's species go apart: each species' whole part of the
// stage (its input made ready, its records, its sweep and its end) a part
// of its own, on whichever thread of the team takes it, and the flow's
// sweep another; so that where several species share a team, their
// bookkeeping is shared as their sweeps are. Where the exchange gives the
// fields their values apart, and the flow (as the last stage's was) is no
// more than a thread's share of the stage's work: a stage of more flow is
// cut by rows (run_stage).
bool species_go_apart(const step_workspace& ws) {
  const int threads = ws.team().size();
  if (ws.species_count() < 2 || threads < 2 || !ws.exchange().parts_apart()) return false;
  long total = ws.last_flow_work;
  for (const species_knowledge& k : ws.species) total += k.last_work;
  return ws.last_flow_work * threads <= total;
}

// The rows of the species' sweeps in a stage apart, which a thread with no
// part left takes over from the sweeps in progress (help), so that the
// threads end the stage together, whatever each species' work turns out
// to be. A species' part, once its records are made, opens a range of all
// its rows (open) and sweeps it; a thread that helps takes the upper rows,
// by work half of what is left above the next row, of the range with the
// most rows left, and sweeps them as a range of its own, which the others
// may take from in turn. Each thread has a range of each species (slots).
// Whichever of a species' ranges ends last ends the species' stage
// (ends_species).
class species_rows {
 public:
  species_rows(std::size_t species, int threads, std::pmr::memory_resource* arena)
      : threads_(threads),
        ranges_(species * static_cast<std::size_t>(threads), arena),
        left_(species, arena),
        unopened_(static_cast<int>(species)) {}

  // Species k's range of all its rows, first..end - 1, swept by `thread`.
  std::atomic<std::uint64_t>& open(std::size_t k, int thread, int first, int end) noexcept {
    std::atomic<std::uint64_t>& range = slot(k, thread);
    range.store(row_range::word(first, end), std::memory_order_release);
    unopened_.fetch_sub(1, std::memory_order_acq_rel);
    unopened_.notify_all();
    return range;
  }

  // Whether the thread that calls it, done with a range of species k, ends
  // the species' stage: the last of its ranges to end.
  bool ends_species(std::size_t k) noexcept { return left_[k].n.fetch_sub(1, std::memory_order_acq_rel) == 1; }

  // The ranges taken over in the stage, once it is over.
  long taken() const noexcept { return taken_.load(std::memory_order_relaxed); }

  // Takes over rows while some range has rows worth taking, or a species'
  // range is still to be opened: sweep_range(k, range, first, end) sweeps
  // rows first..end - 1 of species k as the range, then finish(k) where
  // that ends the species' stage. With nothing worth taking, it waits for
  // the next range to open as the team's threads wait (it spins only
  // while the sweeps it would help have their cores).
  template <class Sweep, class Finish>
  void help(int thread, const stage& st, const step_team& team, Sweep sweep_range, Finish finish) {
    const extent& e = *st.in.e;
    for (;;) {
      const int unopened = unopened_.load(std::memory_order_acquire);
      std::size_t k = 0;
      std::atomic<std::uint64_t>* from = nullptr;
      std::uint64_t w = 0;
      int most = least_rows - 1;
      for (std::size_t n = 0; n < left_.size(); ++n) {
        for (int t = 0; t < threads_; ++t) {
          const std::uint64_t seen = slot(n, t).load(std::memory_order_acquire);
          const int rows = row_range::end_of(seen) - row_range::next_of(seen) - 1;
          if (t != thread && rows > most) {
            k = n, from = &slot(n, t), w = seen, most = rows;
          }
        }
      }
      // A range's rows above its next one but one, split in two halves by
      // work: none where their work is all in one row (or none), which its
      // sweep will not change.
      bool took = false;
      if (from != nullptr && join(k)) {
        const int end = row_range::end_of(w);
        const int cut = upper_half(e, st.species[k], row_range::next_of(w) + 1, end);
        took = cut < end && from->compare_exchange_strong(w, row_range::word(row_range::next_of(w), cut),
                                                          std::memory_order_acq_rel, std::memory_order_acquire);
        if (took) {
          std::atomic<std::uint64_t>& own = slot(k, thread);
          own.store(row_range::word(cut, end), std::memory_order_release);
          taken_.fetch_add(1, std::memory_order_relaxed);
          sweep_range(k, own, cut, end);
        }
        if (ends_species(k)) finish(k);
        // A range that moved on before the rows were taken: look again.
        if (!took && cut < end) continue;
      }
      if (took) continue;
      if (unopened == 0) return;
      team.wait_for_change(unopened_, unopened);
    }
  }

 private:
  // The fewest rows above a range's next row worth taking over.
  static constexpr int least_rows = 2;
  struct alignas(64) slot_word {
    std::atomic<std::uint64_t> word{0};
  };
  struct alignas(64) ranges_left {
    std::atomic<int> n{1};
  };
  std::atomic<std::uint64_t>& slot(std::size_t k, int thread) noexcept {
    return ranges_[k * static_cast<std::size_t>(threads_) + static_cast<std::size_t>(thread)].word;
  }
  // Counts one more range of species k, unless its stage has ended.
  bool join(std::size_t k) noexcept {
    int n = left_[k].n.load(std::memory_order_acquire);
    while (n > 0 && !left_[k].n.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel)) {
    }
    return n > 0;
  }
  // The first row of the plan in first..end - 1 where the rows below it
  // hold half the work of those rows, or end if either side would have
  // none.
  static int upper_half(const extent& e, const species_stage& sp, int first, int end) {
    long total = 0;
    sp.plan->for_each_row(first, end - 1, [&](int j) { total += sp.work[e.at_row(j)]; });
    long below = 0;
    int cut = end;
    sp.plan->for_each_row(first, end - 1, [&](int j) {
      if (cut == end && below > 0 && 2 * below >= total) cut = j;
      if (cut == end) below += sp.work[e.at_row(j)];
    });
    return below < total ? cut : end;
  }
  int threads_;
  std::pmr::vector<slot_word> ranges_;
  std::pmr::vector<ranges_left> left_;
  std::atomic<int> unopened_;
  std::atomic<long> taken_{0};
};

// Runs one stage over the block with its species apart (species_go_apart).
// The first part makes the flow's input ready (prepare_flow_input); the
// others are each species', most work first as the last stage found it,
// with the flow's second among them: the calling thread's home parts come
// first, and a thread that is done with its own takes the others' from the
// far end. So the calling thread starts on the flow's input at once, then
// on the species of most work, and the other thread, done with the small
// species, takes the flow's part, last of the calling thread's home parts,
// if it is not started yet. A thread with no part left then takes over
// rows of the species' sweeps still in progress (species_rows). A species'
// part makes its own input ready, then waits for the flow's (its cells
// read the faces' boundary values), and the flow's part waits for it too.
// The flow's part is the rest of its share of the stage (learn_input_rows,
// plan_flow_rows, plan_output_rows for the parts, its sweep, finish_flow
// and learn_flow_busy): a species' part reads the stage's input flow
// alone, which none of it writes (the rows that a species' sweep visits
// are those where it has work, not those of the flow's plan). The team
// judges the stage by its flow's work and its species' work in the last
// stage: theirs in this one is known only within their parts. entry_u:
// the module's u in the second stage, nullptr in the first.
void run_species_apart(stage& st, const stage_input& in, step_workspace& ws, const float* entry_u, bool may_skip) {
  const extent& e = *st.in.e;
  long likely = ws.last_flow_work;
  for (const species_knowledge& k : ws.species) likely += k.last_work;
  std::pmr::vector<std::size_t> order(st.species.size(), st.arena());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return ws.species[a].last_work > ws.species[b].last_work; });
  stage_parts parts(st.arena());
  for (const std::size_t k : order) {
    parts.pieces.push_back({e.r0, e.r1 + 1, false, k, k + 1});
    parts.end_part();
    if (parts.count() == 1) {
      parts.pieces.push_back({e.r0, e.r1 + 1, true, 0, 0});
      parts.end_part();
    }
  }
  species_rows shared(st.species.size(), ws.team().size(), st.arena());
  const auto finish = [&](std::size_t k) { finish_species(in, ws, e, k, may_skip); };
  // The flow's input is made ready by the first part, which the calling
  // thread takes first of all; the parts that read it wait for it.
  std::atomic<bool> flow_input_ready{false};
  const auto await_flow_input = [&] { flow_input_ready.wait(false, std::memory_order_acquire); };
  ws.team().for_each_part(
      parts.count() + 1,
      [&](int n, int thread) {
        if (n == 0) {
          prepare_flow_input(in, ws, e);
          flow_input_ready.store(true, std::memory_order_release);
          flow_input_ready.notify_all();
          return;
        }
        const sweep_piece& piece = parts.pieces[static_cast<std::size_t>(n - 1)];
        if (piece.flow) {
          await_flow_input();
          ws.last_flow_work = plan_flow_rows(st, ws, learn_input_rows(in, ws, e, entry_u));
          plan_output_rows(st, ws, parts);
          sweep(st, piece, ws.flux_rows(thread));
          finish_flow(st, ws, parts);
          learn_flow_busy(ws, e, may_skip);
          return;
        }
        const std::size_t k = piece.species_first;
        prepare_species_input(in, ws, e, k);
        await_flow_input();
        ws.species[k].last_work = species_records(st, st.species[k], ws);
        sweep(st, piece, ws.flux_rows(thread), &shared.open(k, thread, piece.first, piece.last));
        if (shared.ends_species(k)) finish(k);
      },
      ws.team().choose(likely),
      [&](int thread) {
        shared.help(
            thread, st, ws.team(),
            [&](std::size_t k, std::atomic<std::uint64_t>& range, int first, int end) {
              sweep(st, {first, end, false, k, k + 1}, ws.flux_rows(thread), &range);
            },
            finish);
      });
  ws.ranges_taken_over += shared.taken();
}

// A species' part of a stage. The first stage advances the module's q
// into q1, keeping q1's spans (stage_q); the second averages q1's change
// with the entry q into the module's q in place and writes the rate,
// keeping the module's spans, and its cells take in the entry q's spans,
// which the average reads.
species_stage species_part(bool second, const species_fields& fields, species_knowledge& known, bool may_skip,
                           bool quiet_left_out) {
  const pollutant input{known.input_q.data(), second ? known.module_q.data() : nullptr, may_skip, quiet_left_out};
  if (!second) {
    return {.q_in = fields.q,
            .q_out = known.q1,
            .dqdt = nullptr,
            .q_spans = known.stage_q.data(),
            .dqdt_spans = nullptr,
            .input = input,
            .cells = known.cells.data(),
            .work = known.work.data(),
            .has_work = known.has_work.data(),
            .plan = &known.plan};
  }
  return {.q_in = known.q1,
          .q_out = fields.q,
          .dqdt = fields.dqdt,
          .q_spans = known.module_q.data(),
          .dqdt_spans = known.module_dqdt.data(),
          .input = input,
          .cells = known.cells.data(),
          .work = known.work.data(),
          .has_work = known.has_work.data(),
          .plan = &known.plan};
}

// A stage of the step, from the flow set `in` into `out`: the first a whole
// step long, from the module's arrays (set 0) into set 1; the second half a
// step, from set 1 back into the module's arrays.
stage stage_of(bool second, const flow_set& in, const flow_set& out, const model_state& state, step_workspace& ws,
               bool may_skip, std::pmr::memory_resource* arena) {
  stage st{.second = second,
           .dt = second ? constant::stage2_length : constant::step_length,
           .in = in,
           .out = out,
           .species = std::pmr::vector<species_stage>(arena),
           .plan = &ws.plan};
  st.species.reserve(state.species.size());
  for (std::size_t k = 0; k < state.species.size(); ++k) {
    st.species.push_back(species_part(second, state.species[k], ws.species[k], may_skip, ws.plan_leaves_quiet_out));
  }
  return st;
}

// One stage of the step, from the set `in` into `out`: the first a whole
// step long, from the module's arrays (set 0) into set 1, the module's
// arrays then getting back the points that the boundary values overwrote;
// the second half a step, from set 1 back into the module's arrays. Its
// plan, its input made ready, its sweep (its species apart where they go
// so), and what it learns after.
void step_stage(bool second, const stage_input& in, const flow_set& out, const model_state& state, step_workspace& ws,
                const extent& e, bool may_skip, std::pmr::memory_resource* arena) {
  // The stage's plan and input take a while before its sweep: time for the
  // team to wake up if it has been handed the sweeps before.
  ws.team().get_ready();
  plan_stage(ws, in.flow, e, may_skip);
  const bool apart = species_go_apart(ws);
  prepare_input(in, ws, e, apart);
  stage st = stage_of(second, in.flow, out, state, ws, may_skip, arena);
  const float* const entry_u = second ? state.u : nullptr;
  if (apart) {
    run_species_apart(st, in, ws, entry_u, may_skip);
  } else {
    run_stage(st, ws, learn_input_rows(in, ws, e, entry_u));
  }
  if (in.entry()) {
    restore_frames(in.fields, 0, apart ? flow_fields : in.fields.size(), frames_of(in, ws),
                   [&](std::size_t f, int j) { return frame_stays(ws, e, f, j); });
    ws.flow_frames_out = true;
  }
  learn_busy(ws, e, may_skip, apart);
}

}  // namespace

void step_workspace::materialize(float* u, float* v, float* h) {
  const extent e = block_extent(bounds_, patch_, grid_spacing{});
  if (flow_frames_out) {
    float* const fields[flow_fields] = {u, v, h};
    const int v_row = e.r1 + 1;
    for_each_outside_frame(fields, 0, flow_fields, frames(), frame_points(), bounds_, patch_,
                           [&](std::size_t f, int j, float* points, const float* saved, idx count) {
                             if (frame_left_out(bounds_, f, j, v_row)) std::copy_n(saved, count, points);
                           });
    flow_frames_out = false;
  }
  if (!flow_known) return;
  // The rows keep their records: those left to the row below stay so,
  // their storage now holding the same values.
  const flow_set module{{u, v, h}, &module_flow, &e};
  for (int j = e.r0; j <= e.r1; ++j) {
    if (module_flow.stored[e.at_row(j)] == 0) copy_from_source(module, j);
  }
}

void rk2(const model_state& state, const grid_spacing& s, float u_in, float v_in, step_workspace& ws) {
  if (static_cast<int>(state.species.size()) != ws.species_count()) {
    throw std::invalid_argument("rk2: the workspace was made for another number of species");
  }
  const extent e = block_extent(ws.bounds(), ws.patch(), s);
  const bool may_skip = pollutant_map::spacing_allows_skipping(s.dx, s.dy);
  const flow_set module{{state.u, state.v, state.h}, &ws.module_flow, &e};
  const flow_set staged{{ws.u1(), ws.v1(), ws.h1()}, &ws.stage_flow, &e};
  // The step's own small records (lists of fields, of species, the parts
  // of a stage) come from an arena on the stack, not from the heap, pass
  // after pass; what does not fit goes to the heap.
  std::array<std::byte, 8192> arena_bytes;
  std::pmr::monotonic_buffer_resource arena(arena_bytes.data(), arena_bytes.size());
  std::pmr::vector<float*> entry_fields(&arena), stage_fields(&arena);
  entry_fields.reserve(static_cast<std::size_t>(boundary_fields(ws.species_count())));
  stage_fields.reserve(entry_fields.capacity());
  entry_fields.insert(entry_fields.end(), {state.u, state.v, state.h});
  stage_fields.insert(stage_fields.end(), {ws.u1(), ws.v1(), ws.h1()});
  for (std::size_t k = 0; k < state.species.size(); ++k) {
    entry_fields.push_back(state.species[k].q);
    stage_fields.push_back(ws.species[k].q1);
  }
  learn_unknown(state, module, ws, e);
  step_stage(false, {module, entry_fields, module_pollutant, ws.frames(), u_in, v_in}, staged, state, ws, e, may_skip,
             &arena);
  step_stage(true, {staged, stage_fields, stage_pollutant, nullptr, u_in, v_in}, module, state, ws, e, may_skip,
             &arena);
}

void rk2(float* u, float* v, float* h, float* q, float* dqdt, const float* /*gpx*/, const float* /*gpy*/,
         const float* /*fx*/, const float* /*fy*/, const grid_spacing& s, const float& u_in, const float& v_in,
         const int& ids, const int& ide, const int& jds, const int& jde, const int& ims, const int& ime, const int& jms,
         const int& jme, step_workspace& ws) {
  if (ws.bounds() != grid_bounds{ids, ide, jds, jde, ims, ime, jms, jme}) {
    throw std::invalid_argument("rk2: the workspace was made for another grid");
  }
  const species_fields one{q, dqdt};
  rk2(model_state{u, v, h, {&one, 1}}, s, u_in, v_in, ws);
}
