// libFuzzer target for the snapshot reader: whatever the bytes, the reader
// must stay inside its buffers, report a clean end only for a well-framed
// file of whole snapshots, and report damage at an offset inside the input.
//
// Input layout: byte 0 picks the record size (four small sizes that let the
// fuzzer reach whole snapshots, and the real 643204), byte 1 the largest
// chunk the source hands out per read (0: no limit), the rest is the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "snapshot/snapshot_file.hpp"
#include "snapshot/statistics.hpp"

namespace snap = plume::snapshot;

#define CHECK(cond)                                                          \
  do {                                                                       \
    if (!(cond)) {                                                           \
      std::fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__); \
      std::abort();                                                          \
    }                                                                        \
  } while (0)

namespace {

std::int32_t marker_at(std::span<const std::byte> file, std::uint64_t at) {
  std::uint32_t v = 0;
  for (int b = 3; b >= 0; --b) v = (v << 8) | static_cast<std::uint32_t>(file[at + static_cast<std::uint64_t>(b)]);
  return static_cast<std::int32_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // 643204: one field of the reference grid, 401 x 401.
  static constexpr std::int32_t reference_nx = 401, reference_ny = 401;
  static constexpr std::int32_t sizes[] = {4, 8, 12, 20, reference_nx * reference_ny * 4};
  const std::int32_t record_size = sizes[data[0] % 5];
  const std::size_t chunk = data[1] == 0 ? SIZE_MAX : data[1];
  const std::span<const std::byte> file(reinterpret_cast<const std::byte*>(data) + 2, size - 2);

  snap::MemorySource source(file, chunk);
  snap::Reader reader(source, record_size);
  std::vector<float> values(reader.values_per_record());
  const std::uint64_t frame = static_cast<std::uint64_t>(record_size) + 8;

  snap::Reader::Status status;
  while ((status = reader.next(values)) == snap::Reader::Status::record) {
    // The record just returned is framed correctly in the input, and its
    // values are its data bytes.
    const std::uint64_t end = reader.offset();
    CHECK(end == static_cast<std::uint64_t>(reader.records_read()) * frame);
    CHECK(end <= file.size());
    CHECK(marker_at(file, end - frame) == record_size);
    CHECK(marker_at(file, end - 4) == record_size);
    CHECK(std::memcmp(values.data(), file.data() + (end - frame + 4), static_cast<std::size_t>(record_size)) == 0);

    const auto s = snap::field_stats(values);
    CHECK(s.nan_count >= 0 && static_cast<std::size_t>(s.nan_count) <= values.size());
    if (static_cast<std::size_t>(s.nan_count) < values.size()) CHECK(!(s.max < s.min));
    if (reader.field() == 0) {
      const bool real = record_size == sizes[4];
      const auto p = snap::pollutant_stats(values, real ? reference_nx : static_cast<int>(values.size()),
                                           real ? reference_ny : 1, 1.0);
      CHECK(p.nonzero_cells >= 0 && static_cast<std::size_t>(p.nonzero_cells) <= values.size());
      CHECK(p.has_centre == (p.total != 0.0));
    }
  }

  if (status == snap::Reader::Status::end) {
    CHECK(reader.damage() == snap::Damage::none);
    CHECK(reader.records_read() > 0 && reader.records_read() % reader.records_per_snapshot() == 0);
    CHECK(reader.offset() == file.size());
  } else {
    CHECK(status == snap::Reader::Status::damaged);
    CHECK(reader.damage() != snap::Damage::none);
    CHECK(reader.damage_offset() >= reader.offset());
    CHECK(reader.damage_offset() <= file.size());
    const std::string prefix = "at byte " + std::to_string(reader.damage_offset()) + ": ";
    CHECK(reader.message().compare(0, prefix.size(), prefix) == 0);
    CHECK(reader.message().find("expected") != std::string::npos);
    CHECK((reader.damage() == snap::Damage::empty) == file.empty());
  }
  CHECK(reader.next(values) == status);  // the outcome is final
  return 0;
}
