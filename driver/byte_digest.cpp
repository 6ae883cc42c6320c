#include "driver/byte_digest.hpp"

#include <zlib.h>

// A 64-bit z_off_t lets the combining functions take any file length.
static_assert(sizeof(z_off_t) >= sizeof(std::int64_t), "zlib's offsets must hold 64 bits");

void byte_digest::add(const void* data, std::size_t size) noexcept {
  crc = static_cast<std::uint32_t>(crc32_z(crc, static_cast<const Bytef*>(data), size));
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
