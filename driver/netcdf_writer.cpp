// The writer of a run's NetCDF files, loaded by the run only when its output
// is NetCDF (open_netcdf_series), so that the NetCDF libraries are no part
// of a run that writes the binary file.
#include <netcdf.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

#include <malloc.h>
#include <unistd.h>

#include "decomposition/process_group.hpp"
#include "decomposition/test_fault.hpp"
#include "driver/file_sync.hpp"
#include "driver/netcdf_contents.hpp"
#include "driver/netcdf_open.hpp"
#include "driver/netcdf_series.hpp"
#include "grid/domain.hpp"
#include "grid/failure.hpp"

namespace {

// Buffers up to this size come from the heap, and are kept there when freed:
// the library's buffers of a chunk (netcdf_contents::chunk_bytes), with room.
constexpr std::size_t reused_buffer_bytes = std::size_t{32} << 20;
static_assert(reused_buffer_bytes >= 8 * netcdf_contents::chunk_bytes);

// A NetCDF file being written by every process together; abandoned by all
// of them (a collective under MPI) unless it was closed.
class open_netcdf {
 public:
  open_netcdf() = default;
  open_netcdf(const open_netcdf&) = delete;
  open_netcdf& operator=(const open_netcdf&) = delete;
  ~open_netcdf() {
    if (id_ >= 0) nc_abort(id_);
  }
  void create(const std::string& path, std::size_t field_variables) {
    netcdf_contents::check(create_shared_netcdf(path, field_variables, &id_), "cannot create " + path);
  }
  int id() const noexcept { return id_; }
  // Once closed, failed or not, the file is the library's no longer: a file
  // whose closing failed is not aborted after it (the library would crash).
  void close(const std::string& path) {
    netcdf_contents::check(nc_close(std::exchange(id_, -1)), "cannot write " + path);
  }

 private:
  int id_ = -1;
};

// How the processes of a run learn of a failure in a step of writing a
// file. Creating it, every process fails or none: they agree on it after
// the step. The other steps call the library's collectives (ending the
// definitions, the writes, the closing), which HDF5 may fail on one
// process alone while the others wait in them for ever: a failure there,
// in a run of several processes, ends the run at once, and the file being
// written stays a temporary file, as after a run that was killed.
enum class write_kind { agreed, collective };

// Runs a step of writing the file `path` on every process together: a
// failure of the NetCDF library (which names the file) is the run's
// failure. The library reports a failed write of the disk as its own
// error; the system's reason it leaves in errno, which the line gives
// instead.
template <class What>
void write_step(const std::string& path, write_kind kind, What&& what) {
  processes::together([&] {
    try {
      errno = 0;
      try {
        what();
      } catch (const netcdf_contents::netcdf_error& e) {
        const int err = errno;
        if (is_failed_write(err)) throw run_failure(system_reason("cannot write " + path, err));
        throw run_failure(e.what());
      }
    } catch (...) {
      if (kind == write_kind::collective && processes::count() > 1) {
        processes::end_at_once(processes::failure_message(std::current_exception()));
      }
      throw;
    }
  });
}

class netcdf_series final : public snapshot_writer {
 public:
  // Starts the series of output `path` at snapshot number `first` (0, or
  // the files a restart keeps): removes the temporary file and the files of
  // the series from number `first` on. Throws run_failure on every process.
  netcdf_series(std::string path, const scenario& s, const netcdf_settings& settings, int first);

  // Writes the next snapshot's file from the module's fields.
  void write(step_team* team = nullptr) override;
  // The files are synced to the disk when a checkpoint is to vouch for
  // them, as the binary snapshot file is: until then a killed run leaves
  // them whole (the system keeps what a killed program wrote), and a
  // restart rewrites those after the checkpoint's.
  void start_writeback() override {}
  void sync() override;
  void close() override {}
  checkpoint_output record() override {
    series_record r = record_of(names_, next_);
    r.deflate = description_.deflate;
    return series_output(r);
  }
  std::uint64_t snapshots() const noexcept override { return static_cast<std::uint64_t>(next_); }

 private:
  std::string path_;
  std::vector<std::int32_t> times_;  // of the run's snapshots
  series_names names_;
  netcdf_contents::description description_;
  int next_;
  long long writes_ = 0;
  std::vector<std::string> unsynced_;  // files named since the last sync, on rank 0
  std::vector<float> block_;
};

netcdf_series::netcdf_series(std::string path, const scenario& s, const netcdf_settings& settings, int first)
    : path_(std::move(path)),
      times_(s.snapshot_passes()),
      names_(series_names_of(path_, static_cast<int>(times_.size()))),
      description_{s,
                   settings.scenario_name,
                   "",
                   settings.history,
                   settings.deflate.value_or(default_deflate),
                   netcdf_contents::series_place{0, static_cast<int>(times_.size()), settings.program},
                   1,
                   settings.band_starts},
      next_(first) {
  using namespace domain;
  processes::together([&] {
    if (snapshot_arrays().size() != netcdf_contents::field_variables(s).size()) {
      throw run_failure("the NetCDF output holds " + std::to_string(netcdf_contents::field_variables(s).size()) +
                        " fields per snapshot, the model " + std::to_string(snapshot_arrays().size()));
    }
    try {
      block_.resize(static_cast<std::size_t>(ipe - ips + 1) * static_cast<std::size_t>(jpe - jps + 1));
    } catch (const std::bad_alloc&) {
      throw run_failure(system_reason("cannot allocate the output buffer of " + path_, ENOMEM));
    }
  });
  // What an earlier run left from here on is not this run's.
  remove_series_files(names_, path_, first);
}

void netcdf_series::write(step_team*) {
  using namespace domain;
  const std::string temporary = names_.temporary();
  const std::string final_name = names_.file(next_);
  const long long visit = ++writes_;
  description_.place->number = next_;
  const std::vector<const float*> fields = snapshot_arrays();
  const std::size_t columns = static_cast<std::size_t>(ipe - ips + 1);
  const std::size_t rows = static_cast<std::size_t>(jpe - jps + 1);
  const bool writes_coordinates = processes::rank() == 0;
  const scenario& s = description_.run;

  processes::together([&] { processes::test_fault("netcdf-open", visit); });
  try {
    open_netcdf file;
    netcdf_contents::variables v;
    write_step(temporary, write_kind::agreed,
               [&] { file.create(temporary, netcdf_contents::field_variables(s).size()); });
    write_step(temporary, write_kind::collective, [&] {
      processes::test_fault("netcdf-define", visit);
      v = netcdf_contents::define(file.id(), description_);
      for (int var : {v.time, v.x, v.y})
        netcdf_contents::check(write_collectively(file.id(), var), "cannot write " + temporary);
      for (int var : v.fields) {
        netcdf_contents::check(write_collectively(file.id(), var), "cannot write " + temporary);
        // Each chunk is written once, whole: the library compresses it
        // and writes it out at once, or writes the values as they are,
        // rather than keeping (zeroed, then filled) copies of the chunks
        // until the file is closed.
        netcdf_contents::check(nc_set_var_chunk_cache(file.id(), var, 0, 0, 0.0f), "cannot write " + temporary);
      }
    });
    processes::together([&] { processes::test_fault("netcdf-write", visit); });
    write_step(temporary, write_kind::collective, [&] {
      // Every process takes part in every collective write, whatever the
      // ones before did on it; the first failure is reported after them.
      int status = NC_NOERR;
      const auto keep = [&status](int s) {
        if (status == NC_NOERR) status = s;
      };
      const std::size_t zero = 0, one = writes_coordinates ? 1 : 0;
      const double t = static_cast<double>(times_[static_cast<std::size_t>(next_)]);
      keep(nc_put_vara_double(file.id(), v.time, &zero, &one, &t));
      const std::vector<double> xs = netcdf_contents::cell_centres_m(s, s.nx);
      const std::vector<double> ys = netcdf_contents::cell_centres_m(s, s.ny);
      const std::size_t nx = writes_coordinates ? xs.size() : 0, ny = writes_coordinates ? ys.size() : 0;
      keep(nc_put_vara_double(file.id(), v.x, &zero, &nx, xs.data()));
      keep(nc_put_vara_double(file.id(), v.y, &zero, &ny, ys.data()));
      const std::size_t start[3] = {0, static_cast<std::size_t>(jps - jds), static_cast<std::size_t>(ips - ids)};
      const std::size_t count[3] = {1, rows, columns};
      for (std::size_t f = 0; f < fields.size(); ++f) {
        for (std::size_t r = 0; r < rows; ++r) {
          const float* row = fields[f] + at(ips, jps + static_cast<int>(r), ims, ime, jms);
          std::copy(row, row + columns, block_.data() + r * columns);
        }
        keep(nc_put_vara_float(file.id(), v.fields[f], start, count, block_.data()));
      }
      netcdf_contents::check(status, "cannot write " + temporary);
    });
    write_step(temporary, write_kind::collective, [&] { file.close(temporary); });
  } catch (...) {
    if (processes::rank() == 0) ::unlink(temporary.c_str());
    throw;
  }
  // The file is complete; it takes its name once every process agrees.
  try {
    processes::together([&] { processes::test_fault("netcdf-rename", visit); });
    processes::together([&] {
      if (processes::rank() != 0) return;
      if (::rename(temporary.c_str(), final_name.c_str()) != 0) {
        throw run_failure(system_reason("cannot rename " + temporary + " to " + final_name, errno));
      }
      unsynced_.push_back(final_name);
    });
  } catch (...) {
    if (processes::rank() == 0) ::unlink(temporary.c_str());
    throw;
  }
  ++next_;
}

void netcdf_series::sync() {
  processes::together([&] {
    if (processes::rank() != 0 || unsynced_.empty()) return;
    for (const std::string& name : unsynced_) sync_file(name);
    sync_directory(unsynced_.back());
    unsynced_.clear();
  });
}

}  // namespace

extern "C" snapshot_writer* plume_open_netcdf_series(const std::string& path, const scenario& s,
                                                     const netcdf_settings& settings, int first) {
  prepare_netcdf_library();
  // The library allocates, and frees, a buffer or two of a chunk's size for
  // every chunk it writes. Left to the defaults, each is mapped from the
  // system afresh and its pages faulted in one by one, which cost several
  // times the compression itself (2001 x 2001 points: 7 s where the run
  // without output takes 1 s). Kept in the heap, they are reused.
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(reused_buffer_bytes));
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(4 * reused_buffer_bytes));
  return new netcdf_series(path, s, settings, first);
}
