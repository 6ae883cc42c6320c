#include "driver/output_paths.hpp"

#include <filesystem>
#include <initializer_list>

#include <sys/stat.h>

#include "driver/checkpoint.hpp"

namespace {

std::filesystem::path normalised(const std::string& p) {
  std::error_code ec;
  std::filesystem::path full = std::filesystem::weakly_canonical(std::filesystem::absolute(p, ec), ec);
  if (ec) full = std::filesystem::absolute(p, ec).lexically_normal();
  return full;
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  const bool a_exists = ::stat(a.c_str(), &sa) == 0;
  const bool b_exists = ::stat(b.c_str(), &sb) == 0;
  if (a_exists && b_exists) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  return !a_exists && !b_exists && normalised(a) == normalised(b);
}

bool open_on(int fd, const std::string& path) {
  struct stat by_fd {};
  struct stat by_path {};
  return ::fstat(fd, &by_fd) == 0 && (S_ISREG(by_fd.st_mode) || S_ISFIFO(by_fd.st_mode)) &&
         ::stat(path.c_str(), &by_path) == 0 && by_fd.st_dev == by_path.st_dev && by_fd.st_ino == by_path.st_ino;
}

std::string clobbered_file(const run_files& f, int console_fd) {
  const std::string temporary = checkpoint_temporary(f.checkpoint);
  struct role {
    const std::string& path;
    const char* name;
    const char* option;
  };
  const role snapshots{f.snapshots, "the snapshot file ", "--output"};
  const role checkpoint{f.checkpoint, "the checkpoint ", "--checkpoint"};
  const role checkpoint_temporary{temporary, "the checkpoint's temporary file ", "--checkpoint"};
  struct input {
    const std::string& path;
    const char* name;
  };
  const input inputs[] = {{f.scenario, "the scenario file"},
                          {f.restart, "the checkpoint being restarted"},
                          {f.snapshots, "the snapshot file"}};
  for (const role& out : {snapshots, checkpoint, checkpoint_temporary}) {
    for (const input& in : inputs) {
      if (in.path.empty() || &in.path == &out.path) continue;
      // New checkpoints take the place of the one being restarted, whole.
      if (&out.path == &f.checkpoint && &in.path == &f.restart) continue;
      if (same_file(out.path, in.path)) {
        return std::string(out.name) + out.path + " is " + in.name + "; give " + out.option + " another path";
      }
    }
  }
  for (const role& out : {snapshots, checkpoint}) {
    if (open_on(console_fd, out.path)) return "cannot open " + out.path + ": standard output goes to the same file";
  }
  return "";
}
