#include "driver/checkpoint.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/stat.h>
#include <unistd.h>

#include "decomposition/process_group.hpp"
#include "decomposition/shared_file.hpp"
#include "decomposition/test_fault.hpp"
#include "driver/file_sync.hpp"
#include "grid/domain.hpp"
#include "grid/failure.hpp"

// The fields are written as the bytes of the floats in memory.
static_assert(std::endian::native == std::endian::little, "the checkpoint's floats are little-endian");

namespace {

// The checkpoint is read in pieces of this size: its header alone reads
// little beyond itself.
constexpr std::size_t io_buffer_bytes = std::size_t{1} << 16;
// Texts longer than these are not of this program's making.
constexpr std::uint32_t max_program_bytes = 4096;
constexpr std::uint32_t max_scenario_bytes = std::uint32_t{1} << 30;
constexpr std::uint32_t max_fields = 1u << 16;
constexpr std::uint32_t max_field_name_bytes = 4096;
constexpr std::uint32_t max_output_bytes = std::uint32_t{1} << 24;

// SHA-256 through Nettle (the library of GnuTLS): the same digest as any
// other, from a library that costs the process little memory to load.
class sha256 {
 public:
  sha256() noexcept { sha256_init(&ctx_); }
  void add(const void* data, std::size_t size) noexcept {
    sha256_update(&ctx_, size, static_cast<const std::uint8_t*>(data));
  }
  checkpoint_digest finish() noexcept {
    checkpoint_digest d{};
    sha256_digest(&ctx_, d.size(), d.data());
    return d;
  }

 private:
  sha256_ctx ctx_;
};

struct fd_closer {
  int fd;
  ~fd_closer() {
    if (fd >= 0) ::close(fd);
  }
};

// The checkpoint's bytes as they are read, the digest taken of each one.
class checkpoint_in {
 public:
  checkpoint_in(int fd, std::string path, std::uint64_t size) : fd_(fd), path_(std::move(path)), size_(size) {
    try {
      buffer_.resize(io_buffer_bytes);
    } catch (const std::bad_alloc&) {
      throw checkpoint_error(path_ + ": cannot allocate a buffer to read it (" + std::to_string(io_buffer_bytes) +
                             " bytes)");
    }
  }

  // The bytes of a checkpoint already in memory, as if read from a file.
  checkpoint_in(const std::string& bytes, std::string name)
      : fd_(-1),
        path_(std::move(name)),
        size_(bytes.size()),
        buffer_(bytes.begin(), bytes.end()),
        filled_(bytes.size()) {}

  std::uint64_t position() const noexcept { return position_; }
  bool at_end() const noexcept { return position_ == size_; }

  // The next bytes, into `data`; false if the file ends first.
  bool bytes(void* data, std::size_t size, bool digest = true) {
    if (size > size_ - position_) return false;
    auto* p = static_cast<unsigned char*>(data);
    while (size > 0) {
      if (at_ == filled_) fill();
      const std::size_t n = std::min(size, filled_ - at_);
      std::memcpy(p, buffer_.data() + at_, n);
      if (digest) digest_.add(p, n);
      at_ += n;
      p += n;
      size -= n;
      position_ += n;
    }
    return true;
  }
  template <class T>
  bool number(T& value) {
    unsigned char le[sizeof(T)];
    if (!bytes(le, sizeof le)) return false;
    std::make_unsigned_t<T> bits = 0;
    for (std::size_t k = 0; k < sizeof(T); ++k) bits |= static_cast<std::make_unsigned_t<T>>(le[k]) << (8 * k);
    value = static_cast<T>(bits);
    return true;
  }
  bool text(std::string& s, std::uint32_t limit) {
    std::uint32_t n = 0;
    if (!number(n) || n > limit || n > size_ - position_) return false;
    s.resize(n);
    return bytes(s.data(), n);
  }
  checkpoint_digest digest() { return digest_.finish(); }

 private:
  void fill() {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw checkpoint_error(path_ + ": cannot read the checkpoint: " + std::strerror(errno));
      if (n == 0) throw checkpoint_error(path_ + ": the checkpoint became shorter while it was read");
      at_ = 0;
      filled_ = static_cast<std::size_t>(n);
      return;
    }
  }

  int fd_;
  std::string path_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
  std::vector<unsigned char> buffer_;
  std::size_t at_ = 0;
  std::size_t filled_ = 0;
  sha256 digest_;
};

// Little-endian numbers and length-prefixed texts, appended to a string.
class le_bytes {
 public:
  explicit le_bytes(std::string& out) : out_(out) {}
  template <class T>
  void number(T value) {
    const auto bits = static_cast<std::make_unsigned_t<T>>(value);
    for (std::size_t k = 0; k < sizeof(T); ++k) out_.push_back(static_cast<char>(bits >> (8 * k)));
  }
  void text(const std::string& s) {
    number(static_cast<std::uint32_t>(s.size()));
    out_ += s;
  }

 private:
  std::string& out_;
};

// The interior points of the grid that the blocks belong to.
std::int64_t grid_columns(const field_rows::blocks& b) { return b.bounds.ide - b.bounds.ids + 1; }
std::int64_t grid_rows(const field_rows::blocks& b) { return b.bounds.jde - b.bounds.jds + 1; }

// Calls each(f, j, part, offset) for every row j of the block of field f,
// in the order of the file: `part` is the block's part of the row, `offset`
// its place among the fields' bytes.
template <class Each>
void for_each_field_row(const field_rows::blocks& b, int f, Each&& each) {
  const grid_bounds& g = b.bounds;
  const patch_bounds& p = b.patch;
  const std::int64_t nx = grid_columns(b), ny = grid_rows(b);
  for (int j = p.jps; j <= p.jpe; ++j) {
    const std::int64_t point = (f * ny + (j - g.jds)) * nx + (p.ips - g.ids);
    each(f, j, b.fields[f] + at(p.ips, j, g.ims, g.ime, g.jms), static_cast<std::uint64_t>(point) * sizeof(float));
  }
}

// The same for every field, one after another.
template <class Each>
void for_each_block_row(const field_rows::blocks& b, Each&& each) {
  for (int f = 0; f < b.count; ++f) for_each_field_row(b, f, each);
}

// The bytes of the block's part of each row.
std::size_t part_bytes(const field_rows::blocks& b) {
  return static_cast<std::size_t>(b.patch.ipe - b.patch.ips + 1) * sizeof(float);
}

// This process's shares of the rows' CRC-32s, at [f ny + j - 1]: the CRC of
// its part of the row, shifted by the bytes that follow the part in the row.
// The shares of all processes combine by exclusive or into the rows' CRCs.
void add_row_crc_shares(const field_rows::blocks& b, std::vector<std::uint32_t>& crcs) {
  const crc_shifter after_part(static_cast<std::uint64_t>(b.bounds.ide - b.patch.ipe) * sizeof(float));
  const std::size_t bytes = part_bytes(b);
  const std::int64_t ny = grid_rows(b);
  for_each_block_row(b, [&](int f, int j, const float* part, std::uint64_t) {
    byte_digest d;
    d.add(part, bytes);
    crcs[static_cast<std::size_t>(f * ny + (j - b.bounds.jds))] ^= after_part(d.crc);
  });
}

// The rows of every field of the grid, and of the block.
std::size_t row_count(const field_rows::blocks& b) {
  return static_cast<std::size_t>(b.count) * static_cast<std::size_t>(grid_rows(b));
}
std::size_t block_rows(const field_rows::blocks& b) { return static_cast<std::size_t>(b.patch.jpe - b.patch.jps + 1); }
std::size_t block_row_count(const field_rows::blocks& b) { return static_cast<std::size_t>(b.count) * block_rows(b); }

// Adds a piece to the end of the list; a piece that goes on from the last
// one both in memory and in the file lengthens it instead.
void append_piece(std::vector<shared_file::piece>& pieces, const shared_file::piece& p) {
  if (!pieces.empty()) {
    shared_file::piece& last = pieces.back();
    if (last.offset + last.size == p.offset && static_cast<const char*>(last.data) + last.size == p.data) {
      last.size += p.size;
      return;
    }
  }
  pieces.push_back(p);
}

}  // namespace

std::size_t checkpoint_band_bytes(const patch_bounds& p) {
  return static_cast<std::size_t>(p.ipe - p.ips + 1) * static_cast<std::size_t>(p.jpe - p.jps + 1) * sizeof(float);
}

void band_pieces(const field_rows::blocks& b, int f, float* band, std::uint64_t fields_offset,
                 std::vector<shared_file::piece>& pieces) {
  const auto n = static_cast<std::size_t>(b.patch.ipe - b.patch.ips + 1);
  float* next = band;
  for_each_field_row(b, f, [&](int, int, const float* part, std::uint64_t offset) {
    std::copy_n(part, n, next);
    append_piece(pieces, {fields_offset + offset, next, n * sizeof(float)});
    next += n;
  });
}

checkpoint_output snapshot_output(const snapshot_file_state& s) {
  checkpoint_output o{output_snapshot_file, {}};
  le_bytes out(o.bytes);
  out.number(s.whole.length);
  out.number(s.whole.crc);
  out.number(s.snapshots);
  out.number(s.last.length);
  out.number(s.last.crc);
  return o;
}

std::optional<snapshot_file_state> snapshot_state_of(const checkpoint_output& o) {
  if (o.kind != output_snapshot_file) return std::nullopt;
  snapshot_file_state s;
  checkpoint_in in(o.bytes, "the output");
  if (!in.number(s.whole.length) || !in.number(s.whole.crc) || !in.number(s.snapshots) || !in.number(s.last.length) ||
      !in.number(s.last.crc) || !in.at_end()) {
    return std::nullopt;
  }
  return s;
}

std::string checkpoint_header_bytes(const checkpoint_header& h) {
  std::string bytes(checkpoint_magic, sizeof checkpoint_magic);
  le_bytes out(bytes);
  out.number(checkpoint_format);
  out.text(h.program);
  out.text(h.scenario);
  out.number(h.pass);
  out.number(h.nx);
  out.number(h.ny);
  out.number(static_cast<std::uint32_t>(h.fields.size()));
  for (const std::string& name : h.fields) out.text(name);
  out.number(h.output.kind);
  out.text(h.output.bytes);
  for (const std::uint32_t crc : h.row_crcs) out.number(crc);
  sha256 digest;
  digest.add(bytes.data(), bytes.size());
  const checkpoint_digest d = digest.finish();
  bytes.append(d.begin(), d.end());
  return bytes;
}

void write_checkpoint(const std::string& path, const checkpoint_header& header, const field_rows::blocks& mine,
                      const checkpoint_write_test& test) {
  const std::string temporary = checkpoint_temporary(path);
  const bool writes_header = processes::rank() == 0;
  // This process's own work first: its shares of the rows' CRCs, and room
  // for its band and for the pieces of one field (at most one a row, and the
  // header), so that nothing is allocated between the collectives below.
  checkpoint_header h;
  std::vector<float> band;
  std::vector<shared_file::piece> pieces;
  processes::together([&] {
    processes::test_fault(processes::fault_point::checkpoint_write_block, test.write);
    h = header;
    h.row_crcs.assign(row_count(mine), 0);
    band.resize(checkpoint_band_bytes(mine.patch) / sizeof(float));
    pieces.reserve(block_rows(mine) + 1);
    add_row_crc_shares(mine, h.row_crcs);
  });
  processes::exclusive_or(h.row_crcs);
  // Then the header, which gives the fields their place, and on rank 0 a
  // new temporary file: what an interrupted write left behind there is not
  // a checkpoint (the rename never happened, so `path` still holds the one
  // before).
  std::string head;
  processes::together([&] {
    head = checkpoint_header_bytes(h);
    if (!writes_header) return;
    if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
      throw run_failure(system_reason("cannot replace " + temporary, errno));
    }
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) throw run_failure(system_reason("cannot create " + temporary, errno));
    ::close(fd);
  });
  try {
    shared_file file(temporary, 0, shared_file::transfer::direct);
    // One field at a time, through the band; the header goes with the
    // first.
    for (int f = 0; f < mine.count; ++f) {
      pieces.clear();
      if (writes_header && f == 0) pieces.push_back({0, head.data(), head.size()});
      band_pieces(mine, f, band.data(), head.size(), pieces);
      processes::together([&] { file.write(pieces); });
    }
    processes::together([&] { file.sync(); });
    processes::together([&] { file.close(); });
  } catch (...) {
    if (writes_header) ::unlink(temporary.c_str());
    throw;
  }
  if (test.crash_before_rename && writes_header) ::kill(::getpid(), SIGKILL);
  processes::together([&] {
    if (!writes_header) return;
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
      const int e = errno;
      ::unlink(temporary.c_str());
      throw run_failure(system_reason("cannot rename " + temporary + " to " + path, e));
    }
    sync_directory(path);
  });
}

namespace {

// The parts of a header after the version that format 1 and format 2 share:
// the program, the scenario, the pass and the grid.
bool read_common(checkpoint_in& in, checkpoint_header& h) {
  return in.text(h.program, max_program_bytes) && in.text(h.scenario, max_scenario_bytes) && in.number(h.pass) &&
         in.number(h.nx) && in.number(h.ny);
}

// No more than 2^57 points, so that no byte count below can overflow.
bool plausible_grid(const checkpoint_header& h) {
  return h.nx >= 1 && h.ny >= 1 && static_cast<std::uint64_t>(h.nx) * static_cast<std::uint64_t>(h.ny) <= (1ull << 57);
}

// Format 2's list of fields, its output and its rows' CRCs, after the grid.
bool read_format2(checkpoint_in& in, checkpoint_header& h, std::uint64_t size) {
  std::uint32_t count = 0;
  if (!in.number(count) || count < 1 || count > max_fields) return false;
  h.fields.resize(count);
  for (std::string& name : h.fields) {
    if (!in.text(name, max_field_name_bytes)) return false;
  }
  if (!in.number(h.output.kind) || !in.text(h.output.bytes, max_output_bytes)) return false;
  const std::uint64_t crcs = std::uint64_t{count} * static_cast<std::uint64_t>(h.ny);
  if (crcs * 4 > size - in.position()) return false;
  h.row_crcs.resize(static_cast<std::size_t>(crcs));
  for (std::uint32_t& crc : h.row_crcs) {
    if (!in.number(crc)) return false;
  }
  return true;
}

}  // namespace

checkpoint_header checkpoint_header_of(const std::string& bytes, const std::string& name) {
  checkpoint_in in(bytes, name);
  checkpoint_header h;
  char magic[sizeof checkpoint_magic];
  const bool whole = in.bytes(magic, sizeof magic) && std::memcmp(magic, checkpoint_magic, sizeof magic) == 0 &&
                     in.number(h.format) && h.format == checkpoint_format && read_common(in, h) && plausible_grid(h) &&
                     read_format2(in, h, bytes.size());
  const checkpoint_digest computed = in.digest();
  checkpoint_digest stored{};
  if (!whole || !in.bytes(stored.data(), stored.size(), false) || stored != computed || !in.at_end()) {
    throw checkpoint_error(name + ": not the header of a checkpoint");
  }
  return h;
}

checkpoint_contents read_checkpoint(const std::string& path, const checkpoint_row_sink& rows) {
  const auto refuse = [&](const std::string& what) { return checkpoint_error(path + ": " + what); };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw refuse(std::string("cannot read the checkpoint: ") + std::strerror(errno));
  const fd_closer closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw refuse(std::string("cannot read the checkpoint: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) throw refuse(std::string("cannot read the checkpoint: ") + std::strerror(EISDIR));
  if (!S_ISREG(st.st_mode)) throw refuse("not a plume checkpoint: not a regular file");
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size == 0) throw refuse("not a plume checkpoint: the file is empty");

  checkpoint_in in(fd, path, size);
  const auto truncated_header = [&] {
    return refuse("truncated checkpoint: its " + std::to_string(size) + " bytes end inside its header");
  };
  char magic[sizeof checkpoint_magic];
  const std::size_t magic_bytes = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof magic));
  in.bytes(magic, magic_bytes);
  if (std::memcmp(magic, checkpoint_magic, magic_bytes) != 0) {
    throw refuse("not a plume checkpoint: it does not begin with PLUMECKP");
  }
  checkpoint_contents c;
  checkpoint_header& h = c.header;
  if (magic_bytes < sizeof magic || !in.number(h.format)) throw truncated_header();
  if (h.format < checkpoint_oldest_format || h.format > checkpoint_format) {
    throw refuse("checkpoint format version " + std::to_string(h.format) + "; this program reads versions " +
                 std::to_string(checkpoint_oldest_format) + " and " + std::to_string(checkpoint_format));
  }
  const bool format1 = h.format == 1;
  snapshot_file_state snapshots;
  if (!read_common(in, h)) throw truncated_header();
  if (format1 && (!in.number(snapshots.whole.length) || !in.number(snapshots.whole.crc))) throw truncated_header();
  if (!plausible_grid(h)) {
    throw refuse("damaged checkpoint: its header gives a grid of " + std::to_string(h.nx) + " x " +
                 std::to_string(h.ny) + " points");
  }
  if (format1) {
    h.fields.assign(std::begin(format1_field_names), std::end(format1_field_names));
    h.output = snapshot_output(snapshots);
  } else if (!read_format2(in, h, size)) {
    throw truncated_header();
  }
  // Format 2: the header's own digest ends it.
  if (!format1) {
    c.digest = in.digest();
    checkpoint_digest stored{};
    if (!in.bytes(stored.data(), stored.size(), false)) throw truncated_header();
    if (stored != c.digest) throw refuse("damaged checkpoint: the SHA-256 digest of its header does not match it");
  }
  c.fields_offset = in.position();
  const std::uint64_t row_bytes = static_cast<std::uint64_t>(h.nx) * sizeof(float);
  const std::uint64_t whole = c.fields_offset + h.fields.size() * row_bytes * static_cast<std::uint64_t>(h.ny) +
                              (format1 ? sizeof(checkpoint_digest) : 0);
  if (size < whole) {
    throw refuse("truncated checkpoint: " + std::to_string(size) + " of the " + std::to_string(whole) +
                 " bytes its header announces");
  }
  if (size > whole) {
    throw refuse("damaged checkpoint: " + std::to_string(size - whole) + " bytes more than the " +
                 std::to_string(whole) + " its header announces");
  }
  if (!format1) return c;
  std::vector<float> row;
  try {
    row.resize(static_cast<std::size_t>(h.nx));
  } catch (const std::bad_alloc&) {
    throw refuse("cannot allocate a row to read it (" + std::to_string(row_bytes) + " bytes)");
  }
  for (int f = 0; f < format1_fields; ++f) {
    for (int j = 1; j <= h.ny; ++j) {
      in.bytes(row.data(), static_cast<std::size_t>(row_bytes));
      if (rows) rows(f, j, row.data());
    }
  }
  const checkpoint_digest computed = in.digest();
  in.bytes(c.digest.data(), c.digest.size(), false);
  if (computed != c.digest) throw refuse("damaged checkpoint: its SHA-256 digest does not match its contents");
  return c;
}

void read_checkpoint_fields(const std::string& path, const checkpoint_contents& c, const field_rows::blocks& mine) {
  const checkpoint_header& h = c.header;
  const bool reads_header = processes::rank() == 0;
  // This process's own work first: room for its shares of the rows' CRCs,
  // and the list of its pieces; rank 0 reads the header again, to learn
  // whether the file is still the one that was checked.
  std::vector<std::uint32_t> crcs;
  std::vector<shared_read_piece> pieces;
  std::string head;
  processes::together([&] {
    processes::test_fault(processes::fault_point::restart_read_block);
    if (h.row_crcs.size() != row_count(mine)) {
      throw run_failure(path + ": the checkpoint's CRCs are not those of " + std::to_string(mine.count) +
                        " fields of " + std::to_string(grid_rows(mine)) + " rows");
    }
    crcs.assign(row_count(mine), 0);
    pieces.reserve(block_row_count(mine) + 1);
    if (reads_header) {
      head.resize(static_cast<std::size_t>(c.fields_offset));
      pieces.push_back({0, head.data(), head.size()});
    }
    const std::size_t bytes = part_bytes(mine);
    for_each_block_row(mine, [&](int, int, float* part, std::uint64_t offset) {
      pieces.push_back({c.fields_offset + offset, part, bytes});
    });
  });
  const std::string failed = read_shared(path, pieces);
  processes::together([&] {
    if (!failed.empty()) throw run_failure(failed);
    if (reads_header && head != checkpoint_header_bytes(h)) {
      throw run_failure(path + ": the checkpoint changed after it was checked");
    }
  });
  add_row_crc_shares(mine, crcs);
  processes::exclusive_or(crcs);
  // Every process holds the same CRCs now, and refuses the same row.
  const auto ny = static_cast<std::size_t>(h.ny);
  for (std::size_t k = 0; k < crcs.size(); ++k) {
    if (crcs[k] != h.row_crcs[k]) {
      throw checkpoint_error(path + ": damaged checkpoint: row " + std::to_string(k % ny + 1) + " of its field " +
                             h.fields[k / ny] + " does not match its CRC-32");
    }
  }
}
