#include "driver/snapshot.hpp"

#include <cerrno>
#include <filesystem>
#include <initializer_list>
#include <new>

#include <fcntl.h>
#include <unistd.h>

#include "grid/domain.hpp"
#include "grid/failure.hpp"

namespace {
constexpr std::size_t file_buffer_bytes = std::size_t{1} << 20;

int reason(int err) { return err != 0 ? err : EIO; }
}  // namespace

// The system lets root overwrite a file that nobody may write; the run
// refuses it for everyone, with the reason any other user would get.
void snapshot_file::refuse_read_only() const {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status st = fs::status(path_, ec);
  if (!ec && fs::is_regular_file(st)) {
    constexpr fs::perms writable = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if ((st.permissions() & writable) == fs::perms::none) throw run_failure(system_reason("cannot open " + path_, EACCES));
  }
}

// The memory the writer needs is obtained before the file is opened, so
// that a run short of memory leaves the file as it was.
void snapshot_file::obtain_buffers() {
  const auto rows = static_cast<std::size_t>(domain::jde - domain::jds + 1);
  try {
    buffer_.resize(file_buffer_bytes);
    rows_.resize(rows);
  } catch (const std::bad_alloc&) {
    throw run_failure(system_reason("cannot allocate the output buffers of " + path_ + " (" +
                                        std::to_string(file_buffer_bytes + rows * sizeof(byte_piece)) + " bytes)",
                                    ENOMEM));
  }
}

snapshot_file::snapshot_file(std::string path) : path_(std::move(path)) {
  refuse_read_only();
  obtain_buffers();
  errno = 0;
  file_ = std::fopen(path_.c_str(), "wb");
  if (file_ == nullptr) throw run_failure(system_reason("cannot open " + path_, reason(errno)));
  std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
}

snapshot_file::snapshot_file(std::string path, const byte_digest& kept) : path_(std::move(path)), digest_(kept) {
  refuse_read_only();
  obtain_buffers();
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) throw run_failure(system_reason("cannot open " + path_, errno));
  const auto length = static_cast<off_t>(kept.length);
  if (::ftruncate(fd, length) != 0 || ::lseek(fd, length, SEEK_SET) != length) {
    const int e = errno;
    ::close(fd);
    throw run_failure(system_reason("cannot cut " + path_ + " to " + std::to_string(kept.length) + " bytes", e));
  }
  errno = 0;
  file_ = ::fdopen(fd, "wb");
  if (file_ == nullptr) {
    const int e = reason(errno);
    ::close(fd);
    throw run_failure(system_reason("cannot open " + path_, e));
  }
  std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
}

snapshot_file::~snapshot_file() {
  if (file_ != nullptr) std::fclose(file_);
}

void snapshot_file::write_field(const float* field) {
  using namespace domain;
  const std::size_t row_bytes = static_cast<std::size_t>(ide - ids + 1) * sizeof(float);
  for (int j = jds; j <= jde; ++j) rows_[static_cast<std::size_t>(j - jds)] = {field + at(ids, j, ims, ime, jms), row_bytes};
  write_record(file_, path_, rows_, &digest_);
}

void snapshot_file::write() {
  using namespace domain;
  for (const float* field : {q, dqdt, h, us, vs, domain::div, vort}) write_field(field);
  errno = 0;
  if (std::fflush(file_) != 0) throw run_failure(system_reason("cannot write " + path_, reason(errno)));
}

void snapshot_file::sync() {
  errno = 0;
  if (std::fflush(file_) != 0) throw run_failure(system_reason("cannot write " + path_, reason(errno)));
  // A file the system cannot sync (a pipe or a device, given as the output)
  // holds nothing to keep.
  if (::fsync(fileno(file_)) != 0 && errno != EINVAL && errno != EROFS) {
    throw run_failure(system_reason("cannot write " + path_, errno));
  }
}

void snapshot_file::close() {
  std::FILE* f = file_;
  file_ = nullptr;
  errno = 0;
  if (std::fclose(f) != 0) throw run_failure(system_reason("cannot close " + path_, reason(errno)));
}
