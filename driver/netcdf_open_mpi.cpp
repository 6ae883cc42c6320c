// The NetCDF file of a run under MPI: created by all the run's processes,
// written collectively.
#include <mpi.h>
#include <netcdf.h>
#include <netcdf_par.h>

#include "driver/netcdf_open.hpp"

int create_shared_netcdf(const std::string& path, int* ncid) {
  const int status = nc_create_par(path.c_str(), NC_NETCDF4 | NC_CLOBBER, MPI_COMM_WORLD, MPI_INFO_NULL, ncid);
  return status == NC_NOERR ? use_compact_indexes() : status;
}

int write_collectively(int ncid, int varid) { return nc_var_par_access(ncid, varid, NC_COLLECTIVE); }

void prepare_netcdf_library() {}
