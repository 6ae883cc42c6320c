// The checkpoint file: its bytes, the round trip of its rows, each kind of
// damage refused with its message, and a write stopped before its rename.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/checkpoint.hpp"
#include "support/byte_files.hpp"

namespace {

constexpr int nx = 5;
constexpr int ny = 4;

checkpoint_header small_header() {
  return {"plume test", "[grid]\nnx = 5\nny = 4\n", 17, nx, ny, {123456789012ull, 0xDEADBEEFu}};
}

// A value that names the field, the column and the row.
float code(int field, int i, int j) { return static_cast<float>(field * 1000 + j * 10 + i) + 0.5f; }

void code_rows(int field, int j, float* row) {
  for (int i = 1; i <= nx; ++i) row[i - 1] = code(field, i, j);
}

std::string message_of(const std::filesystem::path& path) {
  try {
    read_checkpoint(path.string());
  } catch (const checkpoint_error& e) {
    return e.what();
  }
  return "";
}

void write_bytes(const std::filesystem::path& path, const byte_vector& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<std::streamsize>(bytes.size()));
}

class Checkpoint : public testing::Test {
 protected:
  void SetUp() override { write_checkpoint(path.string(), small_header(), code_rows); }
  // The message refusing the checkpoint's bytes changed by `change`.
  template <class F>
  std::string refused(F change) {
    byte_vector bytes = read_file(path);
    change(bytes);
    write_bytes(damaged, bytes);
    return message_of(damaged);
  }
  scratch_dir dir;
  std::filesystem::path path = dir / "run.ckpt";
  std::filesystem::path damaged = dir / "damaged.ckpt";
};

TEST_F(Checkpoint, HoldsItsHeaderAndTheRowsInTheGridsOrder) {
  const byte_vector bytes = read_file(path);
  const checkpoint_header h = small_header();
  const std::size_t header = 8 + 4 + 4 + h.program.size() + 4 + h.scenario.size() + 4 + 4 + 4 + 8 + 4;
  ASSERT_EQ(bytes.size(), header + 5 * nx * ny * 4 + 32);
  EXPECT_EQ(as_text(byte_vector(bytes.begin(), bytes.begin() + 8)), "PLUMECKP");
  EXPECT_EQ(marker_at(bytes, 8), 1);
  EXPECT_EQ(marker_at(bytes, 12), static_cast<std::int32_t>(h.program.size()));
  EXPECT_EQ(marker_at(bytes, header - 24), 17);
  EXPECT_EQ(marker_at(bytes, header - 20), nx);
  EXPECT_EQ(marker_at(bytes, header - 16), ny);
  EXPECT_EQ(marker_at(bytes, header - 4), static_cast<std::int32_t>(0xDEADBEEFu));
  float value;
  std::memcpy(&value, bytes.data() + header + 4 * ((3 * ny + 1) * nx + 2), 4);  // q, j = 2, i = 3
  EXPECT_EQ(value, code(3, 3, 2));

  std::vector<std::vector<float>> rows(5 * ny);
  const checkpoint_contents c = read_checkpoint(path.string(), [&](int f, int j, const float* row) {
    rows[static_cast<std::size_t>(f * ny + j - 1)].assign(row, row + nx);
  });
  EXPECT_EQ(c.header, h);
  EXPECT_EQ(std::memcmp(c.digest.data(), bytes.data() + bytes.size() - 32, 32), 0);
  for (int f = 0; f < 5; ++f) {
    for (int j = 1; j <= ny; ++j) {
      std::vector<float> expected(nx);
      code_rows(f, j, expected.data());
      EXPECT_EQ(rows[static_cast<std::size_t>(f * ny + j - 1)], expected) << checkpoint_field_names[f] << " row " << j;
    }
  }
}

TEST_F(Checkpoint, DamageOfEachKindIsRefusedWithItsMessage) {
  const std::string at = damaged.string() + ": ";
  const std::size_t size = read_file(path).size();
  EXPECT_EQ(refused([](byte_vector& b) { b.clear(); }), at + "not a plume checkpoint: the file is empty");
  EXPECT_EQ(refused([](byte_vector& b) { b[3] = 'X'; }), at + "not a plume checkpoint: it does not begin with PLUMECKP");
  EXPECT_EQ(refused([](byte_vector& b) { b[8] = 2; }), at + "checkpoint format version 2; this program reads version 1");
  for (const std::size_t keep : {std::size_t{5}, std::size_t{11}, std::size_t{20}, std::size_t{60}}) {
    EXPECT_EQ(refused([&](byte_vector& b) { b.resize(keep); }),
              at + "truncated checkpoint: its " + std::to_string(keep) + " bytes end inside its header");
  }
  for (const std::size_t keep : {std::size_t{100}, size - 32, size - 1}) {
    EXPECT_EQ(refused([&](byte_vector& b) { b.resize(keep); }), at + "truncated checkpoint: " + std::to_string(keep) +
                                                                    " of the " + std::to_string(size) +
                                                                    " bytes its header announces");
  }
  EXPECT_EQ(refused([](byte_vector& b) { b.push_back(0); }),
            at + "damaged checkpoint: 1 bytes more than the " + std::to_string(size) + " its header announces");
  EXPECT_EQ(message_of(dir / "missing.ckpt"),
            (dir / "missing.ckpt").string() + ": cannot read the checkpoint: No such file or directory");
  EXPECT_EQ(message_of(dir / "."), (dir / ".").string() + ": cannot read the checkpoint: Is a directory");
}

TEST_F(Checkpoint, AnyFlippedBitIsRefused) {
  const checkpoint_header h = small_header();
  // The bytes whose value the layout itself depends on: the magic, the
  // version, the two text lengths and nx and ny; they are refused by those
  // checks, every other byte by the digest.
  const std::size_t program_length = 12, scenario_length = 16 + h.program.size();
  const std::size_t grid = scenario_length + 4 + h.scenario.size() + 4;
  const std::size_t size = read_file(path).size();
  int by_digest = 0;
  for (std::size_t at = 0; at < size; ++at) {
    const int bit = static_cast<int>(at % 8);
    const std::string message = refused([&](byte_vector& b) { b[at] ^= static_cast<unsigned char>(1u << bit); });
    EXPECT_NE(message, "") << "byte " << at << " bit " << bit;
    const bool structural = at < 12 || (at >= program_length && at < program_length + 4) ||
                            (at >= scenario_length && at < scenario_length + 4) || (at >= grid && at < grid + 8);
    if (!structural) {
      EXPECT_EQ(message, damaged.string() + ": damaged checkpoint: its SHA-256 digest does not match its contents")
          << "byte " << at;
      ++by_digest;
    }
  }
  EXPECT_GT(by_digest, 400);
}

TEST_F(Checkpoint, WriteStoppedBeforeItsRenameLeavesTheEarlierOne) {
  const byte_vector earlier = read_file(path);
  checkpoint_header later = small_header();
  later.pass = 18;
  const auto other_rows = [](int f, int j, float* row) {
    for (int i = 0; i < nx; ++i) row[i] = -code(f, i, j);
  };
  EXPECT_EXIT(write_checkpoint(path.string(), later, other_rows, true), testing::KilledBySignal(SIGKILL), "");
  EXPECT_EQ(read_file(path), earlier);
  EXPECT_EQ(read_checkpoint(path.string()).header.pass, 17);
  // The temporary file left behind is whole, yet never taken for the
  // checkpoint; the next write replaces it.
  const std::filesystem::path temporary = checkpoint_temporary(path.string());
  EXPECT_EQ(read_checkpoint(temporary.string()).header.pass, 18);
  write_checkpoint(path.string(), later, other_rows);
  EXPECT_EQ(read_checkpoint(path.string()).header, later);
  EXPECT_FALSE(std::filesystem::exists(temporary));
}

TEST_F(Checkpoint, FailedWriteLeavesNoTemporaryFileAndTheEarlierCheckpoint) {
  const std::string missing = (dir / "no-such-directory" / "run.ckpt").string();
  const std::string message = failure_message([&] { write_checkpoint(missing, small_header(), code_rows); });
  EXPECT_EQ(message, "cannot create " + missing + ".tmp: No such file or directory");
  // A rename that cannot be made (a directory in the checkpoint's place).
  const auto blocked = dir / "blocked.ckpt";
  std::filesystem::create_directories(blocked / "inside");
  const std::string refused = failure_message([&] { write_checkpoint(blocked.string(), small_header(), code_rows); });
  EXPECT_EQ(refused.rfind("cannot rename " + blocked.string() + ".tmp to " + blocked.string() + ": ", 0), 0u)
      << refused;
  EXPECT_FALSE(std::filesystem::exists(blocked.string() + ".tmp"));
  EXPECT_TRUE(std::filesystem::is_directory(blocked / "inside"));
}

}  // namespace
