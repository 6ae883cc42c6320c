// Cost of one time step and of one pass of the time loop, per interior cell
// (401 x 401), on three states of the flow:
//   clean - the flow some minutes in, no pollutant (as in the first 12 hours);
//   plume - the flow 50 minutes in with the puffs of two emissions;
//   rough - the plume state with a rough random q in every cell, so that
//           there is pollutant everywhere;
//   tangled - the rough state with a small random change to every u and v,
//           so that no row repeats another and nothing can be left out.
// The plain composition of the procedures (rk2_reference and div_vort on
// every pass, one thread) is the yardstick; the production step and the
// driver's pass are timed with one thread and with the default count (the
// cores available). A pass "with snapshot" also derives the diagnostics and
// writes the seven records (to /dev/null).
// A pass of the step over a clean grid of 401 columns and 401, 2001 or
// 8001 rows, one thread: the flow repeats from row to row and there is no
// pollutant, so the figure is the step's bookkeeping, which should not grow
// with the rows.
// The pollutant's own cost per cell is timed with 1, 2 and 4 species, and
// on short spans: rows that hold 16, 32 or 100 pollutant cells each (and
// none), or a number that changes from row to row (about 16 or 100).
// The flux loops alone are timed per face: the x and north faces of the
// rough state's rows, 16 to 399 faces a row, with the faces' weights formed
// ahead or formed in the loop.
// The emission alone is timed against the literal one (every source's
// pattern over the whole field) on three grids: the reference case's, the
// 2001 x 2001 case's with its three sources, and 401 x 401 with 100 wide
// sources that cover nearly every cell.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/diagnostics.hpp"
#include "decomposition/process_group.hpp"
#include "driver/derived_fields.hpp"
#include "driver/emission.hpp"
#include "driver/fp_mode.hpp"
#include "driver/init.hpp"
#include "driver/snapshot.hpp"
#include "kernels/kernels.hpp"
#include "kernels/pollutant_span.hpp"
#include "support/developed_state.hpp"
#include "support/literal_emission.hpp"
#include "support/module_step.hpp"
#include "timestep/row_team.hpp"
#include "timestep/step_workspace.hpp"
#include "timestep/timestep.hpp"

namespace {

constexpr double interior_cells = 401.0 * 401.0;

enum state_kind : int { clean, plume, rough, tangled };
const char* const state_names[] = {"clean", "plume", "rough", "tangled"};

// Sets the module arrays to the given state; each is developed once.
void load_state(state_kind kind) {
  static std::map<int, step_state> saved;
  auto found = saved.find(kind);
  if (found == saved.end()) {
    if (kind == clean) {
      develop_state(600, {});
    } else {
      develop_state(3000, {1000, 2000});
      if (kind == rough || kind == tangled) {
        std::mt19937 random(12345);
        std::uniform_real_distribution<float> value(0.0f, 1.0f);
        const std::size_t n = field_size(domain::ims, domain::ime, domain::jms, domain::jme);
        for (std::size_t k = 0; k < n; ++k) domain::q[k] = value(random);
        if (kind == tangled) {
          for (std::size_t k = 0; k < n; ++k) {
            domain::u[k] += 0.01f * value(random);
            domain::v[k] += 0.01f * value(random);
          }
        }
      }
    }
    found = saved.emplace(kind, step_state::save()).first;
  }
  found->second.restore();
}

// Time per interior cell and step, shown with an SI prefix (13.0n = 13 ns).
void per_cell(benchmark::State& state) {
  state.counters["per_cell"] =
      benchmark::Counter(interior_cells, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void label(benchmark::State& state, state_kind kind, int threads, const char* what = "") {
  state.SetLabel(std::string(state_names[kind]) + ", " + std::to_string(threads) + (threads == 1 ? " thread" : " threads") +
                 what);
}

// The yardstick: the plain composition of the procedures and the
// diagnostics, as a pass of the time loop would run them, on one thread.
void plain_composition(benchmark::State& state) {
  const auto kind = static_cast<state_kind>(state.range(0));
  load_state(kind);
  using namespace domain;
  for (auto _ : state) {
    rk2_reference(u, v, h, q, dqdt, gpx, gpy, fx, fy, reference::spacing, reference::u_init, reference::v_init, ids, ide, jds, jde, ims, ime, jms, jme);
    div_vort(domain::div, vort, us, vs, forceu, u, v, reference::spacing, ids, ide, jds, jde, ims, ime, jms, jme);
    benchmark::ClobberMemory();
  }
  label(state, kind, 1);
  per_cell(state);
}

void production_step(benchmark::State& state) {
  const auto kind = static_cast<state_kind>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  load_state(kind);
  module_step step(threads, false);
  for (auto _ : state) {
    step();
    benchmark::ClobberMemory();
  }
  label(state, kind, threads);
  per_cell(state);
}

// The step on the rough state (pollutant in every one of the 401 x 401
// cells) carrying 1, 2 or 4 species, each a copy of its q, on one thread.
// "per_pollutant_cell" is the time per cell and species of a pass; the
// rise from one species to several, per added species, is the pollutant's
// own cost per cell (the flow is stepped once whatever the count).
void pollutant_cells(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  load_state(rough);
  using namespace domain;
  const std::size_t n = field_size(ims, ime, jms, jme);
  std::vector<std::vector<float>> q_copies(static_cast<std::size_t>(count), std::vector<float>(q, q + n));
  std::vector<std::vector<float>> rates(static_cast<std::size_t>(count), std::vector<float>(n, 0.0f));
  std::vector<species_fields> list;
  for (int k = 0; k < count; ++k) list.push_back({q_copies[k].data(), rates[k].data()});
  step_team team(1);
  step_workspace workspace(domain::bounds(), team, count);
  for (auto _ : state) {
    rk2(model_state{u, v, h, list}, reference::spacing, reference::u_init, reference::v_init, workspace);
    benchmark::ClobberMemory();
  }
  state.SetLabel("rough, " + std::to_string(count) + " species, 1 thread");
  state.counters["per_pollutant_cell"] = benchmark::Counter(
      interior_cells * count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The step on the plume state's flow with pollutant in a band of cells in
// the middle of every row, one species, one thread: the cost of a row's
// span that starts and finishes in every row (a band of 0 cells gives the
// flow's and the bookkeeping's share). `widths` gives each row's band.
// "per_row" is the time per row of a pass, "per_pollutant_cell" per cell
// of the band. Each pass spreads the band by at most two cells and two
// rows each way; the columns of the bands of the row and of the two rows on
// either side, and four more each way, are set back to the first pass's
// values after every pass (+0 around the band), which keeps the step's
// knowledge of where its pollutant is true (it only widens).
template <class Width>
void band_passes(benchmark::State& state, const std::string& what, Width widths) {
  load_state(plume);
  using namespace domain;
  const std::size_t n = field_size(ims, ime, jms, jme);
  const std::ptrdiff_t row_length = ime - ims + 1;
  const auto at = [&](int i, int j) { return (j - jms) * row_length + (i - ims); };
  constexpr int reach = 4;
  std::vector<int> first(static_cast<std::size_t>(jde - jds + 1)), last(first.size());
  std::vector<float> band(n, 0.0f);
  std::mt19937 random(2718);
  std::uniform_real_distribution<float> value(0.0f, 1.0f);
  long cells = 0;
  for (int j = jds; j <= jde; ++j) {
    const int width = widths(random);
    const int lo = (ids + ide - width) / 2;
    first[static_cast<std::size_t>(j - jds)] = lo;
    last[static_cast<std::size_t>(j - jds)] = lo + width - 1;
    cells += width;
    for (int i = lo; i < lo + width; ++i) band[static_cast<std::size_t>(at(i, j))] = value(random);
  }
  // The columns set back in each row.
  std::vector<std::pair<int, int>> reset;
  for (std::size_t k = 0; k < first.size(); ++k) {
    const std::size_t from = k < 2 ? 0 : k - 2, to = std::min(k + 2, first.size() - 1);
    reset.emplace_back(*std::min_element(first.begin() + from, first.begin() + to + 1) - reach,
                       *std::max_element(last.begin() + from, last.begin() + to + 1) + reach);
  }
  std::vector<float> q1(band);
  std::vector<float> rate(n, 0.0f);
  std::vector<species_fields> list{{q1.data(), rate.data()}};
  step_team team(1);
  step_workspace workspace(domain::bounds(), team, 1);
  for (auto _ : state) {
    rk2(model_state{u, v, h, list}, reference::spacing, reference::u_init, reference::v_init, workspace);
    for (int j = jds; j <= jde; ++j) {
      const auto [lo, hi] = reset[static_cast<std::size_t>(j - jds)];
      std::copy(band.data() + at(lo, j), band.data() + at(hi + 1, j), q1.data() + at(lo, j));
    }
    benchmark::ClobberMemory();
  }
  state.SetLabel("plume flow, " + what + ", 1 species, 1 thread");
  state.counters["per_row"] = benchmark::Counter(
      static_cast<double>(first.size()), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  if (cells > 0) {
    state.counters["per_pollutant_cell"] = benchmark::Counter(
        static_cast<double>(cells), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  }
}

// Bands of state.range(0) cells in every row.
void short_spans(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  band_passes(state, std::to_string(width) + " cells a row", [width](std::mt19937&) { return width; });
}

// Bands of a width drawn for each row between half and one and a half
// times state.range(0), as the rows of a plume differ: the loops' lengths
// change from row to row.
void uneven_spans(benchmark::State& state) {
  const int mean = static_cast<int>(state.range(0));
  std::uniform_int_distribution<int> width(mean / 2, mean + mean / 2);
  band_passes(state, "about " + std::to_string(mean) + " cells a row", [&width](std::mt19937& r) { return width(r); });
}

// The flux loops of the sweep alone: the x and north faces of state.range(0)
// columns of every row of the rough state's q, through
// pollutant_span::fluxes as a row with pollutant calls it, the faces'
// velocities those of one row (as under a flow whose rows repeat). With
// state.range(1) 1 the faces' weights are formed ahead, once, as the sweep
// forms them for loops of 64 faces or more; with 0 each loop forms its own.
// "per_face" is the time per face of the two rows.
void flux_loops(benchmark::State& state) {
  using namespace pollutant_span;
  using namespace domain;
  load_state(rough);
  const int faces = static_cast<int>(state.range(0));
  const bool ahead = state.range(1) != 0;
  const std::ptrdiff_t length = ime - ims + 1;
  const auto row = [&](const float* field, int j) { return field + (j - jms) * length - ims; };
  std::vector<float> scratch(static_cast<std::size_t>(4 * length));
  const auto scratch_at = [&](std::ptrdiff_t k) { return scratch_row{scratch.data() + k * length, ims}; };
  const span columns{ids + 1, ids + faces};
  const int j_flow = (jds + jde) / 2;
  face_row x = x_faces(row(u, j_flow), constant::step_length, reference::spacing, ime);
  face_row north = y_faces(row(v, j_flow + 1), constant::step_length, reference::spacing, ime);
  if (ahead) {
    x.weights = scratch_at(2);
    north.weights = scratch_at(3);
    form_weights(x, columns);
    form_weights(north, columns);
  }
  const int first = jds + 2, last = jde - 3;
  for (auto _ : state) {
    for (int j = first; j <= last; ++j) {
      fluxes(x, along_row(row(q, j)), scratch_at(0), north,
             across_rows(row(q, j - 1), row(q, j), row(q, j + 1), row(q, j + 2)), scratch_at(1), columns);
    }
    benchmark::ClobberMemory();
  }
  state.SetLabel(std::to_string(faces) + (ahead ? " faces a row, weights formed ahead" : " faces a row"));
  state.counters["per_face"] = benchmark::Counter(
      2.0 * faces * (last - first + 1), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// One pass of the driver's time loop: the step, and on a snapshot pass the
// diagnostics and the seven records.
void driver_pass(benchmark::State& state) {
  const auto kind = static_cast<state_kind>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  const bool with_snapshot = state.range(2) != 0;
  load_state(kind);
  module_step step(threads, false);
  snapshot_file sink("/dev/null");
  using namespace domain;
  for (auto _ : state) {
    step();
    if (with_snapshot) {
      step.workspace.materialize(u, v, h);
      derive_snapshot_fields(reference::spacing, step.workspace.team());
      sink.write(&step.workspace.team());
    }
    benchmark::ClobberMemory();
  }
  label(state, kind, threads, with_snapshot ? ", with snapshot" : ", no snapshot");
  per_cell(state);
}

// The step alone on a clean grid of 401 columns and state.range(0) rows,
// the flow a minute in from the start.
void clean_grid_pass(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  domain::gridpara(401, rows);
  using namespace domain;
  init(u, v, h, q, gpx, gpy, fx, fy, x, y, reference::spacing, reference::u_init, reference::v_init, ids, ide, jds, jde,
       ims, ime, jms, jme);
  module_step step(1, false);
  for (int n = 0; n < 60; ++n) step();
  for (auto _ : state) {
    step();
    benchmark::ClobberMemory();
  }
  state.SetLabel("401 columns, " + std::to_string(rows) + " rows, 1 thread");
  // The reference grid again, for the benchmarks that load its states.
  gridpara(reference::nx, reference::ny);
  init(u, v, h, q, gpx, gpy, fx, fy, x, y, reference::spacing, reference::u_init, reference::v_init, ids, ide, jds, jde,
       ims, ime, jms, jme);
}

// The procedures of the plain composition, each on copies of the plume
// state.
void procedures(benchmark::State& state) {
  load_state(plume);
  using namespace domain;
  const std::size_t n = field_size(ims, ime, jms, jme);
  std::vector<float> copies[6];
  for (auto& c : copies) c.resize(n);
  float* us_ = copies[0].data();
  float* vs_ = copies[1].data();
  float* hs_ = copies[2].data();
  float* qs_ = copies[3].data();
  float* a = copies[4].data();
  float* b = copies[5].data();
  std::copy_n(u, n, us_);
  std::copy_n(v, n, vs_);
  std::copy_n(h, n, hs_);
  std::copy_n(q, n, qs_);
  set_bdy(us_, vs_, hs_, qs_, reference::u_init, reference::v_init, ids, ide, jds, jde, ims, ime, jms, jme);
  const float dt = 0.5f;
  const int which = static_cast<int>(state.range(0));
  for (auto _ : state) {
    switch (which) {
      case 0: set_bdy(us_, vs_, hs_, qs_, reference::u_init, reference::v_init, ids, ide, jds, jde, ims, ime, jms, jme); break;
      case 1: force(a, b, us_, vs_, hs_, gpx, gpy, fx, fy, reference::spacing, ids, ide, jds, jde, ims, ime, jms, jme); break;
      case 2: force_air(a, qs_, b, us_, vs_, dt, reference::spacing, ids, ide, jds, jde, ims, ime, jms, jme); break;
      case 3: adv_air(a, b, us_, vs_, dt, reference::spacing, ids, ide, jds, jde, ims, ime, jms, jme); break;
      case 4: diagh(a, us_, vs_, reference::spacing, ids, ide, jds, jde, ims, ime, jms, jme); break;
      case 5: div_vort(a, b, hs_, qs_, u, us_, vs_, reference::spacing, ids, ide, jds, jde, ims, ime, jms, jme); break;
    }
    benchmark::ClobberMemory();
  }
  static const char* const names[] = {"set_bdy", "force", "force_air", "adv_air", "diagh", "div_vort"};
  state.SetLabel(names[which]);
  per_cell(state);
}

enum emission_case : int { reference_sources, large_grid, sources_everywhere };
const char* const emission_names[] = {"401 x 401, the reference's 2 sources", "2001 x 2001, 3 sources",
                                      "401 x 401, 100 wide sources"};

// Sets up the module's grid of the case, q clean, and returns its sources.
std::vector<point_source> emission_setup(emission_case c) {
  const int n = c == large_grid ? 2001 : 401;
  domain::gridpara(n, n);
  using namespace domain;
  init(u, v, h, q, gpx, gpy, fx, fy, x, y, reference::spacing, reference::u_init, reference::v_init, ids, ide, jds, jde,
       ims, ime, jms, jme);
  switch (c) {
    case reference_sources: return scenario{}.sources;
    case large_grid:
      return {{400000.0f, 1000000.0f, 2000.0f, 1.0f, 0},
              {1000000.0f, 500000.0f, 5000.0f, 1.0f, 0},
              {1600000.0f, 1500000.0f, 2000.0f, 2.0f, 0}};
    case sources_everywhere: {
      std::vector<point_source> sources;
      for (int a = 0; a < 10; ++a) {
        for (int b = 0; b < 10; ++b) {
          sources.push_back({20000.0f + 40000.0f * static_cast<float>(a), 20000.0f + 40000.0f * static_cast<float>(b),
                             30000.0f, 1.0f, 0});
        }
      }
      return sources;
    }
  }
  return {};
}

// The emission as the run does it, the step knowing q clean outside the
// cones (as it is before the first emission), or the literal one.
void emission(benchmark::State& state) {
  const auto c = static_cast<emission_case>(state.range(0));
  const bool literal = state.range(1) != 0;
  const std::vector<point_source> sources = emission_setup(c);
  using namespace domain;
  const std::vector<pollutant_map::span> clean_rows(static_cast<std::size_t>(jme - jms + 1), pollutant_map::nothing);
  const pollutant_map::known_clean known{clean_rows.data(), jms, ids, ide - 1, jds, jde - 1};
  const emission_grid g = module_emission_grid();
  literal_scratch scratch;
  for (auto _ : state) {
    if (literal) {
      literal_emission(sources, q, g, scratch);
    } else {
      emit(sources, q, module_cone_grid(), known);
    }
    benchmark::ClobberMemory();
  }
  state.SetLabel(std::string(emission_names[c]) + (literal ? ", literal" : ", near the sources"));
}

// One thread, and the default count where that is more.
void thread_counts(benchmark::internal::Benchmark* b, bool snapshots) {
  std::vector<int> counts{1};
  if (processes::affinity_cores() > 1) counts.push_back(processes::affinity_cores());
  for (int kind : {clean, plume, rough, tangled}) {
    for (int threads : counts) {
      if (snapshots) {
        b->Args({kind, threads, 0});
        b->Args({kind, threads, 1});
      } else {
        b->Args({kind, threads});
      }
    }
  }
}

}  // namespace

BENCHMARK(plain_composition)->DenseRange(clean, tangled)->Unit(benchmark::kMillisecond);
BENCHMARK(production_step)->Apply([](benchmark::internal::Benchmark* b) { thread_counts(b, false); })
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(driver_pass)->Apply([](benchmark::internal::Benchmark* b) { thread_counts(b, true); })
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(clean_grid_pass)->Arg(401)->Arg(2001)->Arg(8001)->Unit(benchmark::kMicrosecond);
BENCHMARK(pollutant_cells)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(short_spans)->Arg(0)->Arg(16)->Arg(32)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(uneven_spans)->Arg(16)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(flux_loops)->ArgsProduct({{16, 64, 200, 399}, {0, 1}})->Unit(benchmark::kMicrosecond);
BENCHMARK(procedures)->DenseRange(0, 5)->Unit(benchmark::kMicrosecond);
BENCHMARK(emission)
    ->ArgsProduct({{reference_sources, large_grid, sources_everywhere}, {1, 0}})
    ->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  set_subnormals_to_zero();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
