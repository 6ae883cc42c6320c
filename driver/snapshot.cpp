#include "driver/snapshot.hpp"

#include <cerrno>
#include <filesystem>
#include <initializer_list>
#include <new>
#include <vector>

#include "decomposition/process_group.hpp"
#include "decomposition/test_fault.hpp"
#include "driver/snapshot_fields.hpp"
#include "grid/domain.hpp"
#include "grid/failure.hpp"
#include "timestep/row_team.hpp"

namespace {

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

// The records of a snapshot: q and dqdt of each species in the order
// declared, then h, us, vs, div and vort.
std::vector<const float*> snapshot_arrays() {
  using namespace domain;
  std::vector<const float*> fields;
  for (const species_fields& k : species) {
    fields.push_back(k.q);
    fields.push_back(k.dqdt);
  }
  for (const float* f : {h, us, vs, domain::div, vort}) fields.push_back(f);
  return fields;
}

std::uint64_t snapshot_bytes(std::int64_t nx, std::int64_t ny, int species, std::int64_t subrecord_limit) {
  const record_framing framing(nx * ny * static_cast<std::int64_t>(sizeof(float)), subrecord_limit);
  return static_cast<std::uint64_t>(snapshot_records(species)) * static_cast<std::uint64_t>(framing.framed_bytes());
}

snapshot_file::snapshot_file(std::string path, std::int64_t subrecord_limit)
    : snapshot_file(std::move(path), snapshot_file_state{}, subrecord_limit, false) {}

snapshot_file::snapshot_file(std::string path, const snapshot_file_state& kept, std::int64_t subrecord_limit)
    : snapshot_file(std::move(path), kept, subrecord_limit, true) {}

snapshot_file::snapshot_file(std::string path, const snapshot_file_state& kept, std::int64_t subrecord_limit, bool)
    : path_(std::move(path)), state_(kept), framing_(record_data_bytes(), subrecord_limit) {
  using namespace domain;
  // The memory for one snapshot's pieces is obtained before the file is
  // touched, so that a run short of memory leaves the file as it was.
  const auto records = static_cast<std::size_t>(snapshot_records(static_cast<int>(species.size())));
  const auto markers = static_cast<std::size_t>(8 * framing_.subrecords()) * records;
  const auto rows = static_cast<std::size_t>(jpe - jps + 1);
  const std::size_t pieces = records * (rows + markers / 4 + 8);
  processes::together([&] {
    processes::test_fault(processes::fault_point::snapshot_open);
    try {
      if (processes::rank() == 0) markers_.resize(markers);
      rows_.reserve(rows);
      pieces_.reserve(pieces);
    } catch (const std::bad_alloc&) {
      throw run_failure(system_reason(
          "cannot allocate the output buffers of " + path_ + " (" +
              std::to_string(markers + rows * sizeof(data_piece) + pieces * sizeof(shared_file::piece)) + " bytes)",
          ENOMEM));
    }
    if (processes::rank() == 0) refuse_read_only(path_);
  });
  // A collective that agrees on its own failures.
  file_.emplace(path_, kept.whole.length);
}

std::uint64_t snapshot_file::snapshots() const noexcept { return state_.snapshots; }

void snapshot_file::write(step_team* team) {
  using namespace domain;
  const std::uint64_t start = state_.whole.length;
  const auto record_bytes = static_cast<std::uint64_t>(framing_.framed_bytes());
  const std::vector<const float*> fields = snapshot_arrays();
  const std::uint64_t end = start + fields.size() * record_bytes;
  const std::int64_t row_length = ide - ids + 1;
  std::uint32_t share = 0;
  step_team alone(1);
  processes::together([&] {
    processes::test_fault(processes::fault_point::snapshot_write, ++writes_);
    pieces_.clear();
    int r = 0;
    for (const float* field : fields) {
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
    // This process's share of the snapshot's CRC, taken in parts by the
    // team's threads; the shares combine by xor.
    share = crc_share(pieces_, end, team != nullptr ? *team : alone);
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
  state_.last = {end - start, crc};
  state_.whole = concatenated(state_.whole, state_.last);
  ++state_.snapshots;
}

void snapshot_file::start_writeback() { file_->start_writeback(); }

void snapshot_file::sync() { file_->sync(); }

void snapshot_file::close() { file_->close(); }
