// The file of a run under MPI: MPI-IO, every process writing its own pieces
// collectively through a file view of exactly those bytes.
#include <mpi.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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
// system said; the two usual causes are looked for, to name them as a run
// of one process would.
std::string write_reason(int code, const std::string& path, std::uint64_t end) {
  int error_class = 0;
  MPI_Error_class(code, &error_class);
  if (error_class == MPI_ERR_IO) {
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

}  // namespace

struct shared_file::state {
  MPI_File file = MPI_FILE_NULL;
  bool regular = true;  // a regular file, which has a size
};

shared_file::shared_file(const std::string& path, std::uint64_t keep) : path_(path), state_(std::make_unique<state>()) {
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
  const int code =
      MPI_File_open(MPI_COMM_WORLD, path_.c_str(), MPI_MODE_WRONLY | MPI_MODE_CREATE, MPI_INFO_NULL, &state_->file);
  processes::together([&] {
    if (code != MPI_SUCCESS) throw run_failure("cannot open " + path_ + ": " + mpi_reason(code));
  });
  // MPI_File_open keeps what the file held: cut it to what the run keeps.
  cut(keep);
}

shared_file::~shared_file() {
  if (state_ && state_->file != MPI_FILE_NULL) MPI_File_close(&state_->file);
}

namespace {

// One collective write's share of this process: its pieces as byte runs,
// at their offsets in the file and their addresses in memory.
struct write_round {
  std::vector<int> lengths;
  std::vector<MPI_Aint> where, from;
};

// The pieces, each cut to at most round_bytes, shared out into rounds of
// at most round_bytes.
std::vector<write_round> rounds_of(const std::vector<shared_file::piece>& pieces) {
  std::vector<write_round> rounds(1);
  std::size_t in_round = 0;
  for (const shared_file::piece& p : pieces) {
    for (std::size_t done = 0; done < p.size;) {
      const std::size_t n = std::min(p.size - done, round_bytes - in_round);
      write_round& r = rounds.back();
      r.lengths.push_back(static_cast<int>(n));
      r.where.push_back(static_cast<MPI_Aint>(p.offset + done));
      r.from.emplace_back();
      MPI_Get_address(static_cast<const char*>(p.data) + done, &r.from.back());
      done += n;
      in_round += n;
      if (in_round == round_bytes) rounds.emplace_back(), in_round = 0;
    }
  }
  return rounds;
}

}  // namespace

void shared_file::write(const std::vector<piece>& pieces) {
  // Everything that takes memory comes first, agreed on, so that no process
  // fails between the collectives below.
  std::vector<write_round> rounds;
  std::uint64_t end = 0;
  processes::together([&] {
    rounds = rounds_of(pieces);
    for (const piece& p : pieces) end = std::max(end, p.offset + p.size);
  });
  // Every process takes part in as many rounds as the process with the most.
  const long long count = processes::max(static_cast<long long>(rounds.size()));
  const write_round none;
  int first_error = MPI_SUCCESS;
  for (long long k = 0; k < count; ++k) {
    const write_round& round = k < static_cast<long long>(rounds.size()) ? rounds[static_cast<std::size_t>(k)] : none;
    const auto n = static_cast<int>(round.lengths.size());
    // The file view holds exactly this process's bytes of the round; the
    // memory type gathers them from where they lie.
    MPI_Datatype in_file = MPI_DATATYPE_NULL, in_memory = MPI_DATATYPE_NULL;
    MPI_Type_create_hindexed(n, round.lengths.data(), round.where.data(), MPI_BYTE, &in_file);
    MPI_Type_create_hindexed(n, round.lengths.data(), round.from.data(), MPI_BYTE, &in_memory);
    MPI_Type_commit(&in_file);
    MPI_Type_commit(&in_memory);
    int code = MPI_File_set_view(state_->file, 0, MPI_BYTE, in_file, "native", MPI_INFO_NULL);
    if (code == MPI_SUCCESS) {
      MPI_Status status;
      code = MPI_File_write_all(state_->file, MPI_BOTTOM, n > 0 ? 1 : 0, in_memory, &status);
    }
    if (first_error == MPI_SUCCESS) first_error = code;
    MPI_Type_free(&in_file);
    MPI_Type_free(&in_memory);
  }
  processes::together([&] {
    if (first_error != MPI_SUCCESS) {
      throw run_failure("cannot write " + path_ + ": " + write_reason(first_error, path_, end));
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
