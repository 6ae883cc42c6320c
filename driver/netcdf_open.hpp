#pragma once
// A NetCDF-4 file that every process of the run writes together. In a
// build without MPI the NetCDF library writes it to the disk; in a build
// with MPI through its parallel interface (HDF5 over MPI-IO), every write
// collective. Each function is a collective under MPI.
#include <cstddef>
#include <string>

// Creates the file that will be at `path`, in define mode, for
// `field_variables` variables over its dimensions (time, y, x); returns the
// library's status.
int create_shared_netcdf(const std::string& path, std::size_t field_variables, int* ncid);

// Makes the writes of variable varid collective: every process takes part
// in each, those with nothing to write with empty counts. NetCDF writes
// compressed variables in parallel only so. Returns the library's status.
int write_collectively(int ncid, int varid);

// Has the file just created, the only one open, store what describes its
// variables in the HDF5 1.10 format, which every current reader reads
// (NetCDF 4.5 and later, over HDF5 1.10): a variable of one chunk, or of a
// few, indexes them in a few bytes, where the older format NetCDF asks for
// takes a B-tree node of about 3 kB per variable. Returns the library's
// status.
int use_compact_indexes();

// Readies the library before the run's first file. In a build without MPI
// it keeps HDF5 from closing, at the program's exit, a file that a failed
// write of the disk left open: HDF5 1.10 cannot flush it and crashes so.
void prepare_netcdf_library();
