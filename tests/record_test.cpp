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

#include "driver/record.hpp"
#include "support/byte_files.hpp"

namespace {

// One piece of a record's data as the caller holds it.
struct byte_piece {
  const void* data;
  std::size_t size;
};

// The bytes of one record of the pieces (laid end to end), as the framing
// places them from offset 0: every byte placed exactly once, in increasing
// offsets.
byte_vector framed(std::span<const byte_piece> pieces, std::int64_t limit = max_subrecord_bytes) {
  std::vector<data_piece> data;
  std::int64_t n = 0;
  for (const byte_piece& p : pieces) {
    data.push_back({n, p.data, p.size});
    n += static_cast<std::int64_t>(p.size);
  }
  const record_framing framing(n, limit);
  std::vector<unsigned char> markers(static_cast<std::size_t>(8 * framing.subrecords()));
  std::vector<shared_file::piece> placed;
  framing.place(0, data, markers.data(), placed);
  byte_vector bytes;
  for (const shared_file::piece& p : placed) {
    EXPECT_EQ(p.offset, bytes.size()) << "the pieces must follow one another";
    const auto* b = static_cast<const unsigned char*>(p.data);
    bytes.insert(bytes.end(), b, b + p.size);
  }
  EXPECT_EQ(static_cast<std::int64_t>(bytes.size()), framing.framed_bytes());
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

// A process's share of a record: pieces at their offsets in the data, with
// gaps for the others' pieces, placed without the markers.
TEST(Record, PiecesOfOneProcessTakeTheirPlacesAroundTheOthers) {
  const byte_vector data = distinct_bytes(25);
  const record_framing framing(25, 10);
  const data_piece mine[] = {{3, data.data() + 3, 4}, {9, data.data() + 9, 5}, {24, data.data() + 24, 1}};
  std::vector<shared_file::piece> placed;
  framing.place(1000, mine, nullptr, placed);
  // Sub-records at 1000 (data 0..9), 1018 (10..19), 1036 (20..24).
  const std::vector<std::pair<std::uint64_t, std::size_t>> want = {
      {1007, 4}, {1013, 1}, {1022, 4}, {1044, 1}};
  ASSERT_EQ(placed.size(), want.size());
  for (std::size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(placed[k].offset, want[k].first) << k;
    EXPECT_EQ(placed[k].size, want[k].second) << k;
  }
  EXPECT_EQ(placed[2].data, data.data() + 10);
}

}  // namespace
