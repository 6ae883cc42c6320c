// The file of a run of one process: a buffered C stream, every piece
// appended in turn (the pieces of one process follow one another). Its
// failures are agreed on as those of a run of many processes are, by the
// one process alone.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include <stdio_ext.h>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "decomposition/process_group.hpp"
#include "decomposition/shared_file.hpp"
#include "grid/failure.hpp"

namespace {
constexpr std::size_t file_buffer_bytes = std::size_t{1} << 20;
int reason(int err) { return err != 0 ? err : EIO; }

// The group that a file created at `path` gets: its directory's where the
// directory passes its group on (set-group-ID), else the process's.
gid_t new_file_group(const std::string& path) {
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  struct stat d {};
  if (::stat(folder.empty() ? "." : folder.c_str(), &d) == 0 && (d.st_mode & S_ISGID) != 0) return d.st_gid;
  return ::getegid();
}

// An earlier file at `path` that a new file may take the place of with
// nobody able to tell, but by its contents: a regular file of one name,
// this user's, of the group a new file gets, without extended attributes.
// Returns a descriptor of it (else -1), with its permissions in `mode`.
int replaceable_file(const std::string& path, mode_t& mode) {
  struct stat named {};
  if (::lstat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode) || named.st_nlink != 1 ||
      named.st_uid != ::geteuid() || named.st_gid != new_file_group(path)) {
    return -1;
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat opened {};
  const bool same = fd >= 0 && ::fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev &&
                    opened.st_ino == named.st_ino;
  if (!same || ::flistxattr(fd, nullptr, 0) > 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  mode = named.st_mode & 07777;
  return fd;
}

// Opens the file at `path` for writing, empty, creating it if need be. An
// earlier file that a new one may take the place of (replaceable_file) is
// replaced by a new file with its permissions, rather than cut to nothing
// in place: the system frees the pages it caches of the old file as its
// last descriptor closes, which `release` (a thread of its own) then does
// while the run goes on. A 2001 x 2001 run over the 336 MB of its earlier
// file took 0.22 s so, against 0.30 to 0.36 s cutting it. Anything else (a device, a pipe,
// a file with another name or another owner, a symbolic link, a directory
// that takes no new names) is opened and cut where it stands, as is a file
// that another process creates in its place meanwhile. Returns -1 with
// errno set where the file cannot be opened.
int open_emptied(const std::string& path, std::thread& release) {
  mode_t mode = 0;
  const int old = replaceable_file(path, mode);
  if (old >= 0 && ::unlink(path.c_str()) == 0) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    int e = errno;
    if (fd >= 0 && ::fchmod(fd, mode) != 0) {
      e = errno;
      ::close(fd);
      fd = -1;
    }
    try {
      release = std::thread([old] { ::close(old); });
    } catch (const std::system_error&) {
      ::close(old);
    }
    errno = e;
    if (fd >= 0 || e != EEXIST) return fd;
  } else if (old >= 0) {
    ::close(old);
  }
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_TRUNC, 0666);
}
}  // namespace

struct shared_file::state {
  std::FILE* file = nullptr;
  std::vector<char> buffer;
  std::uint64_t position = 0;
  std::thread release;  // lets go of the file this one replaced (open_emptied)
  ~state() {
    if (release.joinable()) release.join();
  }
};

shared_file::shared_file(const std::string& path, std::uint64_t keep, transfer)
    : path_(path), state_(std::make_unique<state>()) {
  processes::together([&] {
    // The buffer is obtained before the file is touched, so that a run short
    // of memory leaves the file as it was.
    try {
      state_->buffer.resize(file_buffer_bytes);
    } catch (const std::bad_alloc&) {
      throw run_failure(system_reason(
          "cannot allocate the output buffers of " + path_ + " (" + std::to_string(file_buffer_bytes) + " bytes)",
          ENOMEM));
    }
    // A new run's file is emptied as it is opened, which a device or a pipe
    // given as the output allows too.
    const int fd = keep == 0 ? open_emptied(path_, state_->release)
                             : ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) throw run_failure(system_reason("cannot open " + path_, errno));
    const auto length = static_cast<off_t>(keep);
    if (keep > 0 && (::ftruncate(fd, length) != 0 || ::lseek(fd, length, SEEK_SET) != length)) {
      const int e = errno;
      ::close(fd);
      throw run_failure(system_reason("cannot cut " + path_ + " to " + std::to_string(keep) + " bytes", e));
    }
    errno = 0;
    state_->file = ::fdopen(fd, "wb");
    if (state_->file == nullptr) {
      const int e = reason(errno);
      ::close(fd);
      throw run_failure(system_reason("cannot open " + path_, e));
    }
    std::setvbuf(state_->file, state_->buffer.data(), _IOFBF, state_->buffer.size());
    state_->position = keep;
  });
}

shared_file::~shared_file() {
  if (state_ && state_->file != nullptr) std::fclose(state_->file);
}

// A short count from fwrite means a failed write: the C library repeats a
// write(2) that took only part of the bytes until all are taken or one fails
// (glibc does so in its file write routine), and errno then holds the failing
// write's reason.
void shared_file::write(const std::vector<piece>& pieces) {
  processes::together([&] {
    std::FILE* f = state_->file;
    for (const piece& p : pieces) {
      if (p.offset != state_->position && std::fseek(f, static_cast<long>(p.offset), SEEK_SET) != 0) {
        throw run_failure(system_reason("cannot write " + path_, reason(errno)));
      }
      errno = 0;
      if (p.size > 0 && std::fwrite(p.data, 1, p.size, f) != p.size) {
        throw run_failure(system_reason("cannot write " + path_, reason(errno)));
      }
      state_->position = p.offset + p.size;
    }
    errno = 0;
    if (std::fflush(f) != 0) throw run_failure(system_reason("cannot write " + path_, reason(errno)));
  });
}

void shared_file::cut(std::uint64_t length) {
  processes::together([&] {
    std::FILE* f = state_->file;
    // Whatever a failed write left in the stream's buffer is dropped, so that
    // nothing reaches the file after the cut.
    __fpurge(f);
    if (::ftruncate(fileno(f), static_cast<off_t>(length)) != 0 ||
        std::fseek(f, static_cast<long>(length), SEEK_SET) != 0) {
      throw run_failure(system_reason("cannot cut " + path_ + " to " + std::to_string(length) + " bytes", errno));
    }
    state_->position = length;
  });
}

void shared_file::start_writeback() {
  std::FILE* f = state_->file;
  if (std::fflush(f) != 0) return;
  ::sync_file_range(fileno(f), 0, 0, SYNC_FILE_RANGE_WRITE);
}

void shared_file::sync() {
  processes::together([&] {
    std::FILE* f = state_->file;
    errno = 0;
    if (std::fflush(f) != 0) throw run_failure(system_reason("cannot write " + path_, reason(errno)));
    // A file the system cannot sync (a pipe or a device, given as the output)
    // holds nothing to keep.
    if (::fsync(fileno(f)) != 0 && errno != EINVAL && errno != EROFS) {
      throw run_failure(system_reason("cannot write " + path_, errno));
    }
  });
}

void shared_file::close() {
  processes::together([&] {
    std::FILE* f = state_->file;
    state_->file = nullptr;
    errno = 0;
    if (std::fclose(f) != 0) throw run_failure(system_reason("cannot close " + path_, reason(errno)));
  });
}

std::string read_shared(const std::string& path, const std::vector<shared_read_piece>& pieces) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return system_reason("cannot read " + path, errno);
  std::string failed;
  for (const shared_read_piece& p : pieces) {
    auto* into = static_cast<char*>(p.data);
    for (std::size_t done = 0; done < p.size && failed.empty();) {
      const ssize_t n = ::pread(fd, into + done, p.size - done, static_cast<off_t>(p.offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failed = system_reason("cannot read " + path, errno);
      if (n == 0) failed = "cannot read " + path + ": it ends before byte " + std::to_string(p.offset + p.size);
      if (n > 0) done += static_cast<std::size_t>(n);
    }
    if (!failed.empty()) break;
  }
  ::close(fd);
  return failed;
}
