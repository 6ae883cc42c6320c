// The NetCDF file of a run of one process, written by the library straight
// to the disk.
#include <hdf5.h>
#include <netcdf.h>

#include "driver/netcdf_open.hpp"

int create_shared_netcdf(const std::string& path, std::size_t /*field_variables*/, int* ncid) {
  const int status = nc_create(path.c_str(), NC_NETCDF4 | NC_CLOBBER, ncid);
  return status == NC_NOERR ? use_compact_indexes() : status;
}

int write_collectively(int, int) { return NC_NOERR; }

void prepare_netcdf_library() {
  // Before any other call of HDF5; a second call only fails.
  H5dont_atexit();
}
