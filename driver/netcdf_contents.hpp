#pragma once
// The NetCDF file of a run's snapshots (CF-1.10, NetCDF-4): what it holds
// and how it describes itself. snap2nc writes one such file from a snapshot
// file, holding all its snapshots; a run with a .nc output writes one per
// snapshot.
//
//  - dimensions time (unlimited), y and x: the interior points, i = 1..nx
//    along x and j = 1..ny along y;
//  - coordinates x and y at the cell centres in metres, spacing x (i - 1)
//    + spacing / 2, and time in seconds since a nominal 1970-01-01;
//  - one float32 variable per field of a snapshot, in the order of its
//    records, holding the model's values bit for bit (no fill value, no
//    scaling); the pollutant's fields are named per species;
//  - chunks of one time and a band of rows, at most chunk_bytes each;
//  - the run's scenario in global attributes, as TOML (scenario_toml) and
//    key by key (grid_nx, source_x_m, ...).
#include <array>
#include <charconv>
#include <cstddef>
#include <ctime>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "driver/scenario.hpp"

namespace netcdf_contents {

// A call of the NetCDF library that failed. what() is "what: the
// library's reason".
class netcdf_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws netcdf_error unless `status` is NC_NOERR.
void check(int status, const std::string& what);

// One variable of a snapshot's fields.
struct field_variable {
  std::string name;
  std::string long_name;
  std::string_view units;
  std::string_view standard_name;  // "" where CF has none
  std::string_view comment;        // "" for none
};

// The variables of the fields of a snapshot of a run of `s`, in the order
// of the snapshot's records: q and dqdt of each species (named with
// scenario::pollutant_field_name, their long names naming the species when
// the scenario declares any), then h, us, vs, div and vort.
std::vector<field_variable> field_variables(const scenario& s);

// The largest chunk of a field's variable, in bytes.
inline constexpr std::size_t chunk_bytes = std::size_t{1} << 20;

// The chunk of a field's variable on a grid of nx x ny points, as counts
// along (time, y, x): one time, and a band of whole rows of at most
// chunk_bytes, the bands as few as that allows and of equal rows; or on a
// grid whose rows are longer than that, one row cut into equal lengths.
std::array<std::size_t, 3> field_chunk(int nx, int ny);

// The chunk of a field's variable written by processes that hold the grid's
// rows in bands, the later bands starting at rows `band_starts` (from 0, in
// increasing order; none for one band): bands of whole rows that a band of
// the processes' ends on a chunk's edge, so that no chunk holds rows of two
// of the processes' bands and each process compresses the chunks of its own
// rows; the largest such chunk up to chunk_bytes. Where those take more
// chunks than one band's chunks cut where the bands start (a chunk more per
// start), the chunk of one band (field_chunk(nx, ny)): smaller chunks
// compress worse, and cost more than the rows that two processes share.
std::array<std::size_t, 3> field_chunk(int nx, int ny, std::span<const int> band_starts);

// The chunk of the time variable of a file of `times` snapshots: all of
// them, up to 512 (the 4096 bytes the library would take by itself), so
// that a file of one snapshot stores one value and not a block of 512.
std::size_t time_chunk(std::size_t times);

// Where a file of a run's series stands in it.
struct series_place {
  int number = 0;       // the snapshot the file holds, from 0
  int count = 0;        // the run's number of snapshots
  std::string program;  // the program that ran it, "plume 1.0"
};

// What a file says about where its values come from.
struct description {
  ::scenario run;
  // The "scenario" attribute: the scenario file's name, or a note.
  std::string scenario_name;
  // The snapshot file the values were converted from; "" for a file the
  // run wrote itself.
  std::string snapshot_file;
  // The "history" attribute, whole.
  std::string history;
  // The deflate level of the fields, 0 (none) to 9.
  int deflate = 1;
  // The file's place in a run's series; none for a file of all snapshots.
  std::optional<series_place> place;
  // The number of snapshots the file will hold.
  std::size_t times = 1;
  // The rows at which the later bands of rows of the processes writing the
  // file start (field_chunk); none for a file one process writes.
  std::vector<int> band_starts;
};

// The ids of a file's variables.
struct variables {
  int time = -1;
  int x = -1;
  int y = -1;
  std::vector<int> fields;  // as field_variables lists them
};

// Defines the dimensions, variables and attributes of the new file open
// as ncid, in define mode, and ends define mode. Throws netcdf_error.
variables define(int ncid, const description& d);

// The coordinates' values: x of the cells along a row, y along a column.
std::vector<double> cell_centres_m(const scenario& s, int count);

// "2026-12-09T15:25:42Z", the time `t` in UTC, for the history.
inline std::string utc_text(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

// The time now in UTC, for the history.
inline std::string utc_now() { return utc_text(std::time(nullptr)); }

// The time of a file's history given the environment's SOURCE_DATE_EPOCH
// (null when it is not set): its time, a whole number of seconds since
// 1970-01-01 (the convention of reproducible builds), so that runs which
// differ only in when they ran write the same bytes; else the time now.
// Nothing for a value that is not such a number. (Inline, as utc_now: the
// program uses it without the NetCDF library.)
inline std::optional<std::string> history_time(const char* source_date_epoch) {
  if (source_date_epoch == nullptr) return utc_now();
  const std::string_view text(source_date_epoch);
  long long seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  // Up to the year 9999, which the history's four digits hold.
  constexpr long long last_second = 253402300799;
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || seconds < 0 ||
      seconds > last_second) {
    return std::nullopt;
  }
  return utc_text(static_cast<std::time_t>(seconds));
}

}  // namespace netcdf_contents
