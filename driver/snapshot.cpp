#include "driver/snapshot.hpp"

#include <cerrno>
#include <filesystem>
#include <initializer_list>
#include <new>

#include "grid/domain.hpp"
#include "grid/failure.hpp"

namespace {
constexpr std::size_t file_buffer_bytes = std::size_t{1} << 20;
}

snapshot_file::snapshot_file(std::string path) : path_(std::move(path)) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status st = fs::status(path_, ec);
  // The system lets root overwrite a file that nobody may write; the run
  // refuses it for everyone, with the reason any other user would get.
  if (!ec && fs::is_regular_file(st)) {
    constexpr fs::perms writable = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if ((st.permissions() & writable) == fs::perms::none) throw run_failure(system_reason("cannot open " + path_, EACCES));
  }
  // The memory the writer needs is obtained before the file is created, so
  // that a run short of memory leaves no file behind.
  const auto rows = static_cast<std::size_t>(domain::jde - domain::jds + 1);
  try {
    buffer_.resize(file_buffer_bytes);
    rows_.resize(rows);
  } catch (const std::bad_alloc&) {
    throw run_failure(system_reason("cannot allocate the output buffers of " + path_ + " (" +
                                        std::to_string(file_buffer_bytes + rows * sizeof(byte_piece)) + " bytes)",
                                    ENOMEM));
  }
  errno = 0;
  file_ = std::fopen(path_.c_str(), "wb");
  if (file_ == nullptr) throw run_failure(system_reason("cannot open " + path_, errno != 0 ? errno : EIO));
  std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
}

snapshot_file::~snapshot_file() {
  if (file_ != nullptr) std::fclose(file_);
}

void snapshot_file::write_field(const float* field) {
  using namespace domain;
  const std::size_t row_bytes = static_cast<std::size_t>(ide - ids + 1) * sizeof(float);
  for (int j = jds; j <= jde; ++j) rows_[static_cast<std::size_t>(j - jds)] = {field + at(ids, j, ims, ime, jms), row_bytes};
  write_record(file_, path_, rows_);
}

void snapshot_file::write() {
  using namespace domain;
  for (const float* field : {q, dqdt, h, us, vs, domain::div, vort}) write_field(field);
  errno = 0;
  if (std::fflush(file_) != 0) throw run_failure(system_reason("cannot write " + path_, errno != 0 ? errno : EIO));
}

void snapshot_file::close() {
  std::FILE* f = file_;
  file_ = nullptr;
  errno = 0;
  if (std::fclose(f) != 0) throw run_failure(system_reason("cannot close " + path_, errno != 0 ? errno : EIO));
}
