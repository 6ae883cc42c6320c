// The checkpoint file: its bytes, the round trip of its rows, each kind of
// damage refused with its message, a write stopped before its rename, and
// the checkpoints of format 1, which are still read.
#include <gtest/gtest.h>

#include <bit>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <nettle/sha2.h>
#include <zlib.h>

#include "driver/checkpoint.hpp"
#include "support/byte_files.hpp"

namespace {

constexpr int nx = 5;
constexpr int ny = 4;
constexpr int field_count = 5;
// The arrays hold a halo of two points around the interior, as the run's do.
constexpr int halo = 2;
constexpr int width = nx + 2 * halo;
constexpr int height = ny + 2 * halo;

const snapshot_file_state snapshots_after{{123456789012ull, 0xDEADBEEFu}, 7, {4502484, 0x12345678u}};

checkpoint_header small_header() {
  return {checkpoint_format,
          "plume test",
          "[grid]\nnx = 5\nny = 4\n",
          17,
          nx,
          ny,
          {"u", "v", "h", "q", "dqdt"},
          snapshot_output(snapshots_after),
          {}};
}

// A value that names the field, the column and the row.
float code(int field, int i, int j) { return static_cast<float>(field * 1000 + j * 10 + i) + 0.5f; }

// The five fields of a 5 x 4 grid with their halo, held whole by the one
// process of the test.
struct small_fields {
  std::vector<std::vector<float>> arrays;
  std::vector<float*> pointers;
  explicit small_fields(float halo_value) : arrays(field_count, std::vector<float>(width * height, halo_value)) {
    for (auto& a : arrays) pointers.push_back(a.data());
  }
  float& at(int f, int i, int j) { return arrays[static_cast<std::size_t>(f)][(j - 1 + halo) * width + i - 1 + halo]; }
  void fill(float (*value)(int, int, int)) {
    for (int f = 0; f < field_count; ++f)
      for (int j = 1; j <= ny; ++j)
        for (int i = 1; i <= nx; ++i) at(f, i, j) = value(f, i, j);
  }
  field_rows::blocks blocks() const {
    return {pointers.data(), field_count, {1, nx, 1, ny, 1 - halo, nx + halo, 1 - halo, ny + halo}, {1, nx, 1, ny}, {}};
  }
};

small_fields coded_fields() {
  small_fields f(-1.0f);
  f.fill(code);
  return f;
}

void write_bytes(const std::filesystem::path& path, const byte_vector& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The message of the checkpoint_error that reading the checkpoint (its
// header, then its fields) gives, or "".
std::string message_of(const std::filesystem::path& path) {
  try {
    const checkpoint_contents c = read_checkpoint(path.string());
    small_fields into(0.0f);
    read_checkpoint_fields(path.string(), c, into.blocks());
  } catch (const checkpoint_error& e) {
    return e.what();
  }
  return "";
}

std::uint32_t u32_at(const byte_vector& bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(marker_at(bytes, offset));
}
std::uint64_t u64_at(const byte_vector& bytes, std::size_t offset) {
  return u32_at(bytes, offset) | std::uint64_t{u32_at(bytes, offset + 4)} << 32;
}

class Checkpoint : public testing::Test {
 protected:
  void SetUp() override { write_checkpoint(path.string(), small_header(), fields.blocks()); }
  // The message refusing the checkpoint's bytes changed by `change`.
  template <class F>
  std::string refused(F change) {
    byte_vector bytes = read_file(path);
    change(bytes);
    write_bytes(damaged, bytes);
    return message_of(damaged);
  }
  // The length of the header: everything before the fields.
  std::size_t header_bytes() { return read_file(path).size() - field_count * nx * ny * 4; }
  scratch_dir dir;
  std::filesystem::path path = dir / "run.ckpt";
  std::filesystem::path damaged = dir / "damaged.ckpt";
  small_fields fields = coded_fields();
};

TEST_F(Checkpoint, HoldsItsHeaderTheRowsCrcsAndTheRowsInTheGridsOrder) {
  const byte_vector bytes = read_file(path);
  const checkpoint_header h = small_header();
  std::size_t at = 0;
  EXPECT_EQ(as_text(byte_vector(bytes.begin(), bytes.begin() + 8)), "PLUMECKP");
  EXPECT_EQ(u32_at(bytes, 8), 2u);
  EXPECT_EQ(u32_at(bytes, 12), h.program.size());
  at = 16 + h.program.size();
  EXPECT_EQ(u32_at(bytes, at), h.scenario.size());
  at += 4 + h.scenario.size();
  EXPECT_EQ(marker_at(bytes, at), 17);
  EXPECT_EQ(marker_at(bytes, at + 4), nx);
  EXPECT_EQ(marker_at(bytes, at + 8), ny);
  EXPECT_EQ(u32_at(bytes, at + 12), 5u);
  at += 16;
  for (const char* name : {"u", "v", "h", "q", "dqdt"}) {
    ASSERT_EQ(u32_at(bytes, at), std::strlen(name));
    EXPECT_EQ(as_text(byte_vector(bytes.begin() + static_cast<long>(at) + 4,
                                  bytes.begin() + static_cast<long>(at + 4 + std::strlen(name)))),
              name);
    at += 4 + std::strlen(name);
  }
  // The snapshot file: kind 0, 32 bytes.
  EXPECT_EQ(u32_at(bytes, at), 0u);
  EXPECT_EQ(u32_at(bytes, at + 4), 32u);
  EXPECT_EQ(u64_at(bytes, at + 8), 123456789012ull);
  EXPECT_EQ(u32_at(bytes, at + 16), 0xDEADBEEFu);
  EXPECT_EQ(u64_at(bytes, at + 20), 7u);
  EXPECT_EQ(u64_at(bytes, at + 28), 4502484u);
  EXPECT_EQ(u32_at(bytes, at + 36), 0x12345678u);
  at += 40;
  // Each row's CRC-32, as zlib gives it for the row's bytes.
  for (int f = 0; f < field_count; ++f) {
    for (int j = 1; j <= ny; ++j) {
      float row[nx];
      for (int i = 1; i <= nx; ++i) row[i - 1] = code(f, i, j);
      EXPECT_EQ(u32_at(bytes, at), crc32_z(0, reinterpret_cast<const Bytef*>(row), sizeof row)) << f << " " << j;
      at += 4;
    }
  }
  // The SHA-256 of the header before it.
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, at, bytes.data());
  unsigned char digest[32];
  sha256_digest(&ctx, sizeof digest, digest);
  EXPECT_EQ(std::memcmp(digest, bytes.data() + at, 32), 0);
  at += 32;
  ASSERT_EQ(bytes.size(), at + field_count * nx * ny * 4);
  float value;
  std::memcpy(&value, bytes.data() + at + 4 * ((3 * ny + 1) * nx + 2), 4);  // q, j = 2, i = 3
  EXPECT_EQ(value, code(3, 3, 2));

  const checkpoint_contents c = read_checkpoint(path.string());
  EXPECT_EQ(c.fields_offset, at);
  EXPECT_EQ(std::memcmp(c.digest.data(), digest, 32), 0);
  checkpoint_header expected = h;
  expected.row_crcs = c.header.row_crcs;
  EXPECT_EQ(c.header, expected);
  ASSERT_EQ(c.header.row_crcs.size(), std::size_t{field_count * ny});
  EXPECT_EQ(c.header.row_crcs[0], u32_at(bytes, at - 32 - 4 * field_count * ny));
  EXPECT_EQ(checkpoint_header_bytes(c.header), std::string(bytes.begin(), bytes.begin() + static_cast<long>(at)));
  EXPECT_EQ(checkpoint_header_of(checkpoint_header_bytes(c.header), "x"), c.header);

  // The rows come back in place, and the halo is left as it was.
  small_fields back(-7.0f);
  read_checkpoint_fields(path.string(), c, back.blocks());
  small_fields expected_fields(-7.0f);
  expected_fields.fill(code);
  EXPECT_EQ(back.arrays, expected_fields.arrays);
}

TEST_F(Checkpoint, SnapshotFileStateRoundTripsAndOtherOutputsAreNotTakenForIt) {
  EXPECT_EQ(snapshot_state_of(snapshot_output(snapshots_after)), snapshots_after);
  EXPECT_EQ(snapshot_state_of(snapshot_output({})), snapshot_file_state{});
  checkpoint_output other = snapshot_output(snapshots_after);
  other.kind = 1;
  EXPECT_FALSE(snapshot_state_of(other));
  other = snapshot_output(snapshots_after);
  other.bytes.pop_back();
  EXPECT_FALSE(snapshot_state_of(other));
  other = snapshot_output(snapshots_after);
  other.bytes.push_back('\0');
  EXPECT_FALSE(snapshot_state_of(other));
  // An output of another kind is kept as it is, whatever its bytes.
  checkpoint_header h = small_header();
  h.output = {1, std::string("\0\1\2 NetCDF", 10)};
  write_checkpoint(path.string(), h, fields.blocks());
  EXPECT_EQ(read_checkpoint(path.string()).header.output, h.output);
}

TEST_F(Checkpoint, DamageOfEachKindIsRefusedWithItsMessage) {
  const std::string at = damaged.string() + ": ";
  const std::size_t size = read_file(path).size();
  const std::size_t header = header_bytes();
  EXPECT_EQ(refused([](byte_vector& b) { b.clear(); }), at + "not a plume checkpoint: the file is empty");
  EXPECT_EQ(refused([](byte_vector& b) { b[3] = 'X'; }), at + "not a plume checkpoint: it does not begin with PLUMECKP");
  EXPECT_EQ(refused([](byte_vector& b) { b[8] = 3; }),
            at + "checkpoint format version 3; this program reads versions 1 and 2");
  EXPECT_EQ(refused([](byte_vector& b) { b[8] = 0; }),
            at + "checkpoint format version 0; this program reads versions 1 and 2");
  for (const std::size_t keep : {std::size_t{5}, std::size_t{11}, std::size_t{20}, std::size_t{60}, header - 1}) {
    EXPECT_EQ(refused([&](byte_vector& b) { b.resize(keep); }),
              at + "truncated checkpoint: its " + std::to_string(keep) + " bytes end inside its header");
  }
  for (const std::size_t keep : {header, header + 1, size - 1}) {
    EXPECT_EQ(refused([&](byte_vector& b) { b.resize(keep); }), at + "truncated checkpoint: " + std::to_string(keep) +
                                                                    " of the " + std::to_string(size) +
                                                                    " bytes its header announces");
  }
  EXPECT_EQ(refused([](byte_vector& b) { b.push_back(0); }),
            at + "damaged checkpoint: 1 bytes more than the " + std::to_string(size) + " its header announces");
  EXPECT_EQ(refused([&](byte_vector& b) { b[header - 1] ^= 1; }),
            at + "damaged checkpoint: the SHA-256 digest of its header does not match it");
  EXPECT_EQ(message_of(dir / "missing.ckpt"),
            (dir / "missing.ckpt").string() + ": cannot read the checkpoint: No such file or directory");
  EXPECT_EQ(message_of(dir / "."), (dir / ".").string() + ": cannot read the checkpoint: Is a directory");
}

TEST_F(Checkpoint, AnyFlippedBitIsRefusedAndADamagedRowNamed) {
  const std::size_t size = read_file(path).size();
  const std::size_t header = header_bytes();
  for (std::size_t at = 0; at < size; ++at) {
    const int bit = static_cast<int>(at % 8);
    const std::string message = refused([&](byte_vector& b) { b[at] ^= static_cast<unsigned char>(1u << bit); });
    if (at < header) {
      EXPECT_NE(message, "") << "byte " << at << " bit " << bit;
      continue;
    }
    const std::size_t point = (at - header) / 4;
    const int f = static_cast<int>(point / (nx * ny));
    const int j = static_cast<int>(point % (nx * ny) / nx) + 1;
    EXPECT_EQ(message, damaged.string() + ": damaged checkpoint: row " + std::to_string(j) + " of its field " +
                           small_header().fields[static_cast<std::size_t>(f)] + " does not match its CRC-32")
        << "byte " << at;
  }
}

TEST_F(Checkpoint, WriteStoppedBeforeItsRenameLeavesTheEarlierOne) {
  const byte_vector earlier = read_file(path);
  checkpoint_header later = small_header();
  later.pass = 18;
  small_fields other(0.0f);
  other.fill([](int f, int i, int j) { return -code(f, i, j); });
  EXPECT_EXIT(write_checkpoint(path.string(), later, other.blocks(), {1, true}), testing::KilledBySignal(SIGKILL), "");
  EXPECT_EQ(read_file(path), earlier);
  EXPECT_EQ(read_checkpoint(path.string()).header.pass, 17);
  // The temporary file left behind is whole, yet never taken for the
  // checkpoint; the next write replaces it.
  const std::filesystem::path temporary = checkpoint_temporary(path.string());
  EXPECT_EQ(read_checkpoint(temporary.string()).header.pass, 18);
  write_checkpoint(path.string(), later, other.blocks());
  EXPECT_EQ(read_checkpoint(path.string()).header.pass, 18);
  EXPECT_FALSE(std::filesystem::exists(temporary));
}

TEST_F(Checkpoint, FailedWriteLeavesNoTemporaryFileAndTheEarlierCheckpoint) {
  const std::string missing = (dir / "no-such-directory" / "run.ckpt").string();
  const std::string message = failure_message([&] { write_checkpoint(missing, small_header(), fields.blocks()); });
  EXPECT_EQ(message, "cannot create " + missing + ".tmp: No such file or directory");
  // A rename that cannot be made (a directory in the checkpoint's place).
  const auto blocked = dir / "blocked.ckpt";
  std::filesystem::create_directories(blocked / "inside");
  const std::string refused =
      failure_message([&] { write_checkpoint(blocked.string(), small_header(), fields.blocks()); });
  EXPECT_EQ(refused.rfind("cannot rename " + blocked.string() + ".tmp to " + blocked.string() + ": ", 0), 0u)
      << refused;
  EXPECT_FALSE(std::filesystem::exists(blocked.string() + ".tmp"));
  EXPECT_TRUE(std::filesystem::is_directory(blocked / "inside"));
}

// A checkpoint of format 1, as the program wrote them before: the snapshot
// file's length and CRC-32 after the grid, the five fields, and the SHA-256
// of every byte before it at the end.
byte_vector format1_checkpoint(const checkpoint_header& h, const snapshot_file_state& s) {
  byte_vector b(checkpoint_magic, checkpoint_magic + 8);
  const auto u32 = [&](std::uint32_t v) {
    const byte_vector m = marker_bytes(static_cast<std::int32_t>(v));
    b.insert(b.end(), m.begin(), m.end());
  };
  const auto text = [&](const std::string& t) {
    u32(static_cast<std::uint32_t>(t.size()));
    b.insert(b.end(), t.begin(), t.end());
  };
  u32(1);
  text(h.program);
  text(h.scenario);
  u32(static_cast<std::uint32_t>(h.pass));
  u32(nx);
  u32(ny);
  u32(static_cast<std::uint32_t>(s.whole.length));
  u32(static_cast<std::uint32_t>(s.whole.length >> 32));
  u32(s.whole.crc);
  for (int f = 0; f < field_count; ++f)
    for (int j = 1; j <= ny; ++j)
      for (int i = 1; i <= nx; ++i) {
        const float v = code(f, i, j);
        unsigned char le[4];
        std::memcpy(le, &v, 4);
        b.insert(b.end(), le, le + 4);
      }
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, b.size(), b.data());
  unsigned char digest[32];
  sha256_digest(&ctx, sizeof digest, digest);
  b.insert(b.end(), digest, digest + 32);
  return b;
}

TEST_F(Checkpoint, Format1IsStillReadWithItsRowsAndTheSnapshotFilesWholeCrc) {
  const checkpoint_header h = small_header();
  const snapshot_file_state whole_only{snapshots_after.whole, 0, {}};
  const byte_vector old = format1_checkpoint(h, whole_only);
  write_bytes(damaged, old);
  small_fields back(-1.0f);
  const checkpoint_contents c = read_checkpoint(damaged.string(), [&](int f, int j, const float* row) {
    for (int i = 1; i <= nx; ++i) back.at(f, i, j) = row[i - 1];
  });
  checkpoint_header expected = h;
  expected.format = 1;
  expected.output = snapshot_output(whole_only);
  EXPECT_EQ(c.header, expected);
  EXPECT_EQ(c.fields_offset, old.size() - 32 - field_count * nx * ny * 4);
  EXPECT_EQ(std::memcmp(c.digest.data(), old.data() + old.size() - 32, 32), 0);
  EXPECT_EQ(back.arrays, coded_fields().arrays);
  // Its digest still covers every byte.
  byte_vector flipped = old;
  flipped[old.size() - 40] ^= 4;
  write_bytes(damaged, flipped);
  EXPECT_EQ(message_of(damaged),
            damaged.string() + ": damaged checkpoint: its SHA-256 digest does not match its contents");
}

// The values whose bits a copy must keep: both zeros, both infinities, a
// quiet and a signalling NaN with payloads, the least and the greatest
// subnormal, and ordinary values.
const std::uint32_t special_bits[] = {0x00000000u, 0x80000000u, 0x7F800000u, 0xFF800000u, 0x7FC12345u,
                                      0x7F800001u, 0xFFA00001u, 0x00000001u, 0x007FFFFFu, 0x3F800000u};

float special(int f, int i, int j) {
  const std::size_t k = static_cast<std::size_t>(f * 7 + j * 3 + i) % std::size(special_bits);
  return std::bit_cast<float>(special_bits[k]);
}

// A block of the 5 x 4 grid of the test: columns i0..i1, rows j0..j1.
field_rows::blocks part_of(const small_fields& fields, int i0, int i1, int j0, int j1) {
  field_rows::blocks b = fields.blocks();
  b.patch = {i0, i1, j0, j1};
  return b;
}

TEST(CheckpointBand, RowsThatSpanTheGridGoAsOnePieceOfTheirExactBitsAndPartsOfRowsOneARow) {
  small_fields fields(-1.0f);
  fields.fill(special);
  const std::uint64_t fields_offset = 1000;
  const auto bits_of = [](const float* values, std::size_t n) {
    std::vector<std::uint32_t> bits(n);
    std::memcpy(bits.data(), values, n * sizeof(float));
    return bits;
  };
  // The expected bits of columns i0..i1 of rows j0..j1 of field f, one row
  // after another.
  const auto expected = [&](int f, int i0, int i1, int j0, int j1) {
    std::vector<std::uint32_t> bits;
    for (int j = j0; j <= j1; ++j)
      for (int i = i0; i <= i1; ++i) bits.push_back(std::bit_cast<std::uint32_t>(fields.at(f, i, j)));
    return bits;
  };

  // Every row whole (one process, or a split in y): one piece per field.
  for (const auto& [j0, j1] : {std::pair{1, ny}, std::pair{2, 3}}) {
    const field_rows::blocks b = part_of(fields, 1, nx, j0, j1);
    const std::size_t points = static_cast<std::size_t>(nx * (j1 - j0 + 1));
    EXPECT_EQ(checkpoint_band_bytes(b.patch), points * 4);
    std::vector<float> band(points);
    for (int f = 0; f < field_count; ++f) {
      std::vector<shared_file::piece> pieces;
      band_pieces(b, f, band.data(), fields_offset, pieces);
      ASSERT_EQ(pieces.size(), 1u) << "rows " << j0 << " to " << j1;
      EXPECT_EQ(pieces[0].offset, fields_offset + 4u * static_cast<std::uint64_t>((f * ny + j0 - 1) * nx));
      EXPECT_EQ(pieces[0].data, band.data());
      EXPECT_EQ(pieces[0].size, points * 4);
      EXPECT_EQ(bits_of(band.data(), points), expected(f, 1, nx, j0, j1)) << "field " << f;
    }
  }

  // Columns 3..5 of rows 2..4 (a split in x): a piece a row, each in its
  // place in the file, one after another in the band.
  const field_rows::blocks b = part_of(fields, 3, nx, 2, ny);
  EXPECT_EQ(checkpoint_band_bytes(b.patch), 3u * 3u * 4u);
  std::vector<float> band(9);
  std::vector<shared_file::piece> pieces;
  band_pieces(b, 4, band.data(), fields_offset, pieces);
  ASSERT_EQ(pieces.size(), 3u);
  for (int j = 2; j <= ny; ++j) {
    const shared_file::piece& p = pieces[static_cast<std::size_t>(j - 2)];
    EXPECT_EQ(p.offset, fields_offset + 4u * static_cast<std::uint64_t>((4 * ny + j - 1) * nx + 2)) << j;
    EXPECT_EQ(p.data, band.data() + 3 * (j - 2));
    EXPECT_EQ(p.size, 12u);
  }
  EXPECT_EQ(bits_of(band.data(), 9), expected(4, 3, nx, 2, ny));
}

TEST_F(Checkpoint, HoldsTheExactBitsOfEveryValue) {
  small_fields odd(-1.0f);
  odd.fill(special);
  write_checkpoint(path.string(), small_header(), odd.blocks());
  const byte_vector bytes = read_file(path);
  const std::size_t first = bytes.size() - field_count * nx * ny * 4;
  for (int f = 0; f < field_count; ++f) {
    for (int j = 1; j <= ny; ++j) {
      for (int i = 1; i <= nx; ++i) {
        std::uint32_t stored = 0;
        std::memcpy(&stored, bytes.data() + first + 4 * static_cast<std::size_t>((f * ny + j - 1) * nx + i - 1), 4);
        EXPECT_EQ(stored, std::bit_cast<std::uint32_t>(odd.at(f, i, j))) << f << " " << i << " " << j;
      }
    }
  }
  // And reads them back, each row checked against the CRC of those bits.
  small_fields back(0.0f);
  read_checkpoint_fields(path.string(), read_checkpoint(path.string()), back.blocks());
  for (int f = 0; f < field_count; ++f)
    for (int j = 1; j <= ny; ++j)
      for (int i = 1; i <= nx; ++i)
        EXPECT_EQ(std::bit_cast<std::uint32_t>(back.at(f, i, j)), std::bit_cast<std::uint32_t>(odd.at(f, i, j)));
}

}  // namespace
