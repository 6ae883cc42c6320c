#include "driver/record.hpp"

#include <cerrno>

#include "grid/failure.hpp"

namespace {

// A short count from fwrite means a failed write: the C library repeats a
// write(2) that took only part of the bytes until all are taken or one fails
// (glibc does so in its file write routine), and errno then holds the failing
// write's reason. Nothing after a failure is written, so the file keeps an
// exact prefix of the records.
void put(std::FILE* file, const std::string& name, byte_digest* digest, const void* data, std::size_t size) {
  if (size == 0) return;
  errno = 0;
  if (std::fwrite(data, 1, size, file) != size) {
    throw run_failure(system_reason("cannot write " + name, errno != 0 ? errno : EIO));
  }
  if (digest != nullptr) digest->add(data, size);
}

void put_marker(std::FILE* file, const std::string& name, byte_digest* digest, std::int64_t value) {
  const auto bits = static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
  const unsigned char le[4] = {static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
                               static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 24)};
  put(file, name, digest, le, sizeof le);
}

}  // namespace

void write_record(std::FILE* file, const std::string& name, std::span<const byte_piece> pieces,
                  byte_digest* digest, std::int64_t subrecord_limit) {
  std::int64_t remaining = 0;
  for (const byte_piece& p : pieces) remaining += static_cast<std::int64_t>(p.size);

  std::size_t piece = 0;
  std::size_t offset = 0;  // bytes of pieces[piece] already written
  bool first = true;
  do {
    const std::int64_t length = remaining < subrecord_limit ? remaining : subrecord_limit;
    const bool more = remaining > length;
    put_marker(file, name, digest, more ? -length : length);
    for (std::int64_t left = length; left > 0;) {
      const byte_piece& p = pieces[piece];
      const std::size_t available = p.size - offset;
      const std::size_t n = static_cast<std::int64_t>(available) < left ? available : static_cast<std::size_t>(left);
      put(file, name, digest, static_cast<const unsigned char*>(p.data) + offset, n);
      offset += n;
      left -= static_cast<std::int64_t>(n);
      if (offset == p.size) {
        ++piece;
        offset = 0;
      }
    }
    put_marker(file, name, digest, first ? length : -length);
    remaining -= length;
    first = false;
  } while (remaining > 0);
}
