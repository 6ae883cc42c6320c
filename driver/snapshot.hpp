#pragma once
// The snapshot file: seven framed records per snapshot (q, dqdt, h, us, vs,
// div, vort), each the field's interior section i = ids..ide, j = jds..jde as
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
#include "driver/record.hpp"

class step_team;

class snapshot_file {
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
  // from there, the digest going on from `kept`.
  snapshot_file(std::string path, const byte_digest& kept, std::int64_t subrecord_limit = max_subrecord_bytes);
  snapshot_file(const snapshot_file&) = delete;
  snapshot_file& operator=(const snapshot_file&) = delete;

  // Writes one snapshot of the module's fields and hands it to the system,
  // so that a run stopped later keeps every complete snapshot. The threads
  // of `team` share the snapshot's CRC (the calling thread alone without
  // one).
  void write(step_team* team = nullptr);
  // Hands everything written so far to the system and has it start writing
  // it to the disk, without waiting.
  void start_writeback();
  // Hands everything written so far to the system and waits until it is on
  // the disk.
  void sync();
  // Closes the file; throws run_failure if the last data cannot be written.
  void close();

  const std::string& path() const noexcept { return path_; }
  // The length and CRC-32 of every byte the file holds, those it was
  // continued from included.
  const byte_digest& digest() const noexcept { return digest_; }

 private:
  snapshot_file(std::string path, const byte_digest& kept, std::int64_t subrecord_limit, bool continued);
  std::string path_;
  byte_digest digest_;
  record_framing framing_;
  std::optional<shared_file> file_;
  std::vector<unsigned char> markers_;
  std::vector<data_piece> rows_;
  std::vector<shared_file::piece> pieces_;
};
