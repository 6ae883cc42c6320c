#include "driver/snapshot.hpp"

#include <cerrno>
#include <filesystem>
#include <initializer_list>
#include <new>

#include <zlib.h>

#include "decomposition/process_group.hpp"
#include "decomposition/test_fault.hpp"
#include "grid/domain.hpp"
#include "grid/failure.hpp"

namespace {

constexpr int fields_per_snapshot = 7;

// The system lets root overwrite a file that nobody may write; the run
// refuses it for everyone, with the reason any other user would get.
void refuse_read_only(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (!ec && fs::is_regular_file(st)) {
    constexpr fs::perms writable = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if ((st.permissions() & writable) == fs::perms::none) throw run_failure(system_reason("cannot open " + path, EACCES));
  }
}

// The interior section's bytes of one field.
std::int64_t record_data_bytes() {
  using namespace domain;
  return static_cast<std::int64_t>(ide - ids + 1) * (jde - jds + 1) * static_cast<std::int64_t>(sizeof(float));
}

}  // namespace

snapshot_file::snapshot_file(std::string path, std::int64_t subrecord_limit)
    : snapshot_file(std::move(path), byte_digest{}, subrecord_limit, false) {}

snapshot_file::snapshot_file(std::string path, const byte_digest& kept, std::int64_t subrecord_limit)
    : snapshot_file(std::move(path), kept, subrecord_limit, true) {}

snapshot_file::snapshot_file(std::string path, const byte_digest& kept, std::int64_t subrecord_limit, bool)
    : path_(std::move(path)), digest_(kept), framing_(record_data_bytes(), subrecord_limit) {
  using namespace domain;
  // The memory for one snapshot's pieces is obtained before the file is
  // touched, so that a run short of memory leaves the file as it was.
  const auto markers = static_cast<std::size_t>(8 * framing_.subrecords() * fields_per_snapshot);
  const auto rows = static_cast<std::size_t>(jpe - jps + 1);
  const std::size_t pieces = fields_per_snapshot * (rows + markers / 4 + 8);
  processes::together([&] {
    processes::test_fault(processes::fault_point::snapshot_open);
    try {
      if (processes::rank() == 0) markers_.resize(markers);
      rows_.reserve(rows);
      pieces_.reserve(pieces);
    } catch (const std::bad_alloc&) {
      throw run_failure(system_reason("cannot allocate the output buffers of " + path_ + " (" +
                                          std::to_string(markers + rows * sizeof(data_piece) +
                                                         pieces * sizeof(shared_file::piece)) +
                                          " bytes)",
                                      ENOMEM));
    }
    if (processes::rank() == 0) refuse_read_only(path_);
  });
  // A collective that agrees on its own failures.
  file_.emplace(path_, kept.length);
}

std::uint64_t snapshot_file::snapshots() const noexcept {
  return digest_.length / (fields_per_snapshot * static_cast<std::uint64_t>(framing_.framed_bytes()));
}

void snapshot_file::write() {
  using namespace domain;
  const std::uint64_t start = digest_.length;
  const auto record_bytes = static_cast<std::uint64_t>(framing_.framed_bytes());
  const std::uint64_t end = start + fields_per_snapshot * record_bytes;
  const std::int64_t row_length = ide - ids + 1;
  std::uint32_t share = 0;
  processes::together([&] {
    processes::test_fault(processes::fault_point::snapshot_write, ++writes_);
    pieces_.clear();
    int r = 0;
    for (const float* field : {q, dqdt, h, us, vs, domain::div, vort}) {
      // This process's rows of the field's interior section.
      rows_.clear();
      for (int j = jps; j <= jpe; ++j) {
        rows_.push_back({((j - jds) * row_length + (ips - ids)) * static_cast<std::int64_t>(sizeof(float)),
                         field + at(ips, j, ims, ime, jms), static_cast<std::size_t>(ipe - ips + 1) * sizeof(float)});
      }
      framing_.place(start + r * record_bytes, rows_,
                     markers_.empty() ? nullptr : markers_.data() + 8 * framing_.subrecords() * r, pieces_);
      ++r;
    }
    // This process's share of the snapshot's CRC: each run of consecutive
    // pieces, shifted by the bytes after it; the shares combine by xor.
    for (std::size_t k = 0; k < pieces_.size();) {
      uLong crc = crc32_z(0L, Z_NULL, 0);
      std::uint64_t at = pieces_[k].offset;
      for (; k < pieces_.size() && pieces_[k].offset == at; ++k) {
        crc = crc32_z(crc, static_cast<const Bytef*>(pieces_[k].data), pieces_[k].size);
        at += pieces_[k].size;
      }
      share ^= crc_shift(static_cast<std::uint32_t>(crc), end - at);
    }
  });
  const std::uint32_t crc = processes::exclusive_or(share);
  // A snapshot that is not written whole is cut off again, every process
  // together; the failure of the write is the one reported.
  try {
    file_->write(pieces_);
  } catch (const processes::agreed_failure&) {
    try {
      file_->cut(start);
    } catch (const processes::agreed_failure&) {
    }
    throw;
  }
  digest_ = concatenated(digest_, {end - start, crc});
}

void snapshot_file::start_writeback() { file_->start_writeback(); }

void snapshot_file::sync() { file_->sync(); }

void snapshot_file::close() { file_->close(); }
