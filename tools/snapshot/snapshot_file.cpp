#include "snapshot/snapshot_file.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <utility>

namespace plume::snapshot {

namespace {

std::uint32_t load_le32(const std::byte* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::int32_t load_marker(const std::byte* p) { return std::bit_cast<std::int32_t>(load_le32(p)); }

std::string str(std::uint64_t v) { return std::to_string(v); }

std::string count(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

MemorySource::MemorySource(std::span<const std::byte> bytes, std::size_t max_chunk)
    : bytes_(bytes), max_chunk_(std::max<std::size_t>(max_chunk, 1)) {}

std::size_t MemorySource::read(std::span<std::byte> out) {
  const std::size_t n = std::min({out.size(), bytes_.size() - position_, max_chunk_});
  std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(position_), n, out.begin());
  position_ += n;
  return n;
}

FileSource::FileSource(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    throw std::runtime_error("cannot read '" + path + "': it is a directory");
  }
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) {
    throw std::runtime_error("cannot open '" + path + "': " + std::strerror(errno));
  }
}

FileSource::~FileSource() {
  if (file_ != nullptr) std::fclose(file_);
}

std::size_t FileSource::read(std::span<std::byte> out) {
  const std::size_t n = std::fread(out.data(), 1, out.size(), file_);
  if (n < out.size() && std::ferror(file_)) {
    throw std::runtime_error(std::string("read error: ") + std::strerror(errno));
  }
  return n;
}

std::string_view damage_name(Damage d) {
  switch (d) {
    case Damage::none: return "none";
    case Damage::empty: return "empty";
    case Damage::truncated: return "truncated";
    case Damage::other_record_size: return "other_record_size";
    case Damage::wrong_size: return "wrong_size";
    case Damage::marker_mismatch: return "marker_mismatch";
    case Damage::trailing_bytes: return "trailing_bytes";
    case Damage::partial_snapshot: return "partial_snapshot";
    case Damage::read_error: return "read_error";
  }
  return "unknown";
}

std::vector<std::string> one_species_record_names() {
  std::vector<std::string> names;
  for (const auto& f : pollutant_fields) names.emplace_back(f.name);
  for (const auto& f : flow_fields) names.emplace_back(f.name);
  return names;
}

Reader::Reader(Source& source, std::int32_t record_size, std::vector<std::string> record_names)
    : source_(source), record_size_(record_size), record_names_(std::move(record_names)) {
  if (record_size <= 0 || record_size % 4 != 0 || record_size > INT32_MAX - 8) {
    throw std::invalid_argument("record size must be a positive multiple of 4");
  }
  if (record_names_.empty()) throw std::invalid_argument("a snapshot must hold at least one record");
  frame_.resize(static_cast<std::size_t>(record_size) + 8);
}

std::string Reader::record_name(std::int64_t record) const {
  const std::int64_t n = records_per_snapshot();
  return "record " + record_names_[static_cast<std::size_t>(record % n)] + " of snapshot " + std::to_string(record / n);
}

Reader::Status Reader::fail(Damage kind, std::uint64_t at, const std::string& text) {
  damage_ = kind;
  damage_offset_ = at;
  message_ = "at byte " + str(at) + ": " + text;
  status_ = Status::damaged;
  return status_;
}

Reader::Status Reader::next(std::span<float> values) {
  if (status_ != Status::record) return status_;
  if (values.size() != values_per_record()) {
    throw std::invalid_argument("Reader::next: values must hold one record");
  }

  // Read the whole frame (marker, data, marker) in as many calls as the source
  // needs; a short count means the input ended.
  const std::uint64_t start = offset_;
  std::size_t got = 0;
  try {
    while (got < frame_.size()) {
      const std::size_t n = source_.read(std::span(frame_).subspan(got));
      if (n == 0) break;
      got += n;
    }
  } catch (const std::exception& e) {
    return fail(Damage::read_error, start + got, e.what());
  }

  const std::int64_t record = records_read_;
  const std::int64_t per_snapshot = records_per_snapshot();
  const bool at_snapshot_start = record % per_snapshot == 0;
  const std::string expected_marker = std::to_string(record_size_);
  const std::string lead_expect = "expected the leading marker " + expected_marker + " of " + record_name(record);
  const std::uint64_t end = start + got;

  if (got == 0) {
    if (record == 0) return fail(Damage::empty, 0, "the file is empty; " + lead_expect);
    if (at_snapshot_start) {
      status_ = Status::end;
      return status_;
    }
    return fail(Damage::partial_snapshot, end,
                "the file ends after " + record_name(record - 1) + ", which has only " +
                    std::to_string(record % per_snapshot) + " of its " + std::to_string(per_snapshot) + " records; " +
                    lead_expect);
  }

  const bool have_marker = got >= 4;
  const std::int32_t lead = have_marker ? load_marker(frame_.data()) : 0;
  if (at_snapshot_start && record > 0 && got < frame_.size() && (!have_marker || lead != record_size_)) {
    // Too short to be a record and not the start of one: bytes appended after
    // the last complete snapshot.
    return fail(Damage::trailing_bytes, start,
                count(got, "byte follows", "bytes follow") + " the last complete snapshot (snapshot " +
                    std::to_string(record / per_snapshot - 1) +
                    ") and cannot start a record; expected the end of the file or the leading marker " +
                    expected_marker + " of " + record_name(record));
  }
  if (!have_marker) {
    return fail(Damage::truncated, end,
                "the file ends inside the leading marker of " + record_name(record) + " (byte " + str(start) +
                    ") after " + std::to_string(got) + " of its 4 bytes; expected the rest of the marker " +
                    expected_marker);
  }
  if (lead != record_size_ && record == 0 && lead > 0 && lead % 4 == 0 && lead <= INT32_MAX - 8) {
    // A first record framed with another size, its trailing marker matching
    // where the file is long enough to show it: the file of another grid
    // rather than a damaged one.
    const std::size_t trail_at = 4 + static_cast<std::size_t>(lead);
    if (got < trail_at + 4 || load_marker(frame_.data() + trail_at) == lead) {
      found_record_size_ = lead;
      return fail(Damage::other_record_size, 0,
                  "the first record holds " + std::to_string(lead) + " bytes, a field of " +
                      std::to_string(lead / 4) + " float32 values; expected " + expected_marker +
                      ", a field of " + std::to_string(record_size_ / 4));
    }
  }
  if (lead != record_size_) {
    std::string found = "the leading marker of " + record_name(record) + " is " + std::to_string(lead);
    if (lead < 0) found += " (a split record, which a snapshot file never holds)";
    return fail(Damage::wrong_size, start,
                found + "; expected " + expected_marker + ", the size of one field of " +
                    std::to_string(record_size_ / 4) + " float32 values");
  }
  const std::size_t data_end = 4 + static_cast<std::size_t>(record_size_);
  if (got < data_end) {
    return fail(Damage::truncated, end,
                "the file ends inside the data of " + record_name(record) + " (record starts at byte " +
                    str(start) + ") after " + std::to_string(got - 4) + " of its " + expected_marker +
                    " bytes; expected the rest of the data and the trailing marker");
  }
  if (got < frame_.size()) {
    return fail(Damage::truncated, end,
                "the file ends inside the trailing marker of " + record_name(record) + " (byte " +
                    str(start + data_end) + ") after " + std::to_string(got - data_end) +
                    " of its 4 bytes; expected the rest of the marker " + expected_marker);
  }
  const std::int32_t trail = load_marker(frame_.data() + data_end);
  if (trail != lead) {
    return fail(Damage::marker_mismatch, start + data_end,
                "the trailing marker of " + record_name(record) + " is " + std::to_string(trail) +
                    "; expected " + expected_marker + ", equal to its leading marker at byte " + str(start));
  }

  decode_floats(std::span(frame_).subspan(4, static_cast<std::size_t>(record_size_)), values);
  offset_ = end;
  ++records_read_;
  return Status::record;
}

void decode_floats(std::span<const std::byte> bytes, std::span<float> values) {
  if (bytes.size() != values.size() * 4) throw std::invalid_argument("decode_floats: size mismatch");
  for (std::size_t k = 0; k < values.size(); ++k) {
    values[k] = std::bit_cast<float>(load_le32(bytes.data() + 4 * k));
  }
}

}  // namespace plume::snapshot
