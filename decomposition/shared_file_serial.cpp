// The file of a run of one process: a buffered C stream, every piece
// appended in turn (the pieces of one process follow one another). Its
// failures are agreed on as those of a run of many processes are, by the
// one process alone.
#include <cerrno>
#include <cstdio>
#include <new>
#include <string>

#include <stdio_ext.h>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "decomposition/process_group.hpp"
#include "decomposition/shared_file.hpp"
#include "grid/failure.hpp"

namespace {
constexpr std::size_t file_buffer_bytes = std::size_t{1} << 20;
int reason(int err) { return err != 0 ? err : EIO; }
}  // namespace

struct shared_file::state {
  std::FILE* file = nullptr;
  std::vector<char> buffer;
  std::uint64_t position = 0;
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
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (keep == 0 ? O_TRUNC : 0), 0666);
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
