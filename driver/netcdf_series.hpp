#pragma once
// A run's snapshots as a series of NetCDF files, one per snapshot, each
// complete in itself (netcdf_contents.hpp says what one holds). With the
// output run.nc, snapshot k goes to run_0000.nc, run_0001.nc, ...: the
// number zero-padded to 4 digits, or to as many as the run's last snapshot
// number needs.
//
// A file is written whole under the series' temporary name beside the
// others (run.nc.tmp), synced to the disk, renamed to its own name, and the
// directory synced. So a run stopped at any moment leaves whole files only,
// and at most the temporary file, which the next run replaces. Every
// process of the run writes its block of each field, compressed, and all
// of them together (under MPI through NetCDF's parallel interface).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/byte_digest.hpp"
#include "driver/checkpoint.hpp"
#include "driver/scenario.hpp"
#include "driver/snapshot.hpp"

// Whether the output path asks for NetCDF files: it ends in ".nc".
bool is_netcdf_output(const std::string& path);

// The names of the files of a series.
struct series_names {
  std::string stem;  // the output path without its ".nc"
  int digits = 4;    // of the snapshot number
  // The file of snapshot k: stem_k.nc.
  std::string file(int k) const;
  // The file being written: the output path with ".tmp" appended.
  std::string temporary() const;
};

// The names of the series of output `path` (ending in ".nc") for a run of
// `snapshots` snapshots.
series_names series_names_of(const std::string& path, int snapshots);

// What a checkpoint records of a series to check it cheaply at a restart:
// the number of files written, and the length and CRC-32 of the last one;
// and the compression level of the files, for the restart to go on with.
struct series_record {
  std::int32_t files = 0;
  byte_digest last{};
  std::optional<int> deflate;  // none in a checkpoint of an earlier version
  bool operator==(const series_record&) const = default;
};

// The record as a checkpoint's output (of kind output_netcdf_series), and
// back: nothing when the output is of another kind, or its description is
// not 21 bytes (20, without the level, from an earlier version), or counts
// more files than a run can have, or a level that is not 0 to 9.
checkpoint_output series_output(const series_record& r);
std::optional<series_record> series_record_of(const checkpoint_output& o);

// The record of the first `files` files of the series (rank 0 reads the
// last). Throws run_failure.
series_record record_of(const series_names& names, int files);

// What is wrong with the files of the series against the record, as one
// line ("run_0003.nc: ..."), or "" if they are those recorded. Reads only.
std::string series_problem(const series_names& names, const series_record& kept);

// The compression level of a run whose --deflate does not say, and of
// whose checkpoint does not.
inline constexpr int default_deflate = 1;

// How the run describes itself in its files, and how it writes them.
struct netcdf_settings {
  // Lossless compression of the fields, 0 (none) to 9, as --deflate gives
  // it; none given: see deflate_level.
  std::optional<int> deflate;
  // The "history" attribute: the time and the command line.
  std::string history;
  // The program and its version.
  std::string program = "plume";
  // The "scenario" attribute: the scenario file's name or a note.
  std::string scenario_name;
  // The rows (from 0) at which the later bands of the processes' blocks
  // start; none for a run of one band (netcdf_contents::field_chunk).
  std::vector<int> band_starts;
};

// The compression level of the files a run writes: the one given, else
// at a restart the one of the files before (as its checkpoint recorded
// it), else default_deflate. A level given at a restart that differs from
// the files' before is taken: the level changes the files' bytes, never
// their values.
int deflate_level(const netcdf_settings& settings, const std::optional<series_record>& restarted);

// Removes, on rank 0, the series' temporary file and its files from
// number `first` on: what an earlier run left there is not this run's.
// Files of other names, or of another number of digits, stay. Throws
// run_failure on every process.
void remove_series_files(const series_names& names, const std::string& path, int first);

// The writer of the series of output `path` from snapshot number `first`
// (0, or the files a restart keeps), which removes the series' files from
// there on (remove_series_files) and writes each later snapshot's file from
// the module's fields. It and the NetCDF libraries are loaded here, from
// the writer module beside the program. Throws run_failure on every process.
std::unique_ptr<snapshot_writer> open_netcdf_series(const std::string& path, const scenario& s,
                                                    const netcdf_settings& settings, int first);
