// Reading the NetCDF series a run writes with --output run.nc: one file per
// snapshot (run_0000.nc, run_0001.nc, ...), each holding that snapshot's
// fields at one time, as float variables over (time, y, x) named as the
// records of the snapshot file (q, dqdt or q_NAME, dqdt_NAME for each
// species, then h, us, vs, div, vort), and in its global attributes the
// run's scenario as TOML (scenario_toml), the snapshot's number
// (snapshot_number) and the run's number of snapshots (snapshot_count).
//
// Unlike the snapshot file, the series says what it holds: its layout comes
// from the scenario in the files, read as the program reads a scenario.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "snapshot/layout.hpp"

namespace plume::snapshot {

// A file that is not one of the series, or files that do not form one:
// what() names the file and what is wrong.
class SeriesError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Series {
 public:
  // Opens every file and checks that they belong to one run: each holds the
  // global attributes above, the same scenario and snapshot count, the
  // variables of its layout, one time equal to its snapshot's, and no two
  // hold the same snapshot. The files may be given in any order. Throws
  // SeriesError (a scenario the program refuses is reported with its
  // position, after the file's name).
  explicit Series(const std::vector<std::string>& paths);

  const Layout& layout() const { return layout_; }

  struct Member {
    std::string path;
    std::int64_t snapshot = 0;
  };
  // The files by snapshot number, ascending.
  const std::vector<Member>& members() const { return members_; }

  // The snapshot numbers between the first and the last file that no file
  // holds.
  std::vector<std::int64_t> missing() const;

  // Reads the fields of member m's snapshot in the order of layout().fields
  // and hands each to each(f, values), its values bit for bit.
  void read(const Member& m, const std::function<void(std::size_t, std::span<const float>)>& each) const;

 private:
  Layout layout_;
  std::vector<Member> members_;
};

}  // namespace plume::snapshot
