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
#include "driver/netcdf_series.hpp"
#include "driver/snapshot.hpp"
#include "grid/domain.hpp"

namespace {

// The module's arrays of the fields a checkpoint holds: the state's, in the
// order of checkpoint_fields.
std::vector<float*> module_fields() { return domain::state().fields(); }

// Those fields of this process, as its block of the grid.
field_rows::blocks module_blocks(const std::vector<float*>& fields, const block_layout& l) {
  return {fields.data(), static_cast<int>(fields.size()), domain::bounds(), domain::patch(), l};
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

// The digest of `length` bytes of the file open on fd, from byte `first`.
byte_digest range_digest(int fd, std::uint64_t first, std::uint64_t length, const std::string& path) {
  std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(length, std::uint64_t{1} << 20)));
  byte_digest d;
  while (d.length < length) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - d.length));
    const ssize_t n = ::pread(fd, buffer.data(), want, static_cast<off_t>(first + d.length));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      throw checkpoint_error(path + ": cannot read the snapshot file: " + std::strerror(n < 0 ? errno : EIO));
    }
    d.add(buffer.data(), static_cast<std::size_t>(n));
  }
  return d;
}

// The fields' names as a list for a message: "u, v, h, q, dqdt".
std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace

std::vector<std::string> checkpoint_fields(const scenario& s) {
  // The state's fields (model_state::fields), named.
  std::vector<std::string> names{"u", "v", "h"};
  for (int k = 0; k < s.species_count(); ++k) {
    names.push_back(s.pollutant_field_name("q", k));
    names.push_back(s.pollutant_field_name("dqdt", k));
  }
  return names;
}

std::string default_checkpoint_path(const std::string& snapshot_path) { return snapshot_path + ".ckpt"; }

std::string checkpoint_path(const checkpoint_settings& settings, const std::string& snapshot_path) {
  return settings.path.empty() ? default_checkpoint_path(snapshot_path) : settings.path;
}

restart_point read_restart_point(const std::string& path, std::string* grid_position) {
  restart_point r{path, read_checkpoint(path), {}, {}};
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
  const std::vector<std::string> fields = checkpoint_fields(s);
  if (h.fields != fields) {
    throw checkpoint_error(path + ": damaged checkpoint: it holds the fields " + listed(h.fields) +
                           ", its scenario's run the fields " + listed(fields));
  }
  if (series_record_of(h.output)) return r;
  const std::optional<snapshot_file_state> snapshots = snapshot_state_of(h.output);
  if (!snapshots) {
    throw checkpoint_error(path + ": its output is of kind " + std::to_string(h.output.kind) + " (" +
                           std::to_string(h.output.bytes.size()) +
                           " bytes), neither the snapshot file nor the NetCDF files that this program writes");
  }
  r.snapshots = *snapshots;
  return r;
}

void check_snapshot_file(const std::string& path, restart_point& from, output_check how, std::uint64_t snapshot_bytes) {
  const snapshot_file_state& kept = from.snapshots;
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
  const std::uint64_t length = kept.whole.length;
  if (size < length) {
    throw checkpoint_error(path + ": the snapshot file holds " + std::to_string(size) + " bytes, fewer than the " +
                           std::to_string(length) + " that " + from.path + " recorded");
  }
  // Format 1 recorded the CRC of every byte only: all are read, and the
  // last snapshot's CRC learnt on the way.
  const bool format1 = from.contents.header.format == 1;
  const std::uint64_t last = format1 ? std::min(length, snapshot_bytes) : kept.last.length;
  if (how == output_check::full || format1) {
    const byte_digest before = range_digest(fd, 0, length - last, path);
    const byte_digest found_last = range_digest(fd, length - last, last, path);
    const byte_digest found = concatenated(before, found_last);
    if (found.crc != kept.whole.crc) {
      throw checkpoint_error(path + ": the first " + std::to_string(length) +
                             " bytes of the snapshot file are not those that " + from.path + " recorded (CRC-32 " +
                             hex(found.crc) + ", not " + hex(kept.whole.crc) + ")");
    }
    if (format1) from.snapshots = {kept.whole, snapshot_bytes > 0 ? length / snapshot_bytes : 0, found_last};
    return;
  }
  const byte_digest found = range_digest(fd, length - last, last, path);
  if (found.crc != kept.last.crc) {
    throw checkpoint_error(path + ": the last snapshot of the snapshot file (bytes " + std::to_string(length - last) +
                           " to " + std::to_string(length - 1) + ") is not the one that " + from.path +
                           " recorded (CRC-32 " + hex(found.crc) + ", not " + hex(kept.last.crc) + ")");
  }
}

void check_output(const std::string& path, restart_point& from, output_check how, std::uint64_t snapshot_bytes) {
  const std::optional<series_record> series = series_record_of(from.contents.header.output);
  if (is_netcdf_output(path) && !series) {
    throw checkpoint_error(from.path +
                           ": its run wrote a binary snapshot file, not NetCDF files; go on with an "
                           "--output that does not end in .nc");
  }
  if (!is_netcdf_output(path) && series) {
    throw checkpoint_error(from.path +
                           ": its run wrote NetCDF files, not a binary snapshot file; go on with an "
                           "--output ending in .nc");
  }
  if (!series) {
    check_snapshot_file(path, from, how, snapshot_bytes);
    return;
  }
  const int snapshots = static_cast<int>(from.scenario.snapshot_passes().size());
  const std::string problem = series_problem(series_names_of(path, snapshots), *series);
  if (!problem.empty()) throw checkpoint_error(problem + " (" + from.path + ")");
}

void restore_fields(const restart_point& from, const block_layout& l) {
  processes::test_fault(processes::fault_point::restart_read);
  const std::vector<float*> fields = module_fields();
  const field_rows::blocks mine = module_blocks(fields, l);
  if (from.contents.header.format != 1) {
    read_checkpoint_fields(from.path, from.contents, mine);
    return;
  }
  // Format 1 is vouched for by one digest of every byte: rank 0 reads it
  // whole again and hands out the rows.
  field_rows::scatter(mine, [&](const field_rows::sink& rows) {
    if (read_checkpoint(from.path, rows).digest != from.contents.digest) {
      throw run_failure(from.path + ": the checkpoint changed after it was checked");
    }
  });
}

std::uint64_t checkpoint_bytes(const scenario& s, const block_layout& l, int rank) noexcept {
  // The band of one field of the block that a write goes through, the rows
  // on their way from a checkpoint of format 1, and on rank 0, which reads
  // and writes the header, a file buffer, a buffer to check the snapshot
  // file with and one row.
  constexpr std::uint64_t file_buffers = std::uint64_t{2} << 20;
  const std::uint64_t own = rank == 0 ? file_buffers + static_cast<std::uint64_t>(s.nx) * sizeof(float) : 0;
  const std::uint64_t band = checkpoint_band_bytes(block_patch(l, rank, s.nx, s.ny));
  return band + field_rows::buffer_bytes(l, rank, s.nx, s.ny) + own;
}

// The restart point travels as its path, what its header does not say (the
// format read, the digest, where the fields begin and the snapshot file as
// the check found it) and its header as format 2 writes it.
// A header of format 1 has no CRCs of rows; it travels with zeros in their
// place, dropped again on arrival.
std::string restart_text(const restart_point& r) {
  const checkpoint_contents& c = r.contents;
  checkpoint_header h = c.header;
  if (h.format == 1) h.row_crcs.assign(h.fields.size() * static_cast<std::size_t>(h.ny), 0);
  const auto field = [](const std::string& text) { return std::to_string(text.size()) + ":" + text; };
  return field(r.path) + field(std::to_string(h.format)) + field(std::string(c.digest.begin(), c.digest.end())) +
         field(std::to_string(c.fields_offset)) + field(snapshot_output(r.snapshots).bytes) +
         field(checkpoint_header_bytes(h));
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
  const std::uint32_t format = static_cast<std::uint32_t>(std::stoul(field()));
  const std::string digest = field();
  r.contents.fields_offset = std::stoull(field());
  const std::optional<snapshot_file_state> snapshots = snapshot_state_of({output_snapshot_file, field()});
  r.contents.header = checkpoint_header_of(field(), r.path);
  r.contents.header.format = format;
  if (format == 1) r.contents.header.row_crcs.clear();
  std::copy(digest.begin(), digest.end(), r.contents.digest.begin());
  if (snapshots) r.snapshots = *snapshots;
  r.scenario = parse_scenario(r.contents.header.scenario, r.path + " (scenario)");
  return r;
}

checkpointer::checkpointer(const checkpoint_settings& settings, const std::string& snapshot_path, const scenario& s,
                           const block_layout& l, std::function<void()> prepare)
    : layout_(l),
      prepare_(std::move(prepare)),
      path_(checkpoint_path(settings, snapshot_path)),
      every_s_(settings.every_s),
      signals_(settings.signals),
      header_{checkpoint_format, settings.program, scenario_toml(s), 0, s.nx, s.ny, checkpoint_fields(s), {}, {}},
      fields_(module_fields()),
      crash_before_rename_(settings.crash_before_rename) {}

int checkpointer::after_pass(int n, snapshot_writer& snapshots) {
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

void checkpointer::write(int n, snapshot_writer& snapshots) {
  processes::test_fault(processes::fault_point::checkpoint_write, writes_ + 1);
  // The length recorded must be on the disk before the checkpoint that
  // vouches for it.
  snapshots.sync();
  header_.pass = n;
  header_.output = snapshots.record();
  ++writes_;
  const checkpoint_write_test test{writes_, writes_ == crash_before_rename_};
  if (prepare_) prepare_();
  write_checkpoint(path_, header_, module_blocks(fields_, layout_), test);
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
