// What the run's NetCDF files take from the HDF5 library under NetCDF,
// which NetCDF itself does not set.
#include <hdf5.h>
#include <netcdf.h>

#include "driver/netcdf_open.hpp"

int use_compact_indexes() {
  // The run has one NetCDF file open at a time: the one HDF5 file open is it.
  hid_t file = H5I_INVALID_HID;
  if (H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_FILE) != 1 || H5Fget_obj_ids(H5F_OBJ_ALL, H5F_OBJ_FILE, 1, &file) != 1) {
    return NC_EHDFERR;
  }
  return H5Fset_libver_bounds(file, H5F_LIBVER_V110, H5F_LIBVER_V110) < 0 ? NC_EHDFERR : NC_NOERR;
}
