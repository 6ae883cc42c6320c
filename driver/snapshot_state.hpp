#pragma once
// What the snapshot file holds after a pass, as its writer keeps it without
// reading a byte back: enough to check the file at a restart by reading its
// length and its last snapshot only, or every byte where that is asked for.
#include <cstdint>

#include "driver/byte_digest.hpp"

struct snapshot_file_state {
  byte_digest whole;            // every byte of the file
  std::uint64_t snapshots = 0;  // the whole snapshots it holds
  byte_digest last;             // the last of them; {0, 0} when it holds none
  bool operator==(const snapshot_file_state&) const = default;
};
