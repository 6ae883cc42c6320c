#include "driver/file_sync.hpp"

#include <cerrno>
#include <filesystem>

#include <fcntl.h>
#include <unistd.h>

#include "grid/failure.hpp"

namespace {

struct fd_closer {
  int fd;
  ~fd_closer() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

void sync_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw run_failure(system_reason("cannot write " + path, errno));
  fd_closer closer{fd};
  if (::fsync(fd) != 0) throw run_failure(system_reason("cannot write " + path, errno));
  closer.fd = -1;
  if (::close(fd) != 0) throw run_failure(system_reason("cannot write " + path, errno));
}

void sync_directory(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  const std::string dir = parent.empty() ? std::string(".") : parent.string();
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw run_failure(system_reason("cannot sync the directory " + dir, errno));
  const fd_closer closer{fd};
  if (::fsync(fd) != 0 && errno != EINVAL) throw run_failure(system_reason("cannot sync the directory " + dir, errno));
}
