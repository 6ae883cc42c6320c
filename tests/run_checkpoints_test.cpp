// What a run makes of its checkpoints: the command that goes on with a
// stopped run, a checkpoint whose header and scenario disagree, and the
// check of the snapshot file at a restart, which reads its last snapshot
// only unless every byte is asked for.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "driver/run_checkpoints.hpp"
#include "support/byte_files.hpp"

namespace {

TEST(RunCheckpoints, GoOnCommandKeepsTheFilesWhereTheyWere) {
  const std::string out = "./test_withPollutant.dat";
  checkpoint_settings c;
  EXPECT_EQ(go_on_command(c, out, out), "plume --restart ./test_withPollutant.dat.ckpt");
  EXPECT_EQ(go_on_command(c, "runs/a.dat", out), "plume --restart runs/a.dat.ckpt --output runs/a.dat");
  c.path = "my run's.ckpt";
  c.every_s = 3600;
  EXPECT_EQ(go_on_command(c, out, out),
            "plume --restart 'my run'\\''s.ckpt' --checkpoint 'my run'\\''s.ckpt' --checkpoint-every 3600");
}

TEST(RunCheckpoints, FieldsAreThoseOfEachPollutant) {
  scenario s;
  EXPECT_EQ(checkpoint_fields(s), (std::vector<std::string>{"u", "v", "h", "q", "dqdt"}));
  s.species = {{"so2", 0, 3600.0f}, {"pm10", 0, 3600.0f}};
  EXPECT_EQ(checkpoint_fields(s),
            (std::vector<std::string>{"u", "v", "h", "q_so2", "dqdt_so2", "q_pm10", "dqdt_pm10"}));
}

TEST(RunCheckpoints, HeaderThatDisagreesWithItsScenarioIsRefused) {
  scratch_dir dir;
  const std::string path = (dir / "run.ckpt").string();
  std::vector<std::vector<float>> arrays(5, std::vector<float>(16, 0.0f));
  std::vector<float*> fields;
  for (auto& a : arrays) fields.push_back(a.data());
  const auto refusal = [&](const checkpoint_header& h) {
    write_checkpoint(path, h, {fields.data(), 5, {1, 4, 1, 4, 1, 4, 1, 4}, {1, 4, 1, 4}, {}});
    try {
      read_restart_point(path);
    } catch (const checkpoint_error& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  scenario s;
  s.nx = 4;
  s.ny = 5;
  s.duration_s = 100;
  s.sources = {{1000.0f, 1000.0f, 2000.0f, 1.0f}};
  const auto header = [&](int pass, const std::vector<std::string>& names, const checkpoint_output& o) {
    return checkpoint_header{checkpoint_format, "plume", scenario_toml(s), pass, 4, 4, names, o, {}};
  };
  const std::vector<std::string> names = checkpoint_fields(s);
  const checkpoint_output snapshots = snapshot_output({});
  EXPECT_EQ(refusal(header(3, names, snapshots)),
            path + ": damaged checkpoint: its fields are of 4 x 4 points, its scenario's grid of 4 x 5");
  s.ny = 4;
  EXPECT_EQ(refusal(header(101, names, snapshots)),
            path + ": damaged checkpoint: pass 101 is not one of its scenario's passes 0 to 100");
  EXPECT_EQ(refusal(header(100, {"u", "v", "h", "q", "qdt"}, snapshots)),
            path +
                ": damaged checkpoint: it holds the fields u, v, h, q, qdt, its scenario's run the fields u, v, "
                "h, q, dqdt");
  EXPECT_EQ(
      refusal(header(100, names, {1, "abc"})),
      path +
          ": its output is of kind 1 (3 bytes), neither the snapshot file nor the NetCDF files that this program writes");
  EXPECT_EQ(refusal(header(100, names, snapshots)), "");
}

// The bytes this process has read so far, from the system's count.
std::uint64_t bytes_read() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return 0;
}

// A snapshot file of `count` snapshots of `size` bytes, and a restart point
// whose checkpoint recorded it as it stood after the snapshot `recorded`.
struct snapshot_files {
  static constexpr std::uint64_t size = 300000;
  scratch_dir dir;
  std::string path = (dir / "run.dat").string();
  byte_vector bytes;
  restart_point from;
  snapshot_files(int count, int recorded) {
    for (std::uint64_t k = 0; k < size * static_cast<std::uint64_t>(count); ++k) {
      bytes.push_back(static_cast<unsigned char>(k * 2654435761u >> 13));
    }
    save();
    from.path = "run.ckpt";
    byte_digest whole, last;
    whole.add(bytes.data(), size * static_cast<std::uint64_t>(recorded));
    last.add(bytes.data() + size * static_cast<std::uint64_t>(recorded - 1), size);
    from.snapshots = {whole, static_cast<std::uint64_t>(recorded), last};
  }
  void save() {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  // The message of the check's refusal ("" for none) and the bytes it read.
  std::pair<std::string, std::uint64_t> check(output_check how) {
    const std::uint64_t before = bytes_read();
    std::string message;
    try {
      check_snapshot_file(path, from, how, size);
    } catch (const checkpoint_error& e) {
      message = e.what();
    }
    return {message, bytes_read() - before};
  }
};

TEST(RunCheckpoints, RestartReadsTheLastSnapshotOnlyUnlessEveryByteIsAskedFor) {
  // 40 snapshots, 30 of them recorded: the file goes on past them, as after
  // a run killed after its checkpoint.
  snapshot_files f(40, 30);
  constexpr std::uint64_t size = snapshot_files::size;
  const auto [fine, read_last] = f.check(output_check::last);
  EXPECT_EQ(fine, "");
  EXPECT_GE(read_last, size);
  EXPECT_LT(read_last, size + 4096) << "the check of the last snapshot read more than that snapshot";
  const auto [also_fine, read_full] = f.check(output_check::full);
  EXPECT_EQ(also_fine, "");
  EXPECT_GE(read_full, 30 * size);

  // A byte changed in the last recorded snapshot: found by both.
  f.bytes[29 * size + 5] ^= 0x10;
  f.save();
  const std::string last_message = f.path + ": the last snapshot of the snapshot file (bytes " +
                                   std::to_string(29 * size) + " to " + std::to_string(30 * size - 1) +
                                   ") is not the one that run.ckpt recorded (CRC-32 ";
  EXPECT_EQ(f.check(output_check::last).first.rfind(last_message, 0), 0u) << f.check(output_check::last).first;
  EXPECT_EQ(f.check(output_check::full)
                .first.rfind(f.path + ": the first " + std::to_string(30 * size) +
                                 " bytes of the snapshot file are not those that run.ckpt "
                                 "recorded (CRC-32 ",
                             0),
            0u);
  // One in an earlier snapshot: found by the full check only; one after the
  // recorded length by neither, since the restart cuts it off.
  f.bytes[29 * size + 5] ^= 0x10;
  f.bytes[3 * size] ^= 1;
  f.bytes[35 * size] ^= 1;
  f.save();
  EXPECT_EQ(f.check(output_check::last).first, "");
  EXPECT_NE(f.check(output_check::full).first, "");
  // A file shorter than the recorded length.
  f.bytes.resize(30 * size - 1);
  f.save();
  EXPECT_EQ(f.check(output_check::last).first, f.path + ": the snapshot file holds " + std::to_string(30 * size - 1) +
                                                   " bytes, fewer than the " + std::to_string(30 * size) +
                                                   " that run.ckpt recorded");
}

TEST(RunCheckpoints, Format1ChecksEveryByteAndLearnsTheLastSnapshot) {
  snapshot_files f(12, 10);
  const snapshot_file_state full_state = f.from.snapshots;
  f.from.contents.header.format = 1;
  f.from.snapshots = {full_state.whole, 0, {}};
  const auto [message, read] = f.check(output_check::last);
  EXPECT_EQ(message, "");
  EXPECT_GE(read, 10 * snapshot_files::size);
  EXPECT_EQ(f.from.snapshots, full_state);
}

}  // namespace

namespace {

// What rank 0 hands the other processes of the restart point it checked
// comes back whole, for both formats.
TEST(RunCheckpoints, RestartPointTravelsAsTextWhole) {
  scenario s;
  s.nx = 4;
  s.ny = 5;
  s.sources = {{1000.0f, 1000.0f, 2000.0f, 1.0f}};
  for (const std::uint32_t format : {1u, 2u}) {
    restart_point r;
    r.path = "runs/a b.ckpt";
    r.scenario = s;
    checkpoint_header& h = r.contents.header;
    h = {format, "plume 1.0", scenario_toml(s), 33, 4, 5, checkpoint_fields(s), snapshot_output({{10, 3}, 0, {}}), {}};
    if (format == 2) {
      for (std::uint32_t k = 0; k < 25; ++k) h.row_crcs.push_back(0x01020304u * k);
    }
    r.contents.fields_offset = 4567;
    for (std::size_t k = 0; k < r.contents.digest.size(); ++k) r.contents.digest[k] = static_cast<unsigned char>(k * 7);
    r.snapshots = {{10, 3}, 1, {10, 0xCAFEu}};
    const restart_point back = restart_from_text(restart_text(r));
    EXPECT_EQ(back.path, r.path);
    EXPECT_EQ(back.contents.header, h) << "format " << format;
    EXPECT_EQ(back.contents.digest, r.contents.digest);
    EXPECT_EQ(back.contents.fields_offset, 4567u);
    EXPECT_EQ(back.snapshots, r.snapshots);
    EXPECT_EQ(back.scenario, s);
  }
}

}  // namespace
