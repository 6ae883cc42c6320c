// The CRC-32 of the snapshot file's bytes: zlib's value, taken in pieces,
// and the CRC of a whole put together from the CRCs of its parts.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <zlib.h>

#include "driver/byte_digest.hpp"
#include "timestep/row_team.hpp"

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

// ISA-L forms the CRC with the vector units, in blocks: every length up to
// a few blocks, at every alignment of its start, and continued from any
// CRC, gives zlib's value.
TEST(ByteDigest, IsZlibsCrcAtEveryLengthAlignmentAndStart) {
  std::mt19937 random(7);
  std::vector<unsigned char> bytes(1200 + 64);
  for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
  for (std::size_t offset = 0; offset < 64; offset += 3) {
    for (std::size_t size = 0; size <= 1200; size += offset % 2 == 0 ? 1 : 37) {
      const unsigned char* data = bytes.data() + offset;
      const auto start = static_cast<std::uint32_t>(random());
      EXPECT_EQ(crc_continued(0, data, size), crc32_z(0, data, size)) << "offset " << offset << ", size " << size;
      EXPECT_EQ(crc_continued(start, data, size), crc32_z(start, data, size))
          << "offset " << offset << ", size " << size;
    }
  }
  std::vector<unsigned char> large(3u << 20);
  for (unsigned char& b : large) b = static_cast<unsigned char>(random());
  EXPECT_EQ(crc_continued(0, large.data(), large.size()), crc32_z(0, large.data(), large.size()));
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

// A file's bytes cut into pieces at random, the pieces dealt out at random
// to writers (each gets them in increasing offsets), each writer's share
// taken by a team of 1 to 4 threads: the shares xor-ed give the CRC of the
// whole file taken in one piece, whatever the cuts, the dealing and the
// threads. Files from empty to a few megabytes, so that the largest are cut
// into several parts for the threads, within and across pieces.
TEST(ByteDigest, SharesOfRandomPiecesTakenByTeamsGiveTheWholeCrc) {
  std::mt19937_64 g(20261209);
  std::vector<std::unique_ptr<step_team>> teams;
  for (int threads = 1; threads <= 4; ++threads) teams.push_back(std::make_unique<step_team>(threads));
  for (int n = 0; n < 60; ++n) {
    const std::size_t size = n < 3 ? static_cast<std::size_t>(n)
                                   : std::uniform_int_distribution<std::size_t>(0, 3u << 20)(g);
    std::vector<unsigned char> file(size);
    for (unsigned char& b : file) b = static_cast<unsigned char>(g());
    const std::uint32_t whole = static_cast<std::uint32_t>(crc32_z(0, file.data(), file.size()));
    const int writers = std::uniform_int_distribution<int>(1, 3)(g);
    const std::size_t longest = std::uniform_int_distribution<std::size_t>(1, size / 2 + 2)(g);
    std::vector<std::vector<shared_file::piece>> dealt(static_cast<std::size_t>(writers));
    for (std::size_t at = 0; at < size;) {
      const std::size_t length = std::min(size - at, std::uniform_int_distribution<std::size_t>(0, longest)(g));
      dealt[std::uniform_int_distribution<std::size_t>(0, dealt.size() - 1)(g)].push_back(
          {at, file.data() + at, length});
      at += length;
    }
    for (const auto& team : teams) {
      std::uint32_t crc = 0;
      for (const auto& pieces : dealt) crc ^= crc_share(pieces, size, *team);
      ASSERT_EQ(crc, whole) << "file " << n << " of " << size << " bytes, " << writers << " writers, " << team->size()
                            << " threads";
    }
  }
}

}  // namespace
