#pragma once
// The run: start-up, the time loop over passes 0 .. last_pass, and the end.
#include <cmath>
#include <cstdio>
#include <string>

#include "grid/constant.hpp"

// The cores this process may run on (its CPU affinity), at least 1.
int available_cores() noexcept;

// The configuration of a run. The program uses the defaults; tests shorten
// the loop or send the log elsewhere.
struct run_settings {
  int last_pass = constant::last_pass;
  std::string snapshot_path = "./test_withPollutant.dat";
  std::FILE* console = stdout;
  std::string console_name = "standard output";
  // Threads that share each sweep of the time step; the output is the same
  // bytes for every count.
  int threads = available_cores();
};

// A progress line every 100 passes.
inline bool progress_due(int n) noexcept { return n % constant::progress_interval == 0; }
// A snapshot (and its "output!" line) at every whole multiple of 1800 s.
inline bool snapshot_due(float t) noexcept { return std::fmod(t, constant::snapshot_interval) == 0.0f; }
// An emission every model hour from the twelfth hour on; the pass counter is
// compared first, so the remainder is only taken from then on.
inline bool emission_due(int n) noexcept {
  return n >= constant::first_emission_pass && std::fmod(static_cast<float>(n), constant::emission_interval) == 0.0f;
}

// Sets up the grid and the initial state, opens the snapshot file and runs
// the time loop. Throws run_failure when memory, the snapshot file or the
// console fails; everything written before stays.
void run(const run_settings& settings);

// Adds both source cones to q: rebuilds qr and qc, then q = (qr + qc) + q at
// every stored point.
void emit();

// Writes one finished line to the console; throws run_failure if the stream
// refuses it.
void write_console(std::FILE* console, const std::string& name, std::string_view line);
