#include "driver/snapshot.hpp"

#include <cerrno>
#include <filesystem>
#include <initializer_list>
#include <new>

#include "decomposition/process_group.hpp"
#include "grid/domain.hpp"
#include "grid/failure.hpp"
#include "timestep/row_team.hpp"

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
  processes::together([&] {
    if (processes::rank() == 0) refuse_read_only(path_);
  });
  file_.emplace(path_, kept.length);
}

void snapshot_file::write(step_team* team) {
  using namespace domain;
  const std::uint64_t start = digest_.length;
  const auto record_bytes = static_cast<std::uint64_t>(framing_.framed_bytes());
  const std::uint64_t end = start + fields_per_snapshot * record_bytes;
  const std::int64_t row_length = ide - ids + 1;
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
  // This process's share of the snapshot's CRC; the shares combine by xor.
  step_team alone(1);
  const std::uint32_t share = crc_share(pieces_, end, team != nullptr ? *team : alone);
  const std::uint32_t crc = processes::exclusive_or(share);
  // A snapshot that is not written whole is cut off again.
  try {
    processes::together([&] { file_->write(pieces_); });
  } catch (...) {
    try {
      file_->cut(start);
    } catch (const run_failure&) {
    }
    throw;
  }
  digest_ = concatenated(digest_, {end - start, crc});
}

void snapshot_file::start_writeback() { file_->start_writeback(); }

void snapshot_file::sync() {
  processes::together([&] { file_->sync(); });
}

void snapshot_file::close() {
  processes::together([&] { file_->close(); });
}
