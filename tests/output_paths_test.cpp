// An output that would write over an input, over the other output or into
// standard output's file is refused, whatever name it is given.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "driver/output_paths.hpp"
#include "support/byte_files.hpp"

namespace {

TEST(OutputPaths, SameFileByInodeWhereItExistsAndByPathWhereNot) {
  scratch_dir dir;
  const std::string a = (dir / "a.toml").string();
  std::ofstream(a) << "x";
  std::filesystem::create_hard_link(a, dir / "hard");
  std::filesystem::create_symlink(a, dir / "soft");
  std::filesystem::create_directory(dir / "sub");
  EXPECT_TRUE(same_file(a, (dir / "hard").string()));
  EXPECT_TRUE(same_file(a, (dir / "soft").string()));
  EXPECT_TRUE(same_file(a, (dir / "sub" / ".." / "a.toml").string()));
  EXPECT_TRUE(same_file((dir / "new.dat").string(), (dir / "sub" / ".." / "." / "new.dat").string()));
  EXPECT_TRUE(same_file((dir / "soft-new").string(), (dir / "soft-new").string()));
  EXPECT_FALSE(same_file(a, (dir / "new.dat").string()));
  EXPECT_FALSE(same_file((dir / "new.dat").string(), (dir / "new.dat.ckpt").string()));
}

TEST(OutputPaths, EachClobberIsNamed) {
  scratch_dir dir;
  const std::string scenario = (dir / "case.toml").string();
  const std::string ckpt = (dir / "run.ckpt").string();
  std::ofstream(scenario) << "[grid]\n";
  std::ofstream(ckpt) << "PLUMECKP";
  const std::string dat = (dir / "run.dat").string();
  const int console = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const auto check = [&](const run_files& f) { return clobbered_file(f, console); };

  EXPECT_EQ(check({scenario, "", dat, dat + ".ckpt"}), "");
  EXPECT_EQ(check({"", ckpt, dat, ckpt}), "");  // new checkpoints over the one being restarted
  EXPECT_EQ(check({scenario, "", scenario, dat + ".ckpt"}),
            "the snapshot file " + scenario + " is the scenario file; give --output another path");
  EXPECT_EQ(check({scenario, "", dat, scenario}),
            "the checkpoint " + scenario + " is the scenario file; give --checkpoint another path");
  EXPECT_EQ(check({"", "", dat, dat}), "the checkpoint " + dat + " is the snapshot file; give --checkpoint another path");
  EXPECT_EQ(check({"", ckpt, ckpt, dat + ".ckpt"}),
            "the snapshot file " + ckpt + " is the checkpoint being restarted; give --output another path");
  // Inputs in the place of the checkpoint's temporary file.
  const std::string held = (dir / "held").string();
  std::ofstream(held + ".tmp") << "kept";
  EXPECT_EQ(check({held + ".tmp", "", dat, held}),
            "the checkpoint's temporary file " + held + ".tmp is the scenario file; give --checkpoint another path");
  EXPECT_EQ(check({"", held + ".tmp", dat, held}), "the checkpoint's temporary file " + held +
                                                       ".tmp is the checkpoint being restarted; give --checkpoint "
                                                       "another path");
  ::close(console);

  // Standard output appended to either output.
  std::ofstream(dat) << "records";
  const int appended = ::open(dat.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  EXPECT_EQ(clobbered_file({"", "", dat, dat + ".ckpt"}, appended),
            "cannot open " + dat + ": standard output goes to the same file");
  EXPECT_EQ(clobbered_file({"", "", (dir / "other.dat").string(), dat}, appended),
            "cannot open " + dat + ": standard output goes to the same file");
  ::close(appended);
}

}  // namespace
