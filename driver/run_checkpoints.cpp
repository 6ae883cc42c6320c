#include "driver/run_checkpoints.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "decomposition/field_rows.hpp"
#include "decomposition/test_fault.hpp"
#include "driver/snapshot.hpp"
#include "grid/domain.hpp"

namespace {

// The module's fields in the checkpoint's order, as blocks of the grid.
field_rows::blocks module_blocks(float* const (&fields)[checkpoint_fields], const block_layout& l) {
  return {fields, checkpoint_fields, domain::bounds(), domain::patch(), l};
}

std::string hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

// The word as a shell reads it back: plain when it holds nothing the shell
// treats specially, else in single quotes.
std::string shell_word(const std::string& w) {
  const bool plain = !w.empty() && std::all_of(w.begin(), w.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("_./-+=:,@%", c) != nullptr;
  });
  if (plain) return w;
  std::string quoted = "'";
  for (char c : w) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The digest of the first `length` bytes of the file open on fd.
byte_digest prefix_digest(int fd, std::uint64_t length, const std::string& path) {
  std::vector<unsigned char> buffer(std::size_t{1} << 20);
  byte_digest d;
  while (d.length < length) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - d.length));
    const ssize_t n = ::read(fd, buffer.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      throw checkpoint_error(path + ": cannot read the snapshot file: " + std::strerror(n < 0 ? errno : EIO));
    }
    d.add(buffer.data(), static_cast<std::size_t>(n));
  }
  return d;
}

}  // namespace

std::string default_checkpoint_path(const std::string& snapshot_path) { return snapshot_path + ".ckpt"; }

std::string checkpoint_path(const checkpoint_settings& settings, const std::string& snapshot_path) {
  return settings.path.empty() ? default_checkpoint_path(snapshot_path) : settings.path;
}

restart_point read_restart_point(const std::string& path, std::string* grid_position) {
  restart_point r{path, read_checkpoint(path), {}};
  const checkpoint_header& h = r.contents.header;
  r.scenario = parse_scenario(h.scenario, path + " (scenario)", grid_position);
  const scenario& s = r.scenario;
  if (h.nx != s.nx || h.ny != s.ny) {
    throw checkpoint_error(path + ": damaged checkpoint: its fields are of " + std::to_string(h.nx) + " x " +
                           std::to_string(h.ny) + " points, its scenario's grid of " + std::to_string(s.nx) + " x " +
                           std::to_string(s.ny));
  }
  if (h.pass < 0 || h.pass > s.duration_s) {
    throw checkpoint_error(path + ": damaged checkpoint: pass " + std::to_string(h.pass) +
                           " is not one of its scenario's passes 0 to " + std::to_string(s.duration_s));
  }
  return r;
}

void check_snapshot_file(const std::string& path, const restart_point& from) {
  const byte_digest& kept = from.contents.header.snapshots;
  const std::string of = " of " + from.path;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw checkpoint_error(path + ": cannot read the snapshot file" + of + ": " + std::strerror(errno));
  struct closer {
    int fd;
    ~closer() { ::close(fd); }
  } close_it{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    throw checkpoint_error(path + ": the snapshot file" + of + " is not a regular file");
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size < kept.length) {
    throw checkpoint_error(path + ": the snapshot file holds " + std::to_string(size) + " bytes, fewer than the " +
                           std::to_string(kept.length) + " that " + from.path + " recorded");
  }
  const byte_digest found = prefix_digest(fd, kept.length, path);
  if (found.crc != kept.crc) {
    throw checkpoint_error(path + ": the first " + std::to_string(kept.length) +
                           " bytes of the snapshot file are not those that " + from.path + " recorded (CRC-32 " +
                           hex(found.crc) + ", not " + hex(kept.crc) + ")");
  }
}

void restore_fields(const restart_point& from, const block_layout& l) {
  using namespace domain;
  processes::test_fault(processes::fault_point::restart_read);
  float* const fields[checkpoint_fields] = {u, v, h, q, dqdt};
  field_rows::scatter(module_blocks(fields, l), [&](const field_rows::sink& rows) {
    if (read_checkpoint(from.path, rows).digest != from.contents.digest) {
      throw checkpoint_error(from.path + ": the checkpoint changed after it was checked");
    }
  });
}

std::uint64_t checkpoint_bytes(const scenario& s, const block_layout& l, int rank) noexcept {
  // The rows on their way, and on rank 0, which reads and writes the file,
  // a file buffer, a buffer to check the snapshot file with and one row.
  constexpr std::uint64_t file_buffers = std::uint64_t{2} << 20;
  const std::uint64_t own = rank == 0 ? file_buffers + static_cast<std::uint64_t>(s.nx) * sizeof(float) : 0;
  return field_rows::buffer_bytes(l, rank, s.nx, s.ny) + own;
}

std::string restart_text(const restart_point& r) {
  const checkpoint_header& h = r.contents.header;
  std::string digest(r.contents.digest.begin(), r.contents.digest.end());
  const auto field = [](const std::string& text) { return std::to_string(text.size()) + ":" + text; };
  return field(r.path) + field(h.program) + field(h.scenario) + field(digest) + std::to_string(h.pass) + " " +
         std::to_string(h.nx) + " " + std::to_string(h.ny) + " " + std::to_string(h.snapshots.length) + " " +
         std::to_string(h.snapshots.crc);
}

restart_point restart_from_text(const std::string& text) {
  std::size_t at = 0;
  const auto field = [&] {
    const std::size_t colon = text.find(':', at);
    const std::size_t n = std::stoul(text.substr(at, colon - at));
    std::string value = text.substr(colon + 1, n);
    at = colon + 1 + n;
    return value;
  };
  restart_point r;
  r.path = field();
  checkpoint_header& h = r.contents.header;
  h.program = field();
  h.scenario = field();
  const std::string digest = field();
  std::copy(digest.begin(), digest.end(), r.contents.digest.begin());
  unsigned long long length = 0, crc = 0;
  std::sscanf(text.c_str() + at, "%d %d %d %llu %llu", &h.pass, &h.nx, &h.ny, &length, &crc);
  h.snapshots = {length, static_cast<std::uint32_t>(crc)};
  r.scenario = parse_scenario(h.scenario, r.path + " (scenario)");
  return r;
}

checkpointer::checkpointer(const checkpoint_settings& settings, const std::string& snapshot_path, const scenario& s,
                           const block_layout& l, std::function<void()> prepare)
    : layout_(l),
      prepare_(std::move(prepare)),
      path_(checkpoint_path(settings, snapshot_path)),
      every_s_(settings.every_s),
      signals_(settings.signals),
      header_{settings.program, scenario_toml(s), 0, s.nx, s.ny, {}},
      crash_before_rename_(settings.crash_before_rename) {}

int checkpointer::after_pass(int n, snapshot_file& snapshots) {
  const bool scheduled = every_s_ > 0 && n > 0 && n % every_s_ == 0;
  if (signals_ == nullptr) {
    if (scheduled) write(n, snapshots);
    return 0;
  }
  // The signals of every process: a checkpoint asked for (1), a stop by
  // SIGTERM (2) or by SIGINT (4).
  int mine = signals_->take_checkpoint_request() ? 1 : 0;
  mine |= signals_->stop() == SIGTERM ? 2 : signals_->stop() == SIGINT ? 4 : 0;
  const int all = flags_.agree(mine);
  int stop = (all & 2) != 0 ? SIGTERM : (all & 4) != 0 ? SIGINT : 0;
  if (!scheduled && (all & 1) == 0 && stop == 0) return 0;
  write(n, snapshots);
  // A request or a stop that came while the checkpoint was written is
  // answered by it: it holds the state after this pass.
  signals_->take_checkpoint_request();
  if (stop == 0) stop = static_cast<int>(processes::max(signals_->stop()));
  return stop;
}

void checkpointer::write(int n, snapshot_file& snapshots) {
  using namespace domain;
  processes::test_fault(processes::fault_point::checkpoint_write, writes_ + 1);
  // The length recorded must be on the disk before the checkpoint that
  // vouches for it.
  snapshots.sync();
  header_.pass = n;
  header_.snapshots = snapshots.digest();
  const bool crash = ++writes_ == crash_before_rename_;
  if (prepare_) prepare_();
  float* const fields[checkpoint_fields] = {u, v, h, q, dqdt};
  field_rows::gather(module_blocks(fields, layout_),
                     [&](const field_rows::source& rows) { write_checkpoint(path_, header_, rows, crash); });
}

std::string go_on_command(const checkpoint_settings& settings, const std::string& snapshot_path,
                          const std::string& default_snapshot_path) {
  const std::string path = checkpoint_path(settings, snapshot_path);
  std::string command = "plume --restart " + shell_word(path);
  if (snapshot_path != default_snapshot_path) command += " --output " + shell_word(snapshot_path);
  if (path != default_checkpoint_path(snapshot_path)) command += " --checkpoint " + shell_word(path);
  if (settings.every_s > 0) command += " --checkpoint-every " + std::to_string(settings.every_s);
  return command;
}
