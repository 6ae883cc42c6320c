// What a run makes of its checkpoints: the command that goes on with a
// stopped run, and a checkpoint whose header and scenario disagree.
#include <gtest/gtest.h>

#include <string>

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

TEST(RunCheckpoints, HeaderThatDisagreesWithItsScenarioIsRefused) {
  scratch_dir dir;
  const std::string path = (dir / "run.ckpt").string();
  const auto zeros = [](int, int, float* row) { row[0] = row[1] = row[2] = row[3] = 0.0f; };
  const auto refusal = [&](const checkpoint_header& h) {
    write_checkpoint(path, h, zeros);
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
  EXPECT_EQ(refusal({"plume", scenario_toml(s), 3, 4, 4, {}}),
            path + ": damaged checkpoint: its fields are of 4 x 4 points, its scenario's grid of 4 x 5");
  s.ny = 4;
  EXPECT_EQ(refusal({"plume", scenario_toml(s), 101, 4, 4, {}}),
            path + ": damaged checkpoint: pass 101 is not one of its scenario's passes 0 to 100");
  EXPECT_EQ(refusal({"plume", scenario_toml(s), 100, 4, 4, {}}), "");
}

}  // namespace
