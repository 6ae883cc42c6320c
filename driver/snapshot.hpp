#pragma once
// The snapshot file: seven framed records per snapshot (q, dqdt, h, us, vs,
// div, vort), each the field's interior section i = ids..ide, j = jds..jde as
// float32 with i fastest, written straight from the field's rows.
#include <cstdio>
#include <string>
#include <vector>

#include "driver/byte_digest.hpp"
#include "driver/record.hpp"

class snapshot_file {
 public:
  // Creates the file or truncates an existing one, so that it ends up holding
  // only this run's records. An existing file without any write permission
  // is refused (permission denied, whoever runs the program) and left as it
  // is. Throws run_failure.
  explicit snapshot_file(std::string path);
  // Goes on with the file of an interrupted run, which has been checked to
  // begin with the bytes that `kept` describes: cuts it to their length
  // (dropping a snapshot written after them, or a part of one) and appends
  // from there, the digest going on from `kept`. Throws run_failure.
  snapshot_file(std::string path, const byte_digest& kept);
  ~snapshot_file();
  snapshot_file(const snapshot_file&) = delete;
  snapshot_file& operator=(const snapshot_file&) = delete;

  // Writes one snapshot of the module's fields and hands it to the system,
  // so that a run stopped later keeps every complete snapshot.
  void write();
  // Hands everything written so far to the system and waits until it is on
  // the disk. Throws run_failure.
  void sync();
  // Closes the file; throws run_failure if the last data cannot be written.
  void close();

  const std::string& path() const noexcept { return path_; }
  // The length and CRC-32 of every byte written to the file, those it was
  // continued from included.
  const byte_digest& digest() const noexcept { return digest_; }

 private:
  void write_field(const float* field);
  void refuse_read_only() const;
  void obtain_buffers();
  std::string path_;
  std::FILE* file_ = nullptr;
  std::vector<byte_piece> rows_;
  std::vector<char> buffer_;
  byte_digest digest_;
};
