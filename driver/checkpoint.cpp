#include "driver/checkpoint.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/file_sync.hpp"
#include "grid/failure.hpp"

// The fields are written as the bytes of the floats in memory.
static_assert(std::endian::native == std::endian::little, "the checkpoint's floats are little-endian");

namespace {

constexpr std::size_t io_buffer_bytes = std::size_t{1} << 20;
// Texts longer than these are not of this program's making.
constexpr std::uint32_t max_program_bytes = 4096;
constexpr std::uint32_t max_scenario_bytes = std::uint32_t{1} << 30;

// SHA-256 through Nettle (the library of GnuTLS): the same digest as any
// other, from a library that costs the process little memory to load.
class sha256 {
 public:
  sha256() noexcept { sha256_init(&ctx_); }
  void add(const void* data, std::size_t size) noexcept {
    sha256_update(&ctx_, size, static_cast<const std::uint8_t*>(data));
  }
  checkpoint_digest finish() noexcept {
    checkpoint_digest d{};
    sha256_digest(&ctx_, d.size(), d.data());
    return d;
  }

 private:
  sha256_ctx ctx_;
};

struct fd_closer {
  int fd;
  ~fd_closer() {
    if (fd >= 0) ::close(fd);
  }
};

std::vector<float> row_buffer(std::int32_t nx, const std::string& path) {
  try {
    return std::vector<float>(static_cast<std::size_t>(nx));
  } catch (const std::bad_alloc&) {
    throw run_failure(system_reason("cannot allocate a row of " + path, ENOMEM));
  }
}

// The checkpoint's bytes on their way to the temporary file, each one
// taken into the digest.
class checkpoint_out {
 public:
  checkpoint_out(int fd, std::string name) : fd_(fd), name_(std::move(name)) {
    try {
      buffer_.reserve(io_buffer_bytes);
    } catch (const std::bad_alloc&) {
      throw run_failure(system_reason("cannot allocate the output buffer of " + name_, ENOMEM));
    }
  }

  void bytes(const void* data, std::size_t size) {
    digest_.add(data, size);
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
      const std::size_t n = std::min(size, io_buffer_bytes - buffer_.size());
      buffer_.insert(buffer_.end(), p, p + n);
      p += n;
      size -= n;
      if (buffer_.size() == io_buffer_bytes) flush();
    }
  }
  template <class T>
  void number(T value) {
    unsigned char le[sizeof(T)];
    const auto bits = static_cast<std::make_unsigned_t<T>>(value);
    for (std::size_t k = 0; k < sizeof(T); ++k) le[k] = static_cast<unsigned char>(bits >> (8 * k));
    bytes(le, sizeof le);
  }
  void text(const std::string& s) {
    number(static_cast<std::uint32_t>(s.size()));
    bytes(s.data(), s.size());
  }
  // The digest of everything so far, which ends the file.
  void finish() {
    const checkpoint_digest d = digest_.finish();
    buffer_.insert(buffer_.end(), d.begin(), d.end());
    flush();
  }

 private:
  void flush() {
    const unsigned char* p = buffer_.data();
    std::size_t left = buffer_.size();
    while (left > 0) {
      const ssize_t n = ::write(fd_, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw run_failure(system_reason("cannot write " + name_, n < 0 ? errno : EIO));
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    buffer_.clear();
  }

  int fd_;
  std::string name_;
  std::vector<unsigned char> buffer_;
  sha256 digest_;
};

void write_contents(int fd, const std::string& name, const checkpoint_header& h, const checkpoint_row_source& rows) {
  checkpoint_out out(fd, name);
  std::vector<float> row = row_buffer(h.nx, name);
  out.bytes(checkpoint_magic, sizeof checkpoint_magic);
  out.number(checkpoint_format);
  out.text(h.program);
  out.text(h.scenario);
  out.number(h.pass);
  out.number(h.nx);
  out.number(h.ny);
  out.number(h.snapshots.length);
  out.number(h.snapshots.crc);
  for (int f = 0; f < checkpoint_fields; ++f) {
    for (int j = 1; j <= h.ny; ++j) {
      rows(f, j, row.data());
      out.bytes(row.data(), row.size() * sizeof(float));
    }
  }
  out.finish();
  if (::fsync(fd) != 0) throw run_failure(system_reason("cannot write " + name, errno));
}

// The checkpoint's bytes as they are read, the digest taken of each one.
class checkpoint_in {
 public:
  checkpoint_in(int fd, std::string path, std::uint64_t size) : fd_(fd), path_(std::move(path)), size_(size) {
    try {
      buffer_.resize(io_buffer_bytes);
    } catch (const std::bad_alloc&) {
      throw checkpoint_error(path_ + ": cannot allocate a buffer to read it (" + std::to_string(io_buffer_bytes) +
                             " bytes)");
    }
  }

  std::uint64_t position() const noexcept { return position_; }

  // The next bytes, into `data`; false if the file ends first.
  bool bytes(void* data, std::size_t size, bool digest = true) {
    if (size > size_ - position_) return false;
    auto* p = static_cast<unsigned char*>(data);
    while (size > 0) {
      if (at_ == filled_) fill();
      const std::size_t n = std::min(size, filled_ - at_);
      std::memcpy(p, buffer_.data() + at_, n);
      if (digest) digest_.add(p, n);
      at_ += n;
      p += n;
      size -= n;
      position_ += n;
    }
    return true;
  }
  template <class T>
  bool number(T& value) {
    unsigned char le[sizeof(T)];
    if (!bytes(le, sizeof le)) return false;
    std::make_unsigned_t<T> bits = 0;
    for (std::size_t k = 0; k < sizeof(T); ++k) bits |= static_cast<std::make_unsigned_t<T>>(le[k]) << (8 * k);
    value = static_cast<T>(bits);
    return true;
  }
  bool text(std::string& s, std::uint32_t limit) {
    std::uint32_t n = 0;
    if (!number(n) || n > limit || n > size_ - position_) return false;
    s.resize(n);
    return bytes(s.data(), n);
  }
  checkpoint_digest digest() { return digest_.finish(); }

 private:
  void fill() {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw checkpoint_error(path_ + ": cannot read the checkpoint: " + std::strerror(errno));
      if (n == 0) throw checkpoint_error(path_ + ": the checkpoint became shorter while it was read");
      at_ = 0;
      filled_ = static_cast<std::size_t>(n);
      return;
    }
  }

  int fd_;
  std::string path_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
  std::vector<unsigned char> buffer_;
  std::size_t at_ = 0;
  std::size_t filled_ = 0;
  sha256 digest_;
};

}  // namespace

void write_checkpoint(const std::string& path, const checkpoint_header& header, const checkpoint_row_source& rows,
                      bool crash_before_rename) {
  const std::string temporary = checkpoint_temporary(path);
  // What an interrupted write left behind is not a checkpoint: the rename
  // never happened, so `path` still holds the one before.
  if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
    throw run_failure(system_reason("cannot replace " + temporary, errno));
  }
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) throw run_failure(system_reason("cannot create " + temporary, errno));
  try {
    fd_closer closer{fd};
    write_contents(fd, temporary, header, rows);
    closer.fd = -1;
    if (::close(fd) != 0) throw run_failure(system_reason("cannot write " + temporary, errno));
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  if (crash_before_rename) ::kill(::getpid(), SIGKILL);
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int e = errno;
    ::unlink(temporary.c_str());
    throw run_failure(system_reason("cannot rename " + temporary + " to " + path, e));
  }
  sync_directory(path);
}

checkpoint_contents read_checkpoint(const std::string& path, const checkpoint_row_sink& rows) {
  const auto refuse = [&](const std::string& what) { return checkpoint_error(path + ": " + what); };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw refuse(std::string("cannot read the checkpoint: ") + std::strerror(errno));
  const fd_closer closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw refuse(std::string("cannot read the checkpoint: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) throw refuse(std::string("cannot read the checkpoint: ") + std::strerror(EISDIR));
  if (!S_ISREG(st.st_mode)) throw refuse("not a plume checkpoint: not a regular file");
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size == 0) throw refuse("not a plume checkpoint: the file is empty");

  checkpoint_in in(fd, path, size);
  const auto truncated_header = [&] {
    return refuse("truncated checkpoint: its " + std::to_string(size) + " bytes end inside its header");
  };
  char magic[sizeof checkpoint_magic];
  const std::size_t magic_bytes = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof magic));
  in.bytes(magic, magic_bytes);
  if (std::memcmp(magic, checkpoint_magic, magic_bytes) != 0) {
    throw refuse("not a plume checkpoint: it does not begin with PLUMECKP");
  }
  checkpoint_contents c;
  checkpoint_header& h = c.header;
  std::uint32_t format = 0;
  if (magic_bytes < sizeof magic || !in.number(format)) throw truncated_header();
  if (format != checkpoint_format) {
    throw refuse("checkpoint format version " + std::to_string(format) + "; this program reads version " +
                 std::to_string(checkpoint_format));
  }
  if (!in.text(h.program, max_program_bytes) || !in.text(h.scenario, max_scenario_bytes) || !in.number(h.pass) ||
      !in.number(h.nx) || !in.number(h.ny) || !in.number(h.snapshots.length) || !in.number(h.snapshots.crc)) {
    throw truncated_header();
  }
  // No more than 2^57 points, so that the byte count below cannot overflow.
  if (h.nx < 1 || h.ny < 1 || static_cast<std::uint64_t>(h.nx) * static_cast<std::uint64_t>(h.ny) > (1ull << 57)) {
    throw refuse("damaged checkpoint: its header gives a grid of " + std::to_string(h.nx) + " x " +
                 std::to_string(h.ny) + " points");
  }
  const std::uint64_t row_bytes = static_cast<std::uint64_t>(h.nx) * sizeof(float);
  const std::uint64_t whole = in.position() + checkpoint_fields * row_bytes * static_cast<std::uint64_t>(h.ny) +
                              sizeof(checkpoint_digest);
  if (size < whole) {
    throw refuse("truncated checkpoint: " + std::to_string(size) + " of the " + std::to_string(whole) +
                 " bytes its header announces");
  }
  if (size > whole) {
    throw refuse("damaged checkpoint: " + std::to_string(size - whole) + " bytes more than the " +
                 std::to_string(whole) + " its header announces");
  }
  std::vector<float> row;
  try {
    row.resize(static_cast<std::size_t>(h.nx));
  } catch (const std::bad_alloc&) {
    throw refuse("cannot allocate a row to read it (" + std::to_string(row_bytes) + " bytes)");
  }
  for (int f = 0; f < checkpoint_fields; ++f) {
    for (int j = 1; j <= h.ny; ++j) {
      in.bytes(row.data(), static_cast<std::size_t>(row_bytes));
      if (rows) rows(f, j, row.data());
    }
  }
  const checkpoint_digest computed = in.digest();
  in.bytes(c.digest.data(), c.digest.size(), false);
  if (computed != c.digest) throw refuse("damaged checkpoint: its SHA-256 digest does not match its contents");
  return c;
}
