#pragma once
// A run's checkpoints: when they are taken, what they take from the module
// arrays, and how a run goes on from one.
//
// A checkpoint after pass n holds u, v, h, q and dqdt on the interior
// points, as they stand after that pass's step, emission and snapshot. That
// is all the later passes read of the state:
//  - the halo of u, v, h and q is never read: each stage of the step sets
//    every halo point from interior values or from the inflow before it
//    reads one, and leaves the module arrays' halo as it was, which is the
//    zeros of the initial state (an emission adds zero cones there);
//  - dqdt is only written by the step, but on part of the interior, and the
//    snapshot stores the whole interior, so it is held as it stands;
//  - us, vs, div and vort are derived from u and v before each snapshot,
//    qr and qc are not used by the run, and gpx, gpy, x, y, fx and fy are
//    set by init alone, which the restart repeats.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "decomposition/layout.hpp"
#include "decomposition/process_group.hpp"
#include "driver/checkpoint.hpp"
#include "driver/scenario.hpp"
#include "driver/stop_signals.hpp"

class snapshot_writer;

struct checkpoint_settings {
  // Where the checkpoints go; "" for the snapshot file's path with ".ckpt"
  // appended.
  std::string path;
  // A checkpoint after each pass n > 0 that is a multiple of every_s; 0 for
  // none on a schedule.
  std::int32_t every_s = 0;
  // The signals that ask for a checkpoint; nullptr for none.
  stop_signals* signals = nullptr;
  // The program named in each checkpoint.
  std::string program = "plume";
  // Test hook: the write with this number (1 for the first) kills the
  // process between its temporary file and the rename; 0 for none.
  int crash_before_rename = 0;
};

std::string default_checkpoint_path(const std::string& snapshot_path);
std::string checkpoint_path(const checkpoint_settings& settings, const std::string& snapshot_path);

// The names of the fields a checkpoint of a run of the scenario holds, in
// their order: u, v, h, then q and dqdt of each pollutant.
std::vector<std::string> checkpoint_fields(const scenario& s);

// A checkpoint, checked, for a run to go on from.
struct restart_point {
  std::string path;
  checkpoint_contents contents;
  ::scenario scenario;
  // The snapshot file the run goes on with, as the checkpoint found it.
  snapshot_file_state snapshots;
};

// The first pass of a run: 0, or the pass after the checkpoint's.
inline int first_pass(const std::optional<restart_point>& from) { return from ? from->contents.header.pass + 1 : 0; }

// Reads and checks the checkpoint at `path`: its format, its digest, and its
// scenario as a scenario file is checked. Throws checkpoint_error, or
// scenario_error for the scenario. `grid_position` as for read_scenario.
restart_point read_restart_point(const std::string& path, std::string* grid_position = nullptr);

// How much of the snapshot file a restart reads to check it.
enum class output_check {
  last,  // its length and its last snapshot
  full,  // every byte it held at the checkpoint
};

// Checks that the snapshot file at `path` begins with the bytes that the
// checkpoint recorded: that it holds at least their length, and that its
// last snapshot before that length (or, when `how` is full or the
// checkpoint of format 1 recorded only the CRC-32 of them all, every byte
// before it) has the recorded CRC-32. `snapshot_bytes` is the length of one
// snapshot of the run, for format 1, whose from.snapshots this fills in.
// Reads the file and changes nothing; throws checkpoint_error.
void check_snapshot_file(const std::string& path, restart_point& from, output_check how, std::uint64_t snapshot_bytes);

// Checks the output that a restart goes on with: that `path` asks for the
// kind of output the checkpoint's run wrote (NetCDF files for a path ending
// in .nc, else the snapshot file), and then the snapshot file as
// check_snapshot_file does, or that every file of the NetCDF series that the
// checkpoint counted is there and the last one is the one it recorded.
// Reads and changes nothing; throws checkpoint_error.
void check_output(const std::string& path, restart_point& from, output_check how, std::uint64_t snapshot_bytes);

// Puts the checkpoint's fields into the module's u, v, h, q and dqdt, which
// gridpara and init have set up for its scenario: every process reads the
// rows of its block (laid out as l); from a checkpoint of format 1, rank 0
// reads them all and hands them out. Throws on every process: a
// checkpoint_error when a row does not match its CRC-32, else
// (processes::together) if the file is no longer the one that was checked
// or cannot be read.
void restore_fields(const restart_point& from, const block_layout& l);

// The memory that writing or reading a checkpoint takes on process `rank`
// of a run of scenario s split as l, for the memory check.
std::uint64_t checkpoint_bytes(const scenario& s, const block_layout& l, int rank) noexcept;

// The restart point as text, for rank 0 to hand the other processes, and
// back; the text is the checkpoint's header and digest.
std::string restart_text(const restart_point& r);
restart_point restart_from_text(const std::string& text);

// The checkpoints of one run, taken from the module arrays of every process
// (blocks laid out as l), each process writing its own block.
class checkpointer {
 public:
  // `prepare` makes the module arrays hold every value before a checkpoint
  // takes them (the step may leave repeated rows unwritten).
  checkpointer(const checkpoint_settings& settings, const std::string& snapshot_path, const scenario& s,
               const block_layout& l = {}, std::function<void()> prepare = {});

  // After pass n, its snapshot included: writes a checkpoint if the
  // schedule or a signal asks for one. Returns the signal (SIGTERM or
  // SIGINT) on which the run stops now, its checkpoint written, or 0. Every
  // process acts on the signals of all: at once in a run of one process,
  // a pass later under MPI (processes::pass_flags). Throws run_failure on
  // every process.
  int after_pass(int n, snapshot_writer& snapshots);

  const std::string& path() const noexcept { return path_; }
  // Whether checkpoints are taken on a schedule.
  bool scheduled() const noexcept { return every_s_ > 0; }

 private:
  void write(int n, snapshot_writer& snapshots);
  block_layout layout_;
  std::function<void()> prepare_;
  processes::pass_flags flags_;
  std::string path_;
  std::int32_t every_s_;
  stop_signals* signals_;
  checkpoint_header header_;
  std::vector<float*> fields_;  // the module's arrays of header_.fields
  int crash_before_rename_;
  int writes_ = 0;
};

// The command line that goes on with a stopped run: the checkpoint, and the
// options that keep its snapshot file and its checkpoints where they were.
std::string go_on_command(const checkpoint_settings& settings, const std::string& snapshot_path,
                          const std::string& default_snapshot_path);
