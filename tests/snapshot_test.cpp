// The snapshot file: seven records per snapshot, in their order, each the
// interior of its field; truncation of an old file; failures.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>

#include <sys/stat.h>
#include <zlib.h>

#include "support/reference_case.hpp"
#include "decomposition/process_group.hpp"
#include "driver/snapshot.hpp"
#include "grid/domain.hpp"
#include "support/byte_files.hpp"
#include "support/module_arrays.hpp"

namespace {

constexpr std::size_t record_bytes = 643212;
constexpr std::size_t snapshot_bytes = 7 * record_bytes;

// A value that names the field (its place among the module's arrays), the
// point and a generation; every one is an exact float.
float code(std::size_t field, int i, int j, int generation) {
  using namespace domain;
  return static_cast<float>(field * 200000u + static_cast<std::size_t>(at(i, j, ims, ime, jms)) +
                            static_cast<std::size_t>(generation) * 3000000u);
}

void plant_codes(int generation) {
  using namespace domain;
  const auto arrays = module_arrays();
  for (std::size_t f = 0; f < 15; ++f) {
    for (int j = jms; j <= jme; ++j) {
      for (int i = ims; i <= ime; ++i) arrays[f].data[at(i, j, ims, ime, jms)] = code(f, i, j, generation);
    }
  }
}

// Checks the snapshot that starts at `offset` against the planted codes.
void expect_snapshot(const byte_vector& bytes, std::size_t offset, int generation) {
  using namespace domain;
  // Record order q, dqdt, h, us, vs, div, vort, by place among the arrays.
  const std::size_t order[7] = {5, 8, 4, 2, 3, 13, 14};
  const char* names[7] = {"q", "dqdt", "h", "us", "vs", "div", "vort"};
  for (std::size_t r = 0; r < 7; ++r) {
    const std::size_t start = offset + r * record_bytes;
    EXPECT_EQ(marker_at(bytes, start), 643204) << names[r];
    EXPECT_EQ(marker_at(bytes, start + record_bytes - 4), 643204) << names[r];
    int mismatches = 0;
    for (int j = jds; j <= jde; ++j) {
      for (int i = ids; i <= ide; ++i) {
        float value;
        const auto k = static_cast<std::size_t>((i - ids) + (j - jds) * 401);
        std::memcpy(&value, bytes.data() + start + 4 + 4 * k, 4);
        mismatches += value != code(order[r], i, j, generation);
      }
    }
    EXPECT_EQ(mismatches, 0) << "record " << names[r] << " of generation " << generation;
  }
}

TEST(SnapshotFile, SevenInteriorRecordsPerSnapshotInTheirOrder) {
  domain::gridpara(reference::nx, reference::ny);
  scratch_dir dir;
  const auto path = dir / "snapshots.dat";
  {
    // An older, longer file in the way: the new file holds only new records.
    std::ofstream(path, std::ios::binary) << std::string(3 * snapshot_bytes + 5, '\xEE');
    snapshot_file file(path.string());
    plant_codes(0);
    file.write();
    plant_codes(1);
    file.write();
    file.close();
  }
  const byte_vector bytes = read_file(path);
  ASSERT_EQ(bytes.size(), 2 * snapshot_bytes);
  expect_snapshot(bytes, 0, 0);
  expect_snapshot(bytes, snapshot_bytes, 1);
}

TEST(SnapshotFile, WrittenSnapshotsReachTheFileBeforeClosing) {
  domain::gridpara(reference::nx, reference::ny);
  scratch_dir dir;
  const auto path = dir / "snapshots.dat";
  snapshot_file file(path.string());
  plant_codes(2);
  file.write();
  const byte_vector bytes = read_file(path);
  ASSERT_EQ(bytes.size(), snapshot_bytes);
  expect_snapshot(bytes, 0, 2);
}

// The file as a fresh writer makes it from snapshots of the given generations.
byte_vector fresh_file(const std::filesystem::path& path, std::initializer_list<int> generations) {
  snapshot_file file(path.string());
  for (int g : generations) {
    plant_codes(g);
    file.write();
  }
  file.close();
  return read_file(path);
}

// The writer's digest is that of the bytes on the disk, and its last
// snapshot's that of the file's last whole snapshot.
void expect_digest_of_file(const snapshot_file& file, std::uint64_t snapshots) {
  const byte_vector bytes = read_file(file.path());
  EXPECT_EQ(file.digest().length, bytes.size());
  EXPECT_EQ(file.digest().crc, crc32_z(0, bytes.data(), bytes.size()));
  const std::uint64_t one = ::snapshot_bytes(domain::ide, domain::jde);
  EXPECT_EQ(bytes.size(), snapshots * one);
  const snapshot_file_state& s = file.state();
  EXPECT_EQ(s.snapshots, snapshots);
  EXPECT_EQ(s.last.length, one);
  EXPECT_EQ(s.last.crc, crc32_z(0, bytes.data() + bytes.size() - one, one));
}

TEST(SnapshotFile, KeepsTheDigestOfItsBytesAndGoesOnAfterAKeptPrefix) {
  domain::gridpara(6, 5);
  scratch_dir dir;
  const auto path = dir / "snapshots.dat";
  snapshot_file_state after_first;
  {
    snapshot_file file(path.string());
    EXPECT_EQ(file.state(), snapshot_file_state{});
    plant_codes(0);
    file.write();
    after_first = file.state();
    plant_codes(1);
    file.write();
    file.sync();
    expect_digest_of_file(file, 2);
    file.close();
  }
  // A run stopped while writing a third snapshot, gone on with after the
  // first: the second and the part of the third are dropped.
  std::ofstream(path, std::ios::binary | std::ios::app) << std::string(100, '\x5A');
  {
    snapshot_file file(path.string(), after_first);
    EXPECT_EQ(file.state(), after_first);
    plant_codes(2);
    file.write();
    file.close();
    expect_digest_of_file(file, 2);
  }
  EXPECT_EQ(read_file(path), fresh_file(dir / "fresh.dat", {0, 2}));
}

// A new run's file holds only its own bytes, whatever stood at its path:
// an earlier file of one name is replaced by a new one with its
// permissions, one with a second name is cut where it stands (both names
// then show the new bytes), and a symbolic link is written through.
TEST(SnapshotFile, AnEarlierFileGivesWayToTheNewBytesAndKeepsItsPermissions) {
  namespace fs = std::filesystem;
  domain::gridpara(6, 5);
  scratch_dir dir;
  const byte_vector fresh = fresh_file(dir / "fresh.dat", {0, 1});
  const auto earlier = [](const fs::path& p) { std::ofstream(p, std::ios::binary) << std::string(300000, 'e'); };
  const auto write_run = [&](const fs::path& p) {
    snapshot_file file(p.string());
    for (int g : {0, 1}) {
      plant_codes(g);
      file.write();
    }
    file.close();
    expect_digest_of_file(file, 2);
  };

  const fs::path plain = dir / "plain.dat";
  earlier(plain);
  fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  std::ifstream reader(plain, std::ios::binary);  // open on the earlier file throughout
  write_run(plain);
  EXPECT_EQ(read_file(plain), fresh);
  EXPECT_EQ(reader.get(), 'e');  // a reader of the earlier file goes on reading it
  EXPECT_EQ(fs::status(plain).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  const fs::path linked = dir / "linked.dat", other_name = dir / "other-name.dat";
  earlier(linked);
  fs::create_hard_link(linked, other_name);
  write_run(linked);
  EXPECT_EQ(read_file(linked), fresh);
  EXPECT_EQ(read_file(other_name), fresh);
  EXPECT_TRUE(fs::equivalent(linked, other_name));

  const fs::path target = dir / "target.dat", link = dir / "link.dat";
  earlier(target);
  fs::create_symlink(target, link);
  write_run(link);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(read_file(target), fresh);

  // A run gone on with from a kept prefix keeps the file it finds.
  const auto inode = [](const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_ino : ino_t{0};
  };
  const ino_t before = inode(plain);
  snapshot_file_state first;
  {
    snapshot_file file(plain.string());
    plant_codes(0);
    file.write();
    first = file.state();
    file.close();
  }
  EXPECT_NE(inode(plain), before);
  const ino_t replaced = inode(plain);
  {
    snapshot_file file(plain.string(), first);
    plant_codes(1);
    file.write();
    file.close();
  }
  EXPECT_EQ(inode(plain), replaced);
  EXPECT_EQ(read_file(plain), fresh);
}

TEST(SnapshotFile, FailuresNameTheFileAndTheReason) {
  domain::gridpara(reference::nx, reference::ny);
  scratch_dir dir;
  const std::string missing_dir = (dir / "no-such-directory").string() + "/snapshots.dat";
  std::string message = failure_message([&] { snapshot_file file(missing_dir); });
  EXPECT_NE(message.find(missing_dir), std::string::npos) << message;
  EXPECT_NE(message.find(std::strerror(ENOENT)), std::string::npos) << message;

  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  message = failure_message([] {
    snapshot_file file("/dev/full");
    file.write();
  });
  EXPECT_NE(message.find("/dev/full"), std::string::npos) << message;
  // MPI-IO tells only that a write to a device failed; a file of its own it
  // can say more of (see shared_file_mpi.cpp).
  if (!processes::with_mpi()) {
    EXPECT_NE(message.find(std::strerror(ENOSPC)), std::string::npos) << message;
  }
}

TEST(SnapshotFile, ExistingReadOnlyFileIsRefusedAndKept) {
  scratch_dir dir;
  const auto path = dir / "snapshots.dat";
  std::ofstream(path) << "earlier records";
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
  const std::string message = failure_message([&] { snapshot_file file(path.string()); });
  EXPECT_NE(message.find(path.string()), std::string::npos) << message;
  EXPECT_EQ(as_text(read_file(path)), "earlier records");
}

}  // namespace
