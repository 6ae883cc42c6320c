#pragma once
// A NetCDF-4 file that every process of the run writes together. In a
// build without MPI the NetCDF library builds the file in memory and the
// run writes its bytes to the disk itself, so that a full disk or a size
// limit is a failure like any other write's, with the system's reason, and
// never leaves the library with a file it cannot close. In a build with MPI
// the file is written through NetCDF's parallel interface (HDF5 over
// MPI-IO), every write collective. Each function is a collective under
// MPI.
#include <string>

// Creates the file that will be at `path`, in define mode; returns the
// library's status.
int create_shared_netcdf(const std::string& path, int* ncid);

// Makes the writes of variable varid collective: every process takes part
// in each, those with nothing to write with empty counts. NetCDF writes
// compressed variables in parallel only so. Returns the library's status.
int write_collectively(int ncid, int varid);

// Finishes the file and leaves it complete at `path` (not yet synced to the
// disk). Throws run_failure, or netcdf_contents::netcdf_error for a failure
// of the library.
void finish_shared_netcdf(int ncid, const std::string& path);
