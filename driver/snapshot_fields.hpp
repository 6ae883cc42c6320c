#pragma once
// What the records of a snapshot hold, in their order: q and dqdt of each
// species, then the flow's five. The name of each field, its description
// and its units, shared by the snapshot file's readers and by the NetCDF
// files, which name their variables after them.
#include <array>
#include <string_view>

// standard_name is empty where the CF standard name table has no entry for
// the quantity.
struct snapshot_field_info {
  std::string_view name;
  std::string_view long_name;
  std::string_view units;  // UDUNITS spelling, as used in NetCDF attributes
  std::string_view standard_name;
};

// The records each species has, in this order.
inline constexpr std::array<snapshot_field_info, 2> species_records{{
    {"q", "pollutant concentration", "1", ""},
    {"dqdt", "tendency of pollutant concentration", "s-1", ""},
}};

// The records of the flow, once per snapshot after every species' records.
inline constexpr std::array<snapshot_field_info, 5> flow_records{{
    {"h", "layer height", "m", ""},
    {"us", "x-velocity at cell centres", "m s-1", "x_wind"},
    {"vs", "y-velocity at cell centres", "m s-1", "y_wind"},
    {"div", "divergence at cell centres", "s-1", "divergence_of_wind"},
    {"vort", "relative vorticity at cell centres", "s-1", "atmosphere_relative_vorticity"},
}};
