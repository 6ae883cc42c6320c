#pragma once
// The snapshot file: framed records per snapshot, q and dqdt of each
// species in the order declared, then h, us, vs, div and vort (seven with
// one species), each the field's interior section i = ids..ide, j = jds..jde as
// float32 with i fastest, written straight from the field's rows.
//
// Every process of a run writes the rows of its own patch of each record at
// their place in the file, and rank 0 the markers, all together. The file
// holds whole snapshots only: a snapshot that cannot be written completely
// is cut off again.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "decomposition/shared_file.hpp"
#include "driver/byte_digest.hpp"
#include "driver/checkpoint.hpp"
#include "driver/snapshot_state.hpp"
#include "driver/record.hpp"

// The bytes of one snapshot of an nx x ny grid with `species` species, its
// records cut into sub-records of at most `subrecord_limit` data bytes.
std::uint64_t snapshot_bytes(std::int64_t nx, std::int64_t ny, int species = 1,
                             std::int64_t subrecord_limit = max_subrecord_bytes);

// The module's fields that a snapshot holds, in the order of its records.
std::vector<const float*> snapshot_arrays();

// Where a run's snapshots go: the binary snapshot file, or a series of
// NetCDF files (netcdf_series.hpp). Every method is called by every process
// of the run together and throws run_failure on every process.
class step_team;

class snapshot_writer {
 public:
  virtual ~snapshot_writer() = default;
  // Writes one snapshot of the module's fields, so that a run stopped later
  // keeps every complete snapshot. The threads of `team` may share the work
  // (the calling thread alone without one).
  virtual void write(step_team* team = nullptr) = 0;
  // Has the system start writing what is written to the disk, without
  // waiting.
  virtual void start_writeback() = 0;
  // Waits until everything written is on the disk.
  virtual void sync() = 0;
  // Finishes the output; throws if the last data cannot be written.
  virtual void close() = 0;
  // What a checkpoint records of the snapshots written so far: the kind of
  // output and its description (checkpoint.hpp).
  virtual checkpoint_output record() = 0;
  // The snapshots written so far, those it was continued from included.
  virtual std::uint64_t snapshots() const noexcept = 0;
};

class snapshot_file final : public snapshot_writer {
 public:
  // Creates the file or empties an existing one, so that it ends up holding
  // only this run's records. An existing file without any write permission
  // is refused (permission denied, whoever runs the program) and left as it
  // is. `subrecord_limit` is the largest data length of a sub-record. Throws
  // run_failure (every process, see processes::together).
  explicit snapshot_file(std::string path, std::int64_t subrecord_limit = max_subrecord_bytes);
  // Goes on with the file of an interrupted run, which has been checked to
  // begin with the bytes that `kept` describes: cuts it to their length
  // (dropping a snapshot written after them, or a part of one) and appends
  // from there, the state going on from `kept`.
  snapshot_file(std::string path, const snapshot_file_state& kept, std::int64_t subrecord_limit = max_subrecord_bytes);
  snapshot_file(const snapshot_file&) = delete;
  snapshot_file& operator=(const snapshot_file&) = delete;

  // Writes one snapshot and hands it to the system. The threads of `team`
  // share the snapshot's CRC (the calling thread alone without one).
  void write(step_team* team = nullptr) override;
  // Hands everything written so far to the system and has it start writing
  // it to the disk, without waiting.
  void start_writeback() override;
  // Hands everything written so far to the system and waits until it is on
  // the disk.
  void sync() override;
  // Closes the file.
  void close() override;
  checkpoint_output record() override { return snapshot_output(state_); }

  const std::string& path() const noexcept { return path_; }
  // The length and CRC-32 of every byte the file holds, those it was
  // continued from included.
  const byte_digest& digest() const noexcept { return state_.whole; }
  // The snapshots the file holds, those it was continued from included.
  std::uint64_t snapshots() const noexcept override;
  // The same, with the whole snapshots it holds and the last of them.
  const snapshot_file_state& state() const noexcept { return state_; }

 private:
  snapshot_file(std::string path, const snapshot_file_state& kept, std::int64_t subrecord_limit, bool continued);
  std::string path_;
  snapshot_file_state state_;
  record_framing framing_;
  std::optional<shared_file> file_;
  std::vector<unsigned char> markers_;
  std::vector<data_piece> rows_;
  std::vector<shared_file::piece> pieces_;
  long long writes_ = 0;  // the snapshots this object has written
};
