// The framed records of the snapshot file, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <span>
#include <vector>

#include <zlib.h>

#include "driver/record.hpp"
#include "support/byte_files.hpp"

namespace {

struct file_closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

// Writes one record of the pieces to a temporary file and returns its bytes,
// checking that the digest the writer keeps is that of those bytes.
byte_vector framed(std::span<const byte_piece> pieces, std::int64_t limit = max_subrecord_bytes) {
  file_handle f(std::tmpfile());
  EXPECT_NE(f, nullptr);
  byte_digest digest;
  write_record(f.get(), "temporary file", pieces, &digest, limit);
  const byte_vector bytes = read_stream(f.get());
  EXPECT_EQ(digest.length, bytes.size());
  EXPECT_EQ(digest.crc, crc32_z(0, bytes.data(), bytes.size()));
  return bytes;
}

byte_vector distinct_bytes(std::size_t n) {
  byte_vector data(n);
  for (std::size_t k = 0; k < n; ++k) data[k] = static_cast<unsigned char>(k * 37 + 11);
  return data;
}

TEST(Record, ThousandValuesAreFramedByTheirByteCount) {
  std::vector<float> values(1000);
  for (std::size_t k = 0; k < values.size(); ++k) values[k] = static_cast<float>(k) * 0.25f - 17.0f;
  const byte_piece piece{values.data(), values.size() * sizeof(float)};
  const byte_vector bytes = framed({&piece, 1});

  ASSERT_EQ(bytes.size(), 4008u);
  const byte_vector marker{0xA0, 0x0F, 0x00, 0x00};
  EXPECT_EQ(byte_vector(bytes.begin(), bytes.begin() + 4), marker);
  EXPECT_EQ(byte_vector(bytes.end() - 4, bytes.end()), marker);
  EXPECT_EQ(std::memcmp(bytes.data() + 4, values.data(), 4000), 0);
  // Little-endian floats as held: -17.0 is C1880000.
  EXPECT_EQ(byte_vector(bytes.begin() + 4, bytes.begin() + 8), (byte_vector{0x00, 0x00, 0x88, 0xC1}));
}

TEST(Record, EmptyRecordIsTwoZeroMarkers) {
  const byte_piece empty_piece{nullptr, 0};
  EXPECT_EQ(framed({}), byte_vector(8, 0));
  EXPECT_EQ(framed({&empty_piece, 1}), byte_vector(8, 0));
}

TEST(Record, SnapshotSizedRecordOfRowPiecesIsOneRecord) {
  // 401 rows of 401 values, each row a separate piece.
  std::vector<float> rows(401 * 401);
  for (std::size_t k = 0; k < rows.size(); ++k) rows[k] = static_cast<float>(k);
  std::vector<byte_piece> pieces;
  for (std::size_t j = 0; j < 401; ++j) pieces.push_back({rows.data() + j * 401, 401 * sizeof(float)});
  const byte_vector bytes = framed(pieces);

  ASSERT_EQ(bytes.size(), 643212u);
  const byte_vector marker{0x84, 0xD0, 0x09, 0x00};
  EXPECT_EQ(byte_vector(bytes.begin(), bytes.begin() + 4), marker);
  EXPECT_EQ(byte_vector(bytes.end() - 4, bytes.end()), marker);
  EXPECT_EQ(std::memcmp(bytes.data() + 4, rows.data(), 643204), 0);
}

// A record larger than the sub-record limit: the data in order, cut after
// every `limit` bytes, each piece framed by the signed markers given (leading,
// trailing) per sub-record.
struct split_case {
  std::size_t data_bytes;
  std::int64_t limit;
  std::vector<std::int32_t> markers;
  friend void PrintTo(const split_case& c, std::ostream* os) {
    *os << c.data_bytes << "_bytes_limit_" << c.limit;
  }
};

class RecordSplit : public testing::TestWithParam<split_case> {};

TEST_P(RecordSplit, SubRecordsCarryTheLinkInTheirMarkerSigns) {
  const split_case& c = GetParam();
  const byte_vector data = distinct_bytes(c.data_bytes);
  // Uneven pieces, one of them empty, so that sub-records cut through pieces.
  std::vector<byte_piece> pieces;
  for (std::size_t offset = 0, k = 0; offset < data.size(); ++k) {
    const std::size_t sizes[] = {7, 0, 1, 12};
    const std::size_t n = std::min(sizes[k % 4], data.size() - offset);
    pieces.push_back({data.data() + offset, n});
    offset += n;
  }

  byte_vector expected;
  std::size_t offset = 0;
  for (std::size_t s = 0; s < c.markers.size(); s += 2) {
    const auto length = static_cast<std::size_t>(c.markers[s] < 0 ? -c.markers[s] : c.markers[s]);
    const byte_vector lead = marker_bytes(c.markers[s]), trail = marker_bytes(c.markers[s + 1]);
    expected.insert(expected.end(), lead.begin(), lead.end());
    expected.insert(expected.end(), data.begin() + static_cast<std::ptrdiff_t>(offset),
                    data.begin() + static_cast<std::ptrdiff_t>(offset + length));
    expected.insert(expected.end(), trail.begin(), trail.end());
    offset += length;
  }
  ASSERT_EQ(offset, c.data_bytes);
  EXPECT_EQ(framed(pieces, c.limit), expected);
}

INSTANTIATE_TEST_SUITE_P(SmallLimit, RecordSplit,
                         testing::Values(split_case{25, 10, {-10, 10, -10, -10, 5, -5}},
                                         split_case{10, 10, {10, 10}},
                                         split_case{11, 10, {-10, 10, 1, -1}},
                                         split_case{20, 10, {-10, 10, 10, -10}},
                                         split_case{9, 10, {9, 9}},
                                         split_case{3, 1, {-1, 1, -1, -1, 1, -1}}));

TEST(Record, NegativeMarkerIsTwosComplementLittleEndian) {
  const byte_vector data = distinct_bytes(11);
  const byte_piece piece{data.data(), data.size()};
  const byte_vector bytes = framed({&piece, 1}, 10);
  EXPECT_EQ(byte_vector(bytes.begin(), bytes.begin() + 4), (byte_vector{0xF6, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(byte_vector(bytes.end() - 4, bytes.end()), (byte_vector{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(Record, RefusedWriteNamesTheFileAndTheReason) {
  file_handle f(std::fopen("/dev/full", "wb"));
  if (f == nullptr) GTEST_SKIP() << "no /dev/full";
  std::setvbuf(f.get(), nullptr, _IONBF, 0);
  const byte_vector data = distinct_bytes(100);
  const byte_piece piece{data.data(), data.size()};
  const std::string message = failure_message([&] { write_record(f.get(), "/dev/full", {&piece, 1}); });
  EXPECT_NE(message.find("/dev/full"), std::string::npos) << message;
  EXPECT_NE(message.find(std::strerror(ENOSPC)), std::string::npos) << message;
}

}  // namespace
