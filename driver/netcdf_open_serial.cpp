// The NetCDF file of a run of one process.
#include <netcdf.h>

#include "driver/netcdf_open.hpp"

int create_shared_netcdf(const std::string& path, int* ncid) {
  return nc_create(path.c_str(), NC_NETCDF4 | NC_CLOBBER, ncid);
}

int write_collectively(int, int) { return NC_NOERR; }
