// The memory a run may still have where control groups limit it: the group
// with the least room along the process's path, in cgroup v1 and v2, on a
// made-up tree of control files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "driver/run.hpp"

namespace {

namespace fs = std::filesystem;

class control_groups : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "plume_cgroup_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }
  void group(const std::string& dir, const std::string& limit_file, const std::string& limit,
             const std::string& usage_file, const std::string& usage) {
    fs::create_directories(root_ + dir);
    std::ofstream(root_ + dir + "/" + limit_file) << limit << "\n";
    std::ofstream(root_ + dir + "/" + usage_file) << usage << "\n";
  }
  std::string root_;
};

TEST_F(control_groups, V1TakesTheGroupWithTheLeastRoomAlongThePath) {
  const char* limit = "memory.limit_in_bytes";
  const char* usage = "memory.usage_in_bytes";
  group("/memory", limit, "9223372036854771712", usage, "5000000000");  // no limit at the top
  group("/memory/job", limit, "1000000", usage, "400000");
  group("/memory/job/step", limit, "900000", usage, "100000");
  const std::string self = "4:memory:/job/step\n0::/\n2:cpuacct,cpu:/\n";
  const memory_room r = control_group_room(self, root_);
  EXPECT_EQ(r.bytes, 600000u);  // the job's 1000000 less 400000, below the step's 800000
  EXPECT_EQ(r.control_group, root_ + "/memory/job");
  EXPECT_EQ(r.limit, 1000000u);
  EXPECT_EQ(r.usage, 400000u);
}

TEST_F(control_groups, V2ReadsMemoryMaxAndSkipsMax) {
  group("/a", "memory.max", "max", "memory.current", "10");
  group("/a/b", "memory.max", "2048", "memory.current", "1024");
  const memory_room r = control_group_room("0::/a/b\n", root_);
  EXPECT_EQ(r.bytes, 1024u);
  EXPECT_EQ(r.control_group, root_ + "/a/b");
}

TEST_F(control_groups, NoneLimitedOrNoneFound) {
  group("/memory", "memory.limit_in_bytes", "9223372036854771712", "memory.usage_in_bytes", "1");
  EXPECT_TRUE(control_group_room("4:memory:/\n", root_).control_group.empty());
  EXPECT_TRUE(control_group_room("4:memory:/not/there\n", root_).control_group.empty());
  EXPECT_TRUE(control_group_room("", root_).control_group.empty());
  EXPECT_TRUE(control_group_room("garbage without colons\n", root_).control_group.empty());
  // A group over its limit has no room, but is not read as no limit.
  group("/memory/full", "memory.limit_in_bytes", "100", "memory.usage_in_bytes", "200");
  const memory_room r = control_group_room("4:memory:/full\n", root_);
  EXPECT_EQ(r.control_group, root_ + "/memory/full");
  EXPECT_EQ(r.bytes, 1u);
}

}  // namespace
