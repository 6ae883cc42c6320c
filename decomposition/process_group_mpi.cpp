// The run as the processes that mpirun starts, all of MPI_COMM_WORLD.
#include <mpi.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

#include <stdlib.h>
#include <vector>

#include <sched.h>

#include "decomposition/process_group.hpp"

namespace processes {
namespace {

// The processes of this machine, those that can share memory with this one,
// for as long as the object lives. Making it is a collective of all
// processes, as is every use below.
class machine {
 public:
  machine() { MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &comm_); }
  ~machine() { MPI_Comm_free(&comm_); }
  machine(const machine&) = delete;
  machine& operator=(const machine&) = delete;
  operator MPI_Comm() const noexcept { return comm_; }

 private:
  MPI_Comm comm_ = MPI_COMM_NULL;
};

// Whether mpirun started every process of the run on this machine, as Open
// MPI tells each process in its environment before MPI starts; false where
// it does not say (another MPI, a program started without mpirun).
bool started_on_one_machine() {
  const char* all = std::getenv("OMPI_COMM_WORLD_SIZE");
  const char* here = std::getenv("OMPI_COMM_WORLD_LOCAL_SIZE");
  return all != nullptr && here != nullptr && std::string_view(all) == here;
}

// Whether mpirun started this process, as Open MPI tells it in its
// environment.
bool started_by_mpirun() { return std::getenv("OMPI_COMM_WORLD_SIZE") != nullptr; }

// The name of a thread support level, for the refusal.
const char* thread_level_name(int level) {
  switch (level) {
    case MPI_THREAD_SINGLE: return "MPI_THREAD_SINGLE";
    case MPI_THREAD_FUNNELED: return "MPI_THREAD_FUNNELED";
    case MPI_THREAD_SERIALIZED: return "MPI_THREAD_SERIALIZED";
    default: return "MPI_THREAD_MULTIPLE";
  }
}

}  // namespace

void start(int& argc, char**& argv) {
  // Open MPI's own MPI-IO (ompio, in 4.1) lets a write that a full disk or
  // a file size limit refuses pass as a success, and the snapshot file
  // would silently lose data; its ROMIO reports the failure. So ROMIO it is,
  // unless the user chose otherwise: ompio left out leaves ROMIO, whatever
  // its component's name (romio321 in Open MPI 4.1, romio341 in 5.0). Other
  // MPIs ignore the variable.
  ::setenv("OMPI_MCA_io", "^ompio", 0);
  // Processes on one machine talk through shared memory. Open MPI's cm
  // messaging layer serves only networks such as Omni-Path, and looking for
  // them costs every process about 0.2 s of its start: left out on one
  // machine, unless the user chose the layer.
  if (started_on_one_machine()) ::setenv("OMPI_MCA_pml", "^cm", 0);
  // A program started without mpirun starts its own PMIx server, which by
  // default keeps the job's data in a shared segment of a few megabytes: a
  // file that a file-size limit of the user's (inherited by the server)
  // refuses, and MPI cannot start. Its plain table serves one process as
  // well, unless the user chose otherwise.
  if (!started_by_mpirun()) ::setenv("PMIX_MCA_gds", "hash", 0);
  // Only the main thread of each process calls MPI; the step's other
  // threads compute between its calls.
  constexpr int needed = MPI_THREAD_FUNNELED;
  int provided = MPI_THREAD_SINGLE;
  MPI_Init_thread(&argc, &argv, needed, &provided);
  together([&] {
    if (provided < needed) {
      throw run_failure(std::string("this MPI gives threads the support of ") + thread_level_name(provided) +
                        ", but the step's threads need " + thread_level_name(needed) +
                        " (only the main thread calls MPI)");
    }
  });
}

void finish() noexcept {
  int started = 0, finalized = 0;
  MPI_Initialized(&started);
  MPI_Finalized(&finalized);
  if (started != 0 && finalized == 0) MPI_Finalize();
}

bool with_mpi() noexcept { return true; }

int rank() noexcept {
  int r = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &r);
  return r;
}

int count() noexcept {
  int n = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &n);
  return n;
}

int on_this_machine() noexcept {
  const machine m;
  int n = 1;
  MPI_Comm_size(m, &n);
  return n;
}

int cores_of_this_process() noexcept {
  cpu_set_t mine;
  CPU_ZERO(&mine);
  if (sched_getaffinity(0, sizeof mine, &mine) != 0) return 1;
  const machine m;
  int local = 1;
  MPI_Comm_size(m, &local);
  std::vector<cpu_set_t> all(static_cast<std::size_t>(local));
  MPI_Allgather(&mine, static_cast<int>(sizeof mine), MPI_BYTE, all.data(), static_cast<int>(sizeof mine), MPI_BYTE, m);
  // The processes whose cores overlap this one's share them.
  int sharing = 0;
  for (const cpu_set_t& other : all) {
    cpu_set_t both;
    CPU_AND(&both, &mine, &other);
    sharing += CPU_COUNT(&both) > 0 ? 1 : 0;
  }
  const int cores = CPU_COUNT(&mine);
  return std::max(1, cores / std::max(1, sharing));
}

void broadcast(std::string& text) {
  unsigned long long size = text.size();
  MPI_Bcast(&size, 1, MPI_UNSIGNED_LONG_LONG, 0, MPI_COMM_WORLD);
  text.resize(static_cast<std::size_t>(size));
  if (size > 0) MPI_Bcast(text.data(), static_cast<int>(size), MPI_CHAR, 0, MPI_COMM_WORLD);
}

std::uint64_t sum(std::uint64_t value) {
  unsigned long long in = value, out = 0;
  MPI_Allreduce(&in, &out, 1, MPI_UNSIGNED_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
  return out;
}

std::uint64_t machine_sum(std::uint64_t value) {
  unsigned long long in = value, out = 0;
  const machine m;
  MPI_Allreduce(&in, &out, 1, MPI_UNSIGNED_LONG_LONG, MPI_SUM, m);
  return out;
}

long long max(long long value) {
  long long out = 0;
  MPI_Allreduce(&value, &out, 1, MPI_LONG_LONG, MPI_MAX, MPI_COMM_WORLD);
  return out;
}

std::uint32_t exclusive_or(std::uint32_t value) {
  unsigned int in = value, out = 0;
  MPI_Allreduce(&in, &out, 1, MPI_UNSIGNED, MPI_BXOR, MPI_COMM_WORLD);
  return out;
}

void exclusive_or(std::vector<std::uint32_t>& values) {
  static_assert(sizeof(unsigned int) == sizeof(std::uint32_t));
  // In pieces of at most an int's worth of values: MPI counts them in int.
  constexpr std::size_t most = std::size_t{1} << 30;
  for (std::size_t k = 0; k < values.size(); k += most) {
    const auto n = static_cast<int>(std::min(most, values.size() - k));
    MPI_Allreduce(MPI_IN_PLACE, values.data() + k, n, MPI_UNSIGNED, MPI_BXOR, MPI_COMM_WORLD);
  }
}

int first_failure(const std::string& message) {
  const int n = count();
  int mine = message.empty() ? n : rank();
  int first = n;
  MPI_Allreduce(&mine, &first, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  return first < n ? first : -1;
}

struct pass_flags::state {
  MPI_Request pending = MPI_REQUEST_NULL;
  int mine = 0, all = 0;
};

pass_flags::pass_flags() : state_(std::make_unique<state>()) {}

pass_flags::~pass_flags() {
  if (state_->pending != MPI_REQUEST_NULL) MPI_Wait(&state_->pending, MPI_STATUS_IGNORE);
}

int pass_flags::agree(int mine) {
  // One process has no one to wait for: its own flags, at once.
  if (count() == 1) return mine;
  int earlier = 0;
  if (state_->pending != MPI_REQUEST_NULL) {
    MPI_Wait(&state_->pending, MPI_STATUS_IGNORE);
    earlier = state_->all;
  }
  state_->mine = mine;
  MPI_Iallreduce(&state_->mine, &state_->all, 1, MPI_INT, MPI_BOR, MPI_COMM_WORLD, &state_->pending);
  return earlier;
}

void abort_all(int status) noexcept {
  MPI_Abort(MPI_COMM_WORLD, status);
  std::_Exit(status);
}

}  // namespace processes
