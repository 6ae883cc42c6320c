"""NetCDF series for the tools' tests, as a run writes them with
--output RUN.nc: one file per snapshot, RUN_0000.nc, RUN_0001.nc, ..., each
holding the variables and coordinates that snap2nc writes, at one time, and
the global attributes Conventions, scenario_toml, program, snapshot_number,
snapshot_count and history.

They are cut here from a file that snap2nc made of a run's snapshot file.
"""
import netCDF4
import numpy as np


def split(nc_path, stem, count=None, digits=4, string_attributes=False):
    """Writes one file per time of the snap2nc file nc_path, named
    f"{stem}_{k:0{digits}d}.nc"; returns their paths. count is the run's
    number of snapshots (default: the times of nc_path). With
    string_attributes, scenario_toml is written as a NetCDF string rather
    than as text."""
    paths = []
    with netCDF4.Dataset(nc_path) as src:
        src.set_auto_maskandscale(False)
        n = len(src.dimensions["time"])
        count = n if count is None else count
        for k in range(n):
            path = f"{stem}_{k:0{digits}d}.nc"
            with netCDF4.Dataset(path, "w", format="NETCDF4") as dst:
                dst.set_auto_maskandscale(False)
                for name, dim in src.dimensions.items():
                    dst.createDimension(name, None if dim.isunlimited() else len(dim))
                for name, var in src.variables.items():
                    chunks = var.chunking()
                    out = dst.createVariable(name, var.dtype, var.dimensions, zlib=True, complevel=1,
                                             chunksizes=None if chunks == "contiguous" else chunks,
                                             fill_value=False)
                    out.setncatts({a: var.getncattr(a) for a in var.ncattrs()})
                    out[:] = var[k:k + 1] if var.dimensions[:1] == ("time",) else var[:]
                dst.Conventions = "CF-1.10"
                if string_attributes:
                    dst.setncattr_string("scenario_toml", src.scenario_toml)
                else:
                    dst.scenario_toml = src.scenario_toml
                dst.program = "plume 1.0"
                dst.snapshot_number = np.int32(k)
                dst.snapshot_count = np.int32(count)
                dst.history = "made by the tools' tests from " + nc_path
            paths.append(path)
    return paths


def set_attribute(path, name, value):
    with netCDF4.Dataset(path, "a") as ds:
        ds.setncattr(name, value)


def delete_attribute(path, name):
    with netCDF4.Dataset(path, "a") as ds:
        ds.delncattr(name)
