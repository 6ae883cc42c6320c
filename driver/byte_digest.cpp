#include "driver/byte_digest.hpp"

#include <algorithm>
#include <vector>

#include <isa-l/crc.h>
#include <zlib.h>

#include "timestep/row_team.hpp"

// A 64-bit z_off_t lets the combining functions take any file length.
static_assert(sizeof(z_off_t) >= sizeof(std::int64_t), "zlib's offsets must hold 64 bits");

std::uint32_t crc_continued(std::uint32_t crc, const void* data, std::size_t size) noexcept {
  return crc32_gzip_refl(crc, static_cast<const unsigned char*>(data), size);
}

void byte_digest::add(const void* data, std::size_t size) noexcept {
  crc = crc_continued(crc, data, size);
  length += size;
}

std::uint32_t crc_shift(std::uint32_t crc, std::uint64_t following) noexcept { return crc_shifter(following)(crc); }

crc_shifter::crc_shifter(std::uint64_t following) noexcept
    : operator_(static_cast<std::uint32_t>(crc32_combine_gen(static_cast<z_off_t>(following)))) {}

std::uint32_t crc_shifter::operator()(std::uint32_t crc) const noexcept {
  // Combining with the CRC 0 of nothing leaves the shifted CRC alone.
  return static_cast<std::uint32_t>(crc32_combine_op(crc, 0, operator_));
}

byte_digest concatenated(const byte_digest& a, const byte_digest& b) noexcept {
  return {a.length + b.length,
          static_cast<std::uint32_t>(crc32_combine(a.crc, b.crc, static_cast<z_off_t>(b.length)))};
}

namespace {

// Below this many bytes a part costs more to hand out than to compute.
constexpr std::uint64_t smallest_part = 256 * 1024;

// The share of the bytes from..to (positions in the pieces laid end to end)
// of the pieces.
std::uint32_t share_of(std::span<const shared_file::piece> pieces, std::uint64_t from, std::uint64_t to,
                       std::uint64_t end) {
  std::uint32_t share = 0;
  std::uint64_t seen = 0;  // position of the current piece's first byte
  std::uint32_t crc = 0;
  std::uint64_t at = 0;  // file offset after the run being taken in
  bool open = false;
  for (const shared_file::piece& p : pieces) {
    const std::uint64_t first = std::max(from, seen), last = std::min(to, seen + p.size);
    if (first < last) {
      const std::uint64_t offset = p.offset + (first - seen);
      if (open && offset != at) {
        share ^= crc_shift(crc, end - at);
        open = false;
      }
      if (!open) {
        crc = 0;
        open = true;
      }
      crc = crc_continued(crc, static_cast<const unsigned char*>(p.data) + (first - seen), last - first);
      at = offset + (last - first);
    }
    seen += p.size;
    if (seen >= to) break;
  }
  if (open) share ^= crc_shift(crc, end - at);
  return share;
}

}  // namespace

std::uint32_t crc_share(std::span<const shared_file::piece> pieces, std::uint64_t end, step_team& team) {
  std::uint64_t bytes = 0;
  for (const shared_file::piece& p : pieces) bytes += p.size;
  const auto parts = static_cast<int>(std::clamp<std::uint64_t>(bytes / smallest_part, 1, team.size()));
  std::vector<std::uint32_t> shares(static_cast<std::size_t>(parts), 0);
  team.for_each_part(parts, [&](int k, int) {
    const auto cut = [&](int n) { return bytes / static_cast<std::uint64_t>(parts) * static_cast<std::uint64_t>(n); };
    shares[static_cast<std::size_t>(k)] = share_of(pieces, cut(k), k + 1 == parts ? bytes : cut(k + 1), end);
  });
  std::uint32_t share = 0;
  for (const std::uint32_t s : shares) share ^= s;
  return share;
}
