#pragma once
// The snapshot file's record framing: a little-endian signed 32-bit length
// marker, the data bytes, and the marker again. A record too large for one
// marker is cut into sub-records of at most 2,147,483,639 bytes whose marker
// signs link them: a leading marker is negative when another sub-record of
// the record follows, a trailing marker negative when one precedes.
//
// The framing is given as the place of every byte in the file, so that the
// processes of a run can each write their own bytes of a record at their
// offsets: the markers (one process writes them) and the pieces of data
// that each holds.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "decomposition/shared_file.hpp"

inline constexpr std::int64_t max_subrecord_bytes = 2147483639;

// Bytes of a record's data at their offset from its first data byte.
struct data_piece {
  std::int64_t offset;
  const void* data;
  std::size_t size;
};

class record_framing {
 public:
  // A record of data_bytes bytes, cut into sub-records of at most `limit`.
  explicit record_framing(std::int64_t data_bytes, std::int64_t limit = max_subrecord_bytes) noexcept;

  std::int64_t data_bytes() const noexcept { return data_bytes_; }
  std::int64_t subrecords() const noexcept { return subrecords_; }
  // The record's bytes in the file: its data and two markers per sub-record.
  std::int64_t framed_bytes() const noexcept { return data_bytes_ + 8 * subrecords_; }

  // Appends to `out`, in increasing offsets, the pieces of the record laid
  // out from file offset `start`: its markers, when `markers` is given (room
  // for their bytes, 8 per sub-record, which must outlive `out` and not
  // move), and the data pieces (in increasing offsets), each cut where its
  // sub-record ends.
  void place(std::uint64_t start, std::span<const data_piece> data, unsigned char* markers,
             std::vector<shared_file::piece>& out) const;

 private:
  std::int64_t data_bytes_, limit_, subrecords_;
};
