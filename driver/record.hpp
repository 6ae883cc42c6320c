#pragma once
// The snapshot file's record framing: a little-endian signed 32-bit length
// marker, the data bytes, and the marker again. A record too large for one
// marker is cut into sub-records of at most 2,147,483,639 bytes whose marker
// signs link them: a leading marker is negative when another sub-record of
// the record follows, a trailing marker negative when one precedes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "driver/byte_digest.hpp"

inline constexpr std::int64_t max_subrecord_bytes = 2147483639;

// One contiguous piece of a record's data; a record is the concatenation of
// its pieces (for a field section, one piece per stored row).
struct byte_piece {
  const void* data;
  std::size_t size;
};

// Appends one framed record holding the pieces' bytes to `file`. `name`
// names the file in the failure message; `digest`, if given, takes every
// byte handed to the file, markers and data; `subrecord_limit` is the
// largest data length of one sub-record. Throws run_failure if a write fails.
void write_record(std::FILE* file, const std::string& name, std::span<const byte_piece> pieces,
                  byte_digest* digest = nullptr, std::int64_t subrecord_limit = max_subrecord_bytes);
