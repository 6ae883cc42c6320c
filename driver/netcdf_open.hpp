#pragma once
// A NetCDF-4 file that every process of the run writes together: through
// the NetCDF library alone in a build without MPI, through its parallel
// interface (HDF5 over MPI-IO, every write collective) in a build with MPI.
// Each function is a collective under MPI and returns the library's status.
#include <string>

// Creates the file at `path`, replacing one that is there, in define mode.
int create_shared_netcdf(const std::string& path, int* ncid);

// Makes the writes of variable varid collective: every process takes part
// in each, those with nothing to write with empty counts. NetCDF writes
// compressed variables in parallel only so.
int write_collectively(int ncid, int varid);
