#pragma once
// The CRC-32 of a stream of bytes and the stream's length, as the snapshot
// writer keeps them for every byte it hands to its file.
//
// The CRC is the CRC-32 of gzip, PNG and zip, formed by ISA-L (Debian's
// libisal-dev) with the vector units, four times as fast as zlib's here, and
// shifted and combined by zlib's functions. It is chosen for its linearity,
// not for its strength: the CRC of two pieces laid end to end
// follows from the CRCs of the pieces and the length of the second,
// crc(A B) = shift(crc(A), |B|) xor crc(B). So writers that each hold some
// pieces of a file, and none of them the bytes in file order, can still give
// the file's CRC: each shifts the CRCs of its pieces by the bytes that follow
// them, and the shifted values are combined with xor.
#include <cstddef>
#include <cstdint>
#include <span>

#include "decomposition/shared_file.hpp"

class step_team;

// The CRC-32 of the bytes that precede `data` (whose CRC is `crc`) followed
// by the `size` bytes at `data`.
std::uint32_t crc_continued(std::uint32_t crc, const void* data, std::size_t size) noexcept;

struct byte_digest {
  std::uint64_t length = 0;
  std::uint32_t crc = 0;  // the CRC-32 of no bytes is 0

  // Takes the next `size` bytes of the stream.
  void add(const void* data, std::size_t size) noexcept;

  bool operator==(const byte_digest&) const = default;
};

// The CRC of a piece followed by `following` further bytes, as its share of
// the CRC of the whole: crc(A B) = crc_shift(crc(A), |B|) ^ crc(B).
std::uint32_t crc_shift(std::uint32_t crc, std::uint64_t following) noexcept;

// crc_shift by one number of following bytes, worked out once: for many
// pieces that are each followed by as many bytes (a block's part of each row).
class crc_shifter {
 public:
  explicit crc_shifter(std::uint64_t following) noexcept;
  std::uint32_t operator()(std::uint32_t crc) const noexcept;

 private:
  std::uint32_t operator_;
};

// The digest of A followed by B, from the digests of A and of B.
byte_digest concatenated(const byte_digest& a, const byte_digest& b) noexcept;

// One writer's share of the CRC of a file of `end` bytes: the xor of the
// CRCs of its pieces (in increasing offsets, none beyond `end`), each
// shifted by the bytes that follow it; the shares of all writers combine by
// xor into the file's CRC. The bytes are cut into about equal parts, whose
// CRCs the threads of `team` compute at once: a run of bytes cut in two
// shares out as its two halves, crc(A B) shifted by F being crc(A) shifted
// by |B| + F xor crc(B) shifted by F.
std::uint32_t crc_share(std::span<const shared_file::piece> pieces, std::uint64_t end, step_team& team);
