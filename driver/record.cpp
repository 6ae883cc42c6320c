#include "driver/record.hpp"

#include <algorithm>

namespace {

void encode(std::int64_t value, unsigned char* out) noexcept {
  const auto bits = static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
  for (int b = 0; b < 4; ++b) out[b] = static_cast<unsigned char>(bits >> (8 * b));
}

}  // namespace

record_framing::record_framing(std::int64_t data_bytes, std::int64_t limit) noexcept
    : data_bytes_(data_bytes), limit_(limit), subrecords_(data_bytes == 0 ? 1 : (data_bytes + limit - 1) / limit) {}

void record_framing::place(std::uint64_t start, std::span<const data_piece> data, unsigned char* markers,
                           std::vector<shared_file::piece>& out) const {
  std::size_t next = 0;          // the data piece being placed
  std::int64_t placed = 0;       // bytes of it already placed
  for (std::int64_t k = 0; k < subrecords_; ++k) {
    const std::int64_t first = k * limit_;
    const std::int64_t length = std::min(limit_, data_bytes_ - first);
    const std::uint64_t at = start + static_cast<std::uint64_t>(k * (limit_ + 8));
    if (markers != nullptr) {
      unsigned char* lead = markers + 8 * k;
      encode(k + 1 < subrecords_ ? -length : length, lead);
      encode(k > 0 ? -length : length, lead + 4);
      out.push_back({at, lead, 4});
    }
    // The data of this sub-record: the pieces, or their parts, that lie in
    // [first, first + length).
    while (next < data.size()) {
      const data_piece& p = data[next];
      const std::int64_t from = p.offset + placed;
      const std::int64_t end = p.offset + static_cast<std::int64_t>(p.size);
      if (from >= first + length) break;
      const std::int64_t until = std::min(end, first + length);
      if (until > from) {
        out.push_back({at + 4 + static_cast<std::uint64_t>(from - first),
                       static_cast<const unsigned char*>(p.data) + placed, static_cast<std::size_t>(until - from)});
      }
      placed = until - p.offset;
      if (until == end) ++next, placed = 0;
    }
    if (markers != nullptr) out.push_back({at + 4 + static_cast<std::uint64_t>(length), markers + 8 * k + 4, 4});
  }
}
