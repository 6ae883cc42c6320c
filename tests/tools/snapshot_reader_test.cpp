// Framing checks of the snapshot reader: whole files read back bit for bit,
// and every kind of damage reported at its byte offset.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "snapshot/layout.hpp"
#include "snapshot/snapshot_file.hpp"

namespace snap = plume::snapshot;
using Bytes = std::vector<std::byte>;

namespace {

void put32(Bytes& out, std::uint32_t v) {
  for (int b = 0; b < 4; ++b) out.push_back(static_cast<std::byte>((v >> (8 * b)) & 0xFFu));
}

// A value that tells snapshot, field and position apart.
std::uint32_t pattern(std::int64_t record, std::size_t k) {
  return std::bit_cast<std::uint32_t>(static_cast<float>(record) * 1000.0f + static_cast<float>(k));
}

void put_record(Bytes& out, std::int32_t size, std::int64_t record) {
  put32(out, static_cast<std::uint32_t>(size));
  for (std::size_t k = 0; k < static_cast<std::size_t>(size) / 4; ++k) put32(out, pattern(record, k));
  put32(out, static_cast<std::uint32_t>(size));
}

Bytes make_file(std::int64_t records, std::int32_t size) {
  Bytes out;
  for (std::int64_t r = 0; r < records; ++r) put_record(out, size, r);
  return out;
}

struct Outcome {
  std::int64_t records = 0;
  snap::Damage damage = snap::Damage::none;
  std::uint64_t offset = 0;
  std::string message;
};

Outcome read_all(const Bytes& bytes, std::int32_t size, std::size_t chunk = SIZE_MAX) {
  snap::MemorySource source(bytes, chunk);
  snap::Reader reader(source, size);
  std::vector<float> values(reader.values_per_record());
  Outcome o;
  while (reader.next(values) == snap::Reader::Status::record) {
    for (std::size_t k = 0; k < values.size(); ++k) {
      if (std::bit_cast<std::uint32_t>(values[k]) != pattern(o.records, k)) {
        ADD_FAILURE() << "record " << o.records << " value " << k << " differs";
        return o;
      }
    }
    ++o.records;
  }
  o.damage = reader.damage();
  o.offset = reader.damage_offset();
  o.message = reader.message();
  return o;
}

const std::int32_t reference_record = snap::reference_layout().record_bytes();
constexpr std::int32_t small = 8;       // two values per record
constexpr std::uint64_t frame = 16;     // small + 8
constexpr std::uint64_t snapshot = 7 * frame;

}  // namespace

TEST(SnapshotReader, ReadsRealSizedSnapshotsBitForBit) {
  // Two snapshots of the real layout, with values whose bits a conversion
  // could change: -0.0, a NaN with a payload, a subnormal, infinity.
  Bytes bytes = make_file(14, reference_record);
  const std::uint32_t special[] = {0x80000000u, 0x7FC00123u, 0x00000001u, 0x7F800000u};
  const std::size_t first_value = 4;  // data of record 0 starts after its marker
  for (std::size_t k = 0; k < 4; ++k) {
    for (int b = 0; b < 4; ++b) bytes[first_value + 4 * k + b] = static_cast<std::byte>((special[k] >> (8 * b)) & 0xFFu);
  }
  ASSERT_EQ(bytes.size(), static_cast<std::size_t>(2 * snap::reference_layout().snapshot_bytes()));

  snap::MemorySource source(bytes, 100003);  // short reads that split markers
  snap::Reader reader(source, reference_record);
  std::vector<float> values(reader.values_per_record());
  ASSERT_EQ(values.size(), 160801u);
  ASSERT_EQ(reader.next(values), snap::Reader::Status::record);
  for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(std::bit_cast<std::uint32_t>(values[k]), special[k]);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(values[160800]), pattern(0, 160800));
  EXPECT_EQ(reader.snapshot(), 0);
  EXPECT_EQ(reader.field(), 0);
  EXPECT_EQ(reader.offset(), 643212u);

  for (int r = 1; r < 14; ++r) {
    ASSERT_EQ(reader.next(values), snap::Reader::Status::record) << reader.message();
    EXPECT_EQ(reader.snapshot(), r / 7);
    EXPECT_EQ(reader.field(), r % 7);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(values[7]), pattern(r, 7));
  }
  EXPECT_EQ(reader.next(values), snap::Reader::Status::end);
  EXPECT_EQ(reader.next(values), snap::Reader::Status::end);
  EXPECT_EQ(reader.complete_snapshots(), 2);
  EXPECT_EQ(reader.offset(), 9004968u);
  EXPECT_EQ(reader.damage(), snap::Damage::none);
}

struct DamageCase {
  const char* what;
  Bytes bytes;
  snap::Damage damage;
  std::uint64_t offset;
  std::int64_t good_records;
  const char* expected_text;  // part of the message that says what belongs there
};

TEST(SnapshotReader, ReportsEachDamageAtItsOffset) {
  auto with = [](std::int64_t records, auto&& tail) {
    Bytes b = make_file(records, small);
    tail(b);
    return b;
  };
  auto append = [](std::initializer_list<unsigned> extra) {
    return [extra](Bytes& b) {
      for (unsigned v : extra) b.push_back(static_cast<std::byte>(v));
    };
  };
  const std::vector<DamageCase> cases = {
      {"empty file", {}, snap::Damage::empty, 0, 0, "the file is empty; expected the leading marker 8 of record q of snapshot 0"},
      {"three bytes", with(0, append({8, 0, 0})), snap::Damage::truncated, 3, 0, "inside the leading marker of record q of snapshot 0 (byte 0) after 3 of its 4 bytes; expected the rest of the marker 8"},
      {"inside a leading marker", with(8, append({8, 0})), snap::Damage::truncated, snapshot + frame + 2, 8,
       "inside the leading marker of record dqdt of snapshot 1 (byte 128) after 2 of its 4 bytes"},
      {"inside the data", with(3, append({8, 0, 0, 0, 1, 2, 3, 4, 5})), snap::Damage::truncated, 3 * frame + 9, 3,
       "inside the data of record us of snapshot 0 (record starts at byte 48) after 5 of its 8 bytes; expected the rest"},
      {"inside a trailing marker", with(1, append({8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 8})), snap::Damage::truncated,
       frame + 13, 1, "inside the trailing marker of record dqdt of snapshot 0 (byte 28) after 1 of its 4 bytes"},
      {"first record of a snapshot cut short", with(7, append({8, 0, 0, 0, 1})), snap::Damage::truncated,
       snapshot + 5, 7, "inside the data of record q of snapshot 1 (record starts at byte 112) after 1 of its 8 bytes"},
      {"marker too small", with(2, append({4, 0, 0, 0})), snap::Damage::wrong_size, 2 * frame, 2,
       "leading marker of record h of snapshot 0 is 4; expected 8"},
      {"negative marker", with(7, [](Bytes& b) {
         put_record(b, small, 7);
         b[snapshot] = std::byte{0xF8};
         for (int k = 1; k < 4; ++k) b[snapshot + k] = std::byte{0xFF};
       }), snap::Damage::wrong_size, snapshot, 7, "is -8 (a split record"},
      {"marker mismatch", with(5, [](Bytes& b) { b[4 * frame + 12] = std::byte{9}; }), snap::Damage::marker_mismatch,
       4 * frame + 12, 4, "trailing marker of record vs of snapshot 0 is 9; expected 8, equal to its leading marker at byte 64"},
      {"a few trailing bytes", with(7, append({1, 2, 3})), snap::Damage::trailing_bytes, snapshot, 7,
       "3 bytes follow the last complete snapshot (snapshot 0) and cannot start a record"},
      {"trailing junk", with(14, append({1, 2, 3, 4, 5, 6})), snap::Damage::trailing_bytes, 2 * snapshot, 14,
       "expected the end of the file or the leading marker 8 of record q of snapshot 2"},
      {"partial last snapshot", with(10, [](Bytes&) {}), snap::Damage::partial_snapshot, snapshot + 3 * frame, 10,
       "ends after record h of snapshot 1, which has only 3 of its 7 records; expected the leading marker 8 of record us of snapshot 1"},
      // The first record framed with another size: the file of another grid.
      {"another record size", make_file(7, 12), snap::Damage::other_record_size, 0, 0,
       "the first record holds 12 bytes, a field of 3 float32 values; expected 8, a field of 2"},
      {"a smaller record size", make_file(14, 4), snap::Damage::other_record_size, 0, 0,
       "the first record holds 4 bytes"},
      {"a smaller first marker without its trailing one", with(0, [](Bytes& b) {
         put_record(b, small, 0);
         b[0] = std::byte{4};
       }), snap::Damage::wrong_size, 0, 0, "leading marker of record q of snapshot 0 is 4; expected 8"},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : {std::size_t{2}, SIZE_MAX}) {
      const Outcome o = read_all(c.bytes, small, chunk);
      if (c.damage == snap::Damage::other_record_size) {
        snap::MemorySource source(c.bytes, chunk);
        snap::Reader reader(source, small);
        std::vector<float> values(2);
        EXPECT_EQ(reader.next(values), snap::Reader::Status::damaged);
        EXPECT_EQ(reader.found_record_size(), static_cast<std::int32_t>(c.bytes[0])) << c.what;
      }
      EXPECT_EQ(snap::damage_name(o.damage), snap::damage_name(c.damage)) << c.what;
      EXPECT_EQ(o.offset, c.offset) << c.what;
      EXPECT_EQ(o.records, c.good_records) << c.what;
      EXPECT_EQ(o.message.rfind("at byte " + std::to_string(c.offset) + ": ", 0), 0u) << c.what << ": " << o.message;
      EXPECT_NE(o.message.find(c.expected_text), std::string::npos) << c.what << ": " << o.message;
    }
  }
}

TEST(SnapshotReader, ChecksTheRealRecordSize) {
  Bytes b;
  put32(b, 643200);  // one value short
  b.resize(643212);
  Outcome o = read_all(b, reference_record);
  EXPECT_EQ(o.damage, snap::Damage::wrong_size);
  EXPECT_NE(o.message.find("is 643200; expected 643204, the size of one field of 160801 float32 values"), std::string::npos)
      << o.message;

  Bytes cut = make_file(1, reference_record);
  cut.resize(1000);
  o = read_all(cut, reference_record);
  EXPECT_EQ(o.damage, snap::Damage::truncated);
  EXPECT_EQ(o.offset, 1000u);
  EXPECT_NE(o.message.find("inside the data of record q of snapshot 0 (record starts at byte 0) after 996 of its 643204 bytes"), std::string::npos) << o.message;
}

TEST(SnapshotReader, ReportsReadErrors) {
  struct Failing final : snap::Source {
    std::size_t calls = 0;
    std::size_t read(std::span<std::byte> out) override {
      if (++calls > 1) throw std::runtime_error("read error: Input/output error");
      out[0] = std::byte{8};
      return 1;
    }
  } source;
  snap::Reader reader(source, small);
  std::vector<float> values(2);
  EXPECT_EQ(reader.next(values), snap::Reader::Status::damaged);
  EXPECT_EQ(reader.damage(), snap::Damage::read_error);
  EXPECT_EQ(reader.message(), "at byte 1: read error: Input/output error");
}

TEST(FileSource, ReadsFromDiskAndNamesThePathOnFailure) {
  const auto dir = std::filesystem::temp_directory_path() / ("snapshot_reader_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto path = (dir / "two.dat").string();
  const Bytes bytes = make_file(14, small);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

  snap::FileSource file(path);
  snap::Reader reader(file, small);
  std::vector<float> values(2);
  int records = 0;
  while (reader.next(values) == snap::Reader::Status::record) ++records;
  EXPECT_EQ(records, 14);
  EXPECT_EQ(reader.damage(), snap::Damage::none);

  try {
    snap::FileSource missing((dir / "missing.dat").string());
    ADD_FAILURE() << "no exception for a missing file";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("missing.dat': No such file or directory"), std::string::npos) << e.what();
  }
  try {
    snap::FileSource directory(dir.string());
    ADD_FAILURE() << "no exception for a directory";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("it is a directory"), std::string::npos) << e.what();
  }
  std::filesystem::remove_all(dir);
}

// A run of two species: nine records a snapshot, named for the species in
// the messages; a file of seven-record snapshots read with this layout ends
// inside its second snapshot.
TEST(SnapshotReader, CountsAndNamesTheRecordsOfEachSpecies) {
  const std::vector<std::string> names{"q_so2", "dqdt_so2", "q_nox", "dqdt_nox", "h", "us", "vs", "div", "vort"};
  const std::int32_t size = 8;
  const std::uint64_t frame = size + 8;
  {
    const Bytes b = make_file(18, size);
    snap::MemorySource source(b);
    snap::Reader reader(source, size, names);
    std::vector<float> values(2);
    std::vector<std::pair<std::int64_t, int>> seen;
    while (reader.next(values) == snap::Reader::Status::record) seen.emplace_back(reader.snapshot(), reader.field());
    ASSERT_EQ(seen.size(), 18u);
    EXPECT_EQ(seen[8], (std::pair<std::int64_t, int>{0, 8}));
    EXPECT_EQ(seen[9], (std::pair<std::int64_t, int>{1, 0}));
    EXPECT_EQ(reader.damage(), snap::Damage::none);
    EXPECT_EQ(reader.complete_snapshots(), 2);
  }
  const Bytes seven_record_snapshots = make_file(14, size);
  snap::MemorySource source(seven_record_snapshots);
  snap::Reader reader(source, size, names);
  std::vector<float> values(2);
  while (reader.next(values) == snap::Reader::Status::record) {
  }
  EXPECT_EQ(reader.damage(), snap::Damage::partial_snapshot);
  EXPECT_EQ(reader.damage_offset(), 14 * frame);
  EXPECT_EQ(reader.complete_snapshots(), 1);
  EXPECT_EQ(reader.message(),
            "at byte 224: the file ends after record h of snapshot 1, which has only 5 of its 9 records; "
            "expected the leading marker 8 of record us of snapshot 1");
  EXPECT_THROW(snap::Reader(source, size, {}), std::invalid_argument);
}
