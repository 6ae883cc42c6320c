// Reading the snapshot file "test_withPollutant.dat" that a run of plume writes.
//
// The file is a plain sequence of framed records: a 4-byte little-endian signed
// length marker N, N data bytes, and the same marker again. Every record holds
// one nx x ny field of little-endian float32 values, i (x) varying fastest,
// so N is 4 nx ny (643204 for the reference grid of 401 x 401). A snapshot
// holds q and dqdt of each species in the order declared, then h, us, vs, div
// and vort: seven records for a run of one species. There is no header and
// no trailer: the grid, the species and the time of each snapshot come from
// the run's scenario (layout.hpp).
//
// Reader walks such a file one record at a time, checks every marker, and
// stops at the first damage with the byte offset and what it expected there.
// It holds one record in memory, whatever the size of the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/snapshot_fields.hpp"

namespace plume::snapshot {

// What a record of a snapshot holds.
using FieldInfo = snapshot_field_info;

// The records each species has, in this order.
inline constexpr const auto& pollutant_fields = species_records;

// The records of the flow, once per snapshot after every species' records.
inline constexpr const auto& flow_fields = flow_records;

// Where the reader takes its bytes from.
class Source {
 public:
  virtual ~Source() = default;
  // Copies up to out.size() bytes into out and returns how many it copied;
  // fewer than asked (possibly none) means the end of the input was reached
  // for this call. Throws std::runtime_error on a read error.
  virtual std::size_t read(std::span<std::byte> out) = 0;
};

// Bytes already in memory. max_chunk limits what one call of read() hands
// out, so that tests and the fuzz target can check the reader copes with
// short reads.
class MemorySource final : public Source {
 public:
  explicit MemorySource(std::span<const std::byte> bytes, std::size_t max_chunk = SIZE_MAX);
  std::size_t read(std::span<std::byte> out) override;

 private:
  std::span<const std::byte> bytes_;
  std::size_t position_ = 0;
  std::size_t max_chunk_;
};

// A file on disk. The constructor throws std::runtime_error with a message
// naming the path when the file cannot be opened or is a directory.
class FileSource final : public Source {
 public:
  explicit FileSource(const std::string& path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  std::size_t read(std::span<std::byte> out) override;

 private:
  std::FILE* file_ = nullptr;
};

// q, dqdt, h, us, vs, div, vort: the records of a snapshot of one species.
std::vector<std::string> one_species_record_names();

enum class Damage {
  none,
  empty,             // no bytes at all
  truncated,         // the file ends inside a record
  other_record_size, // the first record is framed with another size: a file of another grid
  wrong_size,        // a leading marker other than the record size
  marker_mismatch,   // a trailing marker that differs from the leading one
  trailing_bytes,    // a few bytes after the last complete snapshot that cannot start a record
  partial_snapshot,  // the file ends between records, inside a snapshot
  read_error,        // the operating system reported an error
};

std::string_view damage_name(Damage d);

class Reader {
 public:
  enum class Status { record, end, damaged };

  // record_size is the data size of every record in bytes, a positive
  // multiple of 4: 4 nx ny for a snapshot file (Layout::record_bytes()).
  // record_names names the records of one snapshot in order, for messages
  // (Layout::record_names()); by default those of a run of one species.
  Reader(Source& source, std::int32_t record_size, std::vector<std::string> record_names = one_species_record_names());

  // Reads the next record and stores its values in `values`, which must hold
  // exactly values_per_record() floats. Returns Status::end at the end of a
  // file that holds only complete snapshots, Status::damaged at the first
  // damage (then damage(), damage_offset() and message() tell what happened;
  // `values` is unspecified). Once end or damaged is returned, every further
  // call returns the same.
  Status next(std::span<float> values);

  std::size_t values_per_record() const { return static_cast<std::size_t>(record_size_ / 4); }
  std::int64_t records_per_snapshot() const { return static_cast<std::int64_t>(record_names_.size()); }
  // Snapshot and field index (from 0) of the record that next() returned last.
  std::int64_t snapshot() const { return (records_read_ - 1) / records_per_snapshot(); }
  int field() const { return static_cast<int>((records_read_ - 1) % records_per_snapshot()); }
  std::int64_t records_read() const { return records_read_; }
  std::int64_t complete_snapshots() const { return records_read_ / records_per_snapshot(); }
  // Bytes consumed so far: the end of the last good record while reading.
  std::uint64_t offset() const { return offset_; }

  Damage damage() const { return damage_; }
  std::uint64_t damage_offset() const { return damage_offset_; }
  // One line: "at byte N: what was found; expected what belongs there".
  const std::string& message() const { return message_; }
  // With Damage::other_record_size: the size the file's first record has.
  std::int32_t found_record_size() const { return found_record_size_; }

 private:
  Status fail(Damage kind, std::uint64_t at, const std::string& text);
  std::string record_name(std::int64_t record) const;

  Source& source_;
  std::int32_t record_size_;
  std::vector<std::string> record_names_;
  std::vector<std::byte> frame_;
  std::int64_t records_read_ = 0;
  std::uint64_t offset_ = 0;
  Status status_ = Status::record;
  Damage damage_ = Damage::none;
  std::uint64_t damage_offset_ = 0;
  std::string message_;
  std::int32_t found_record_size_ = 0;
};

// Little-endian float32 values to host floats, bit for bit.
void decode_floats(std::span<const std::byte> bytes, std::span<float> values);

}  // namespace plume::snapshot
