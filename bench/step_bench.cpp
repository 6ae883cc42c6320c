// Cost of one time step on a developed state, per interior cell (401 x 401):
// the plain composition of the procedures, the production step the driver
// uses, a whole pass of the driver (step and diagnostics), and each
// procedure of the plain composition on its own.
#include <benchmark/benchmark.h>

#include "diagnostics/diagnostics.hpp"
#include "driver/fp_mode.hpp"
#include "grid/work_arrays.hpp"
#include "kernels/kernels.hpp"
#include "support/developed_state.hpp"

namespace {

constexpr double interior_cells = 401.0 * 401.0;

// Flow after some thousands of steps, with pollutant from two emissions.
void ensure_developed_state() {
  static const bool done = [] {
    develop_state(3000, {1000, 2000});
    return true;
  }();
  (void)done;
}

// Time per interior cell and step, shown with an SI prefix (13.0n = 13 ns).
void per_cell(benchmark::State& state) {
  state.counters["per_cell"] =
      benchmark::Counter(interior_cells, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

template <class Step>
void time_step(benchmark::State& state, Step step) {
  ensure_developed_state();
  using namespace domain;
  for (auto _ : state) {
    step(u, v, h, q, dqdt, gpx, gpy, fx, fy, ids, ide, jds, jde, ims, ime, jms, jme);
    benchmark::ClobberMemory();
  }
  per_cell(state);
}

void reference_step(benchmark::State& state) { time_step(state, rk2_reference); }
void production_step(benchmark::State& state) { time_step(state, rk2); }

void driver_pass(benchmark::State& state) {
  ensure_developed_state();
  using namespace domain;
  for (auto _ : state) {
    rk2(u, v, h, q, dqdt, gpx, gpy, fx, fy, ids, ide, jds, jde, ims, ime, jms, jme);
    div_vort(domain::div, vort, us, vs, forceu, u, v, ids, ide, jds, jde, ims, ime, jms, jme);
    benchmark::ClobberMemory();
  }
  per_cell(state);
}

// The procedures of the plain composition, each on copies of the developed
// state held in the reference step's stage arrays.
void procedures(benchmark::State& state) {
  ensure_developed_state();
  using namespace domain;
  const std::size_t n = field_size(ims, ime, jms, jme);
  float* us_ = work::array(work::rk2_u_st, n);
  float* vs_ = work::array(work::rk2_v_st, n);
  float* hs_ = work::array(work::rk2_h_st, n);
  float* qs_ = work::array(work::rk2_q_st, n);
  float* a = work::array(work::rk2_du_st, n);
  float* b = work::array(work::rk2_dv_st, n);
  std::copy_n(u, n, us_);
  std::copy_n(v, n, vs_);
  std::copy_n(h, n, hs_);
  std::copy_n(q, n, qs_);
  set_bdy(us_, vs_, hs_, qs_, ids, ide, jds, jde, ims, ime, jms, jme);
  const float dt = 0.5f;
  const int which = static_cast<int>(state.range(0));
  for (auto _ : state) {
    switch (which) {
      case 0: set_bdy(us_, vs_, hs_, qs_, ids, ide, jds, jde, ims, ime, jms, jme); break;
      case 1: force(a, b, us_, vs_, hs_, gpx, gpy, fx, fy, ids, ide, jds, jde, ims, ime, jms, jme); break;
      case 2: force_air(a, qs_, b, us_, vs_, dt, ids, ide, jds, jde, ims, ime, jms, jme); break;
      case 3: adv_air(a, b, us_, vs_, dt, ids, ide, jds, jde, ims, ime, jms, jme); break;
      case 4: diagh(a, us_, vs_, ids, ide, jds, jde, ims, ime, jms, jme); break;
      case 5: div_vort(a, b, hs_, qs_, u, us_, vs_, ids, ide, jds, jde, ims, ime, jms, jme); break;
    }
    benchmark::ClobberMemory();
  }
  static const char* const names[] = {"set_bdy", "force", "force_air", "adv_air", "diagh", "div_vort"};
  state.SetLabel(names[which]);
  per_cell(state);
}

}  // namespace

BENCHMARK(reference_step)->Unit(benchmark::kMillisecond);
BENCHMARK(production_step)->Unit(benchmark::kMillisecond);
BENCHMARK(driver_pass)->Unit(benchmark::kMillisecond);
BENCHMARK(procedures)->DenseRange(0, 5)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  set_subnormals_to_zero();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
