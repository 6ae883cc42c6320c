// The file of a run under MPI: MPI-IO, every process writing its own pieces
// collectively through a file view of exactly those bytes.
#include <mpi.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "decomposition/process_group.hpp"
#include "decomposition/shared_file.hpp"
#include "grid/failure.hpp"

namespace {

// Pieces of one collective write hold at most this many bytes on a process,
// and one piece at most one int's worth: MPI counts bytes in int.
constexpr std::size_t round_bytes = std::size_t{1} << 30;

// The reason of a failed MPI-IO call: the system's words for the classes
// that are the system's own failures (so that a full disk reads as it does
// in a run of one process), MPI's for the rest.
std::string mpi_reason(int code) {
  int error_class = 0;
  MPI_Error_class(code, &error_class);
  const struct {
    int mpi;
    int system;
  } known[] = {{MPI_ERR_NO_SPACE, ENOSPC}, {MPI_ERR_QUOTA, EDQUOT}, {MPI_ERR_ACCESS, EACCES},
               {MPI_ERR_READ_ONLY, EROFS}, {MPI_ERR_NO_SUCH_FILE, ENOENT}, {MPI_ERR_BAD_FILE, EINVAL}};
  for (const auto& k : known) {
    if (k.mpi == error_class) return std::strerror(k.system);
  }
  char text[MPI_MAX_ERROR_STRING];
  int length = 0;
  MPI_Error_string(code, text, &length);
  return std::string(text, static_cast<std::size_t>(length));
}

// MPI-IO reports a failed write as an input/output error whatever the
// system said. The system's reason is named as a run of one process would:
// the error it left (`err`, errno just after the write) where that is one
// of a write that found no room, else the two usual causes looked for.
std::string write_reason(int code, int err, const std::string& path, std::uint64_t end) {
  int error_class = 0;
  MPI_Error_class(code, &error_class);
  if (error_class == MPI_ERR_IO) {
    if (is_failed_write(err)) return std::strerror(err);
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && end > limit.rlim_cur) {
      return std::strerror(EFBIG);
    }
    const std::size_t slash = path.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    struct statvfs room {};
    if (::statvfs(directory.c_str(), &room) == 0 && room.f_bavail == 0) return std::strerror(ENOSPC);
  }
  return mpi_reason(code);
}

// A piece of one collective transfer: at most an int's worth of bytes.
struct part {
  std::uint64_t offset;
  char* data;
  int size;
};

// The pieces (offset, data, size), each cut to at most round_bytes, shared
// out into rounds of at most round_bytes.
template <class Piece>
std::vector<std::vector<part>> rounds_of(const std::vector<Piece>& pieces) {
  std::vector<std::vector<part>> rounds(1);
  std::size_t in_round = 0;
  for (const Piece& p : pieces) {
    for (std::size_t done = 0; done < p.size;) {
      const std::size_t n = std::min(p.size - done, round_bytes - in_round);
      // MPI takes the buffer of a write as void*, never writing to it.
      char* data = const_cast<char*>(static_cast<const char*>(p.data)) + done;
      rounds.back().push_back({p.offset + done, data, static_cast<int>(n)});
      done += n;
      in_round += n;
      if (in_round == round_bytes) rounds.emplace_back(), in_round = 0;
    }
  }
  return rounds;
}

// The two types of one round of a process: its bytes in the file (the file
// view) and where they lie in memory.
struct round_types {
  MPI_Datatype in_file = MPI_DATATYPE_NULL, in_memory = MPI_DATATYPE_NULL;
  int count = 0;  // 1, or 0 for a round with nothing of this process's
  explicit round_types(const std::vector<part>& round) {
    const auto n = static_cast<int>(round.size());
    std::vector<int> lengths(round.size());
    std::vector<MPI_Aint> where(round.size()), from(round.size());
    for (std::size_t k = 0; k < round.size(); ++k) {
      lengths[k] = round[k].size;
      where[k] = static_cast<MPI_Aint>(round[k].offset);
      MPI_Get_address(round[k].data, &from[k]);
    }
    MPI_Type_create_hindexed(n, lengths.data(), where.data(), MPI_BYTE, &in_file);
    MPI_Type_create_hindexed(n, lengths.data(), from.data(), MPI_BYTE, &in_memory);
    MPI_Type_commit(&in_file);
    MPI_Type_commit(&in_memory);
    count = n > 0 ? 1 : 0;
  }
  ~round_types() {
    MPI_Type_free(&in_file);
    MPI_Type_free(&in_memory);
  }
  round_types(const round_types&) = delete;
  round_types& operator=(const round_types&) = delete;
};

// The hints that make every process read and write its own pieces itself:
// ROMIO's collective buffering (its two-phase transfers through a few
// processes) and its data sieving off. Other implementations ignore them.
class io_hints {
 public:
  explicit io_hints(bool direct) {
    if (!direct) return;
    MPI_Info_create(&info_);
    for (const char* key : {"romio_cb_write", "romio_cb_read", "romio_ds_write", "romio_ds_read"}) {
      MPI_Info_set(info_, key, "disable");
    }
  }
  ~io_hints() {
    if (info_ != MPI_INFO_NULL) MPI_Info_free(&info_);
  }
  io_hints(const io_hints&) = delete;
  io_hints& operator=(const io_hints&) = delete;
  operator MPI_Info() const noexcept { return info_; }

 private:
  MPI_Info info_ = MPI_INFO_NULL;
};

}  // namespace

struct shared_file::state {
  MPI_File file = MPI_FILE_NULL;
  bool regular = true;  // a regular file, which has a size
};

shared_file::shared_file(const std::string& path, std::uint64_t keep, transfer how)
    : path_(path), state_(std::make_unique<state>()) {
  // Rank 0 creates the file first with the system's own call, so that a
  // file that cannot be made is reported with the system's reason; MPI-IO
  // opens it after.
  // A device given as the output (/dev/null) takes the writes but has no
  // size to cut or to check.
  std::string kind = "file";
  processes::together([&] {
    if (processes::rank() != 0) return;
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) throw run_failure(system_reason("cannot open " + path_, errno));
    struct stat st {};
    if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) kind = "device";
    ::close(fd);
  });
  processes::broadcast(kind);
  state_->regular = kind == "file";
  const io_hints hints(how == transfer::direct);
  const int code =
      MPI_File_open(MPI_COMM_WORLD, path_.c_str(), MPI_MODE_WRONLY | MPI_MODE_CREATE, hints, &state_->file);
  processes::together([&] {
    if (code != MPI_SUCCESS) throw run_failure("cannot open " + path_ + ": " + mpi_reason(code));
  });
  // MPI_File_open keeps what the file held: cut it to what the run keeps.
  cut(keep);
}

shared_file::~shared_file() {
  if (state_ && state_->file != MPI_FILE_NULL) MPI_File_close(&state_->file);
}

void shared_file::write(const std::vector<piece>& pieces) {
  // Everything that takes memory comes first, agreed on, so that no process
  // fails between the collectives below: the pieces, each cut to at most
  // round_bytes, shared out into rounds of at most round_bytes.
  std::vector<std::vector<part>> rounds;
  std::uint64_t end = 0;
  processes::together([&] {
    rounds = rounds_of(pieces);
    for (const piece& p : pieces) end = std::max(end, p.offset + p.size);
  });
  // Every process takes part in as many rounds as the process with the most.
  const long long count = processes::max(static_cast<long long>(rounds.size()));
  const std::vector<part> none;
  int first_error = MPI_SUCCESS, first_errno = 0;
  for (long long k = 0; k < count; ++k) {
    // The file view holds exactly this process's bytes of the round; the
    // memory type gathers them from where they lie.
    const round_types types(k < static_cast<long long>(rounds.size()) ? rounds[static_cast<std::size_t>(k)] : none);
    errno = 0;
    int code = MPI_File_set_view(state_->file, 0, MPI_BYTE, types.in_file, "native", MPI_INFO_NULL);
    if (code == MPI_SUCCESS) {
      MPI_Status status;
      code = MPI_File_write_all(state_->file, MPI_BOTTOM, types.count, types.in_memory, &status);
    }
    if (first_error == MPI_SUCCESS) {
      first_error = code;
      first_errno = errno;
    }
  }
  processes::together([&] {
    if (first_error != MPI_SUCCESS) {
      throw run_failure("cannot write " + path_ + ": " + write_reason(first_error, first_errno, path_, end));
    }
    // A write that the system refused must not pass for one that took
    // place: the file holds at least every byte this process gave it.
    MPI_Offset size = 0;
    if (state_->regular && end > 0 &&
        (MPI_File_get_size(state_->file, &size) != MPI_SUCCESS || static_cast<std::uint64_t>(size) < end)) {
      throw run_failure("cannot write " + path_ + ": the file ends at byte " + std::to_string(size) +
                        ", before the end of what was written to it (" + std::to_string(end) + ")");
    }
  });
}

void shared_file::cut(std::uint64_t length) {
  if (!state_->regular) return;
  const int code = MPI_File_set_size(state_->file, static_cast<MPI_Offset>(length));
  processes::together([&] {
    if (code != MPI_SUCCESS) {
      throw run_failure("cannot cut " + path_ + " to " + std::to_string(length) + " bytes: " + mpi_reason(code));
    }
  });
}

// MPI-IO has no such hint; MPI_File_sync does it all when it is called.
void shared_file::start_writeback() {}

void shared_file::sync() {
  const int code = MPI_File_sync(state_->file);
  processes::together([&] {
    if (code != MPI_SUCCESS) throw run_failure("cannot write " + path_ + ": " + mpi_reason(code));
  });
}

void shared_file::close() {
  const int code = MPI_File_close(&state_->file);
  state_->file = MPI_FILE_NULL;
  processes::together([&] {
    if (code != MPI_SUCCESS) throw run_failure("cannot close " + path_ + ": " + mpi_reason(code));
  });
}

std::string read_shared(const std::string& path, const std::vector<shared_read_piece>& pieces) {
  std::string failed;
  std::vector<std::vector<part>> rounds;
  try {
    rounds = rounds_of(pieces);
  } catch (const std::bad_alloc&) {
    rounds.clear();
    failed = "cannot allocate memory to read " + path;
  }
  const long long count = processes::max(static_cast<long long>(rounds.size()));
  rounds.resize(static_cast<std::size_t>(count));
  MPI_File file = MPI_FILE_NULL;
  const io_hints hints(true);
  const int opened = MPI_File_open(MPI_COMM_WORLD, path.c_str(), MPI_MODE_RDONLY, hints, &file);
  if (failed.empty() && opened != MPI_SUCCESS) failed = "cannot read " + path + ": " + mpi_reason(opened);
  // The file is read only if every process could open it.
  if (processes::first_failure(opened == MPI_SUCCESS ? "" : "x") >= 0) {
    if (file != MPI_FILE_NULL) MPI_File_close(&file);
    return failed.empty() ? "cannot read " + path + ": another process cannot open it" : failed;
  }
  for (const std::vector<part>& round : rounds) {
    const round_types types(round);
    std::int64_t wanted = 0;
    for (const part& p : round) wanted += p.size;
    int code = MPI_File_set_view(file, 0, MPI_BYTE, types.in_file, "native", MPI_INFO_NULL);
    MPI_Status status;
    if (code == MPI_SUCCESS) code = MPI_File_read_all(file, MPI_BOTTOM, types.count, types.in_memory, &status);
    if (!failed.empty()) continue;
    if (code != MPI_SUCCESS) {
      failed = "cannot read " + path + ": " + mpi_reason(code);
      continue;
    }
    // The bytes read: fewer than asked for when the file ends first.
    int got = 0;
    MPI_Get_elements(&status, MPI_BYTE, &got);
    if (types.count > 0 && got < wanted) {
      failed = "cannot read " + path + ": it ends before byte " +
               std::to_string(round.back().offset + round.back().size);
    }
  }
  MPI_File_close(&file);
  return failed;
}
