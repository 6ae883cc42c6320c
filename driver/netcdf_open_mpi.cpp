// The NetCDF file of a run under MPI: created by all the run's processes,
// written collectively.
#include <mpi.h>
#include <netcdf.h>
#include <netcdf_par.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "decomposition/process_group.hpp"
#include "driver/netcdf_open.hpp"
#include "grid/failure.hpp"

namespace {

// A write of the file that the disk refuses on one process (a full disk, a
// file-size limit) fails there alone, in the middle of a collective write:
// HDF5 then leaves that process's part of the collective, while the others
// go on with theirs, and every process waits for ever. Nor can HDF5 close
// such a file: it crashes when MPI ends, even in a run of one process. So
// an error of MPI-IO on the open file ends the run at once, its line naming
// the system's reason where the write left one. The files written before
// are whole; the temporary file is left, as by a run that was killed. An
// error of opening the file (no file yet) is the library's to return.
void end_on_file_error(MPI_File* file, int* code, ...) {
  const int err = errno;
  if (*file == MPI_FILE_NULL) return;
  std::string reason;
  if (is_failed_write(err)) {
    reason = std::strerror(err);
  } else {
    char text[MPI_MAX_ERROR_STRING];
    int length = 0;
    MPI_Error_string(*code, text, &length);
    reason.assign(text, static_cast<std::size_t>(length));
  }
  processes::end_at_once("cannot write the NetCDF file: " + reason);
}

// HDF5 1.10, written by several processes, cannot attach a dimension to
// more than about 250 variables: the list of them that it keeps with the
// dimension outgrows 4 KiB, and ending the definitions fails on some
// processes while the others wait in a collective for ever. A file of more
// variables than this, written by several processes, goes without those
// attachments: NetCDF keeps each variable's dimensions in attributes of its
// own as well, and every NetCDF reader finds them there; only HDF5's links
// between a dimension and its variables are left out.
constexpr std::size_t most_attached_variables = 200;

}  // namespace

int create_shared_netcdf(const std::string& path, std::size_t field_variables, int* ncid) {
  const bool attach = processes::count() == 1 || field_variables <= most_attached_variables;
  const int mode = NC_NETCDF4 | NC_CLOBBER | (attach ? 0 : NC_NODIMSCALE_ATTACH);
  // The file takes the handler of errors that MPI gives the files opened
  // while it is set.
  MPI_Errhandler before = MPI_ERRHANDLER_NULL, ending = MPI_ERRHANDLER_NULL;
  MPI_File_get_errhandler(MPI_FILE_NULL, &before);
  MPI_File_create_errhandler(end_on_file_error, &ending);
  MPI_File_set_errhandler(MPI_FILE_NULL, ending);
  const int status = nc_create_par(path.c_str(), mode, MPI_COMM_WORLD, MPI_INFO_NULL, ncid);
  MPI_File_set_errhandler(MPI_FILE_NULL, before);
  MPI_Errhandler_free(&ending);
  MPI_Errhandler_free(&before);
  return status == NC_NOERR ? use_compact_indexes() : status;
}

int write_collectively(int ncid, int varid) { return nc_var_par_access(ncid, varid, NC_COLLECTIVE); }

void prepare_netcdf_library() {}
