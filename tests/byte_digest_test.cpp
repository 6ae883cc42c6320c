// The CRC-32 of the snapshot file's bytes: zlib's value, taken in pieces,
// and the CRC of a whole put together from the CRCs of its parts.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <zlib.h>

#include "driver/byte_digest.hpp"

namespace {

byte_digest digest_of(const std::string& s) {
  byte_digest d;
  d.add(s.data(), s.size());
  return d;
}

TEST(ByteDigest, IsTheCrc32OfGzipTakenInAnyPieces) {
  // The check value of the CRC-32 of gzip, PNG and zip.
  EXPECT_EQ(digest_of("123456789").crc, 0xCBF43926u);
  EXPECT_EQ(digest_of(""), byte_digest{});
  const std::string text(100000, 'x');
  byte_digest pieces;
  for (std::size_t at = 0, n = 0; at < text.size(); at += n, n = (n * 7 + 3) % 5000) {
    pieces.add(text.data() + at, std::min(n, text.size() - at));
  }
  EXPECT_EQ(pieces, digest_of(text));
  EXPECT_EQ(pieces.length, text.size());
}

TEST(ByteDigest, WholeFollowsFromItsPartsAtEverySplit) {
  std::string text;
  for (int k = 0; k < 3000; ++k) text += static_cast<char>(k * 131 % 251);
  const byte_digest whole = digest_of(text);
  for (const std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{1024}, text.size() - 1,
                                text.size()}) {
    const byte_digest a = digest_of(text.substr(0, cut));
    const byte_digest b = digest_of(text.substr(cut));
    EXPECT_EQ(concatenated(a, b), whole) << "cut at " << cut;
    EXPECT_EQ(crc_shift(a.crc, b.length) ^ b.crc, whole.crc) << "cut at " << cut;
  }
  // Three pieces, as writers that each hold one would combine them: each
  // CRC shifted by the bytes after its piece, then all of them xor-ed.
  const std::size_t p = 1000, q = 2500;
  const byte_digest a = digest_of(text.substr(0, p)), b = digest_of(text.substr(p, q - p)), c = digest_of(text.substr(q));
  EXPECT_EQ(crc_shift(a.crc, b.length + c.length) ^ crc_shift(b.crc, c.length) ^ c.crc, whole.crc);
  EXPECT_EQ(crc_shift(0, 12345), 0u);
}

}  // namespace
