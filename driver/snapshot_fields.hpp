#pragma once
// What the seven records of a snapshot hold, in their order: the name of
// each field, its description and its units. Shared by the snapshot file's
// readers and by the NetCDF files, which name their variables after them.
#include <array>
#include <string_view>

inline constexpr int fields_per_snapshot = 7;

// standard_name is empty where the CF standard name table has no entry for
// the quantity.
struct snapshot_field_info {
  std::string_view name;
  std::string_view long_name;
  std::string_view units;  // UDUNITS spelling, as used in NetCDF attributes
  std::string_view standard_name;
};

inline constexpr std::array<snapshot_field_info, fields_per_snapshot> snapshot_fields{{
    {"q", "pollutant concentration", "1", ""},
    {"dqdt", "tendency of pollutant concentration", "s-1", ""},
    {"h", "layer height", "m", ""},
    {"us", "x-velocity at cell centres", "m s-1", "x_wind"},
    {"vs", "y-velocity at cell centres", "m s-1", "y_wind"},
    {"div", "divergence at cell centres", "s-1", "divergence_of_wind"},
    {"vort", "relative vorticity at cell centres", "s-1", "atmosphere_relative_vorticity"},
}};

// The fields that hold a pollutant, one of each per species: q and dqdt.
inline constexpr int pollutant_fields = 2;
