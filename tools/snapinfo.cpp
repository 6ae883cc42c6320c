// snapinfo [--scenario FILE] FILE: checks the framing of a snapshot file and
// prints one table row per snapshot with each field's range and each
// species' pollutant total, number of non-zero cells and centre of mass.
// snapinfo RUN_*.nc prints the same table from a run's NetCDF series.
//
// Exit status: 0 for a complete, undamaged file; 1 for a damaged or
// unreadable file, or one of another grid (the complete snapshots before the
// damage are still listed); 2 for bad arguments or a bad scenario.
#include <algorithm>
#include <span>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "snapshot/layout.hpp"
#if PLUME_TOOLS_NETCDF
#include "snapshot/series.hpp"
#endif
#include "snapshot/snapshot_file.hpp"
#include "snapshot/statistics.hpp"

namespace snap = plume::snapshot;

namespace {

constexpr const char* usage_text =
    "usage: snapinfo [--help] [--scenario SCENARIO] FILE\n"
    "       snapinfo RUN_0000.nc RUN_0001.nc ...\n"
    "\n"
    "Checks the framing of the snapshot file FILE that a plume run writes\n"
    "(test_withPollutant.dat) and prints one row per snapshot: the model time\n"
    "in seconds and hours, the minimum and maximum of each field (q and dqdt of\n"
    "each species, h, us, vs, div, vort), and for the pollutant of each species\n"
    "its total, its number of non-zero cells and its centre of mass.\n"
    "\n"
    "Given the .nc files of the NetCDF series of a run (--output RUN.nc; a\n"
    "glob such as RUN_*.nc), it prints the same table from them, reading the\n"
    "grid, the species and the times from the scenario the files hold.\n"
    "\n"
    "  --scenario SCENARIO  the TOML scenario of the run that wrote FILE, for\n"
    "                       its grid, species and snapshot times; without it,\n"
    "                       the reference case (401 x 401 cells of 1000 m, a\n"
    "                       snapshot every 1800 s for 16 h)\n"
    "\n"
    "A damaged file is reported on standard error with the byte offset of the\n"
    "damage and what belongs there; the complete snapshots before it are still\n"
    "listed. Exit status: 0 complete file or series without gaps, 1 damaged or\n"
    "unreadable file, one of another grid, or files that do not form one\n"
    "series, 2 bad arguments or scenario.\n";

// "0.5 .. 400.5": the first and last cell centre in km along an axis of n cells.
std::string centres_km(const snap::Layout& layout, int n) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g .. %g", layout.centre_m(0) / 1000.0, layout.centre_m(n - 1) / 1000.0);
  return buf;
}

bool declares_species(const snap::Layout& layout) { return !layout.run.species.empty(); }

// "2 species (so2, nox)"
std::string species_text(const snap::Layout& layout) {
  std::string names;
  for (const auto& sp : layout.run.species) names += (names.empty() ? "" : ", ") + sp.name;
  return std::to_string(layout.run.species.size()) + " species (" + names + ")";
}

// The name of a figure of species k's pollutant: "q_total", or "q_so2_total".
std::string pollutant_column(const snap::Layout& layout, int k, const char* figure) {
  return layout.run.pollutant_field_name("q", k) + "_" + figure;
}

// A column is `least` characters wide, as its figures need, or as wide as its
// header.
int width(const std::string& header, int least) { return std::max(least, static_cast<int>(header.size())); }

// what: "file: run.dat" or "files: run_0000.nc .. run_0032.nc (33 files)"
void print_legend(const std::string& what, const snap::Layout& layout) {
  const double km = layout.spacing_m() / 1000.0;
  std::printf("%s\n", what.c_str());
  std::printf("layout: %s, %lld snapshots at t = 0 .. %d s, %zu sources%s (%s)\n", layout.grid_text().c_str(),
              static_cast<long long>(layout.snapshot_count()), layout.snapshot_times_s.back(),
              layout.run.sources.size(), declares_species(layout) ? (", " + species_text(layout)).c_str() : "",
              layout.origin.c_str());
  if (declares_species(layout)) {
    std::printf(
        "fields: q_NAME concentration of species NAME, dqdt_NAME its tendency (1/s), h layer height (m),\n"
        "        us, vs velocity at cell centres (m/s), div divergence (1/s), vort relative vorticity (1/s)\n");
    std::printf("q_NAME_total = sum(q_NAME) x cell area %g km², in q·km²; q_NAME_cells = cells where q_NAME != 0;\n",
                km * km);
  } else {
    std::printf(
        "fields: q pollutant concentration, dqdt its tendency (1/s), h layer height (m),\n"
        "        us, vs velocity at cell centres (m/s), div divergence (1/s), vort relative vorticity (1/s)\n");
    std::printf("q_total = sum(q) x cell area %g km², in q·km²; q_cells = cells where q != 0;\n", km * km);
  }
  const std::string centres = layout.nx() == layout.ny() ? centres_km(layout, layout.nx())
                                                          : "x = " + centres_km(layout, layout.nx()) +
                                                                ", y = " + centres_km(layout, layout.ny());
  std::printf("%s = centre of mass of %s in km (cell centres at %s km; '-' when the total is 0)\n\n",
              declares_species(layout) ? "q_NAME_cx, q_NAME_cy" : "q_cx, q_cy",
              declares_species(layout) ? "q_NAME" : "q", centres.c_str());
  std::printf("%4s %7s %5s", "snap", "time_s", "hours");
  for (const auto& f : layout.fields) {
    const std::string lo = f.name + "_min", hi = f.name + "_max";
    std::printf(" %*s %*s", width(lo, 11), lo.c_str(), width(hi, 11), hi.c_str());
  }
  for (int k = 0; k < layout.run.species_count(); ++k) {
    const std::string total = pollutant_column(layout, k, "total"), cells = pollutant_column(layout, k, "cells"),
                      cx = pollutant_column(layout, k, "cx"), cy = pollutant_column(layout, k, "cy");
    std::printf(" %*s %*s %*s %*s", width(total, 13), total.c_str(), width(cells, 7), cells.c_str(), width(cx, 8),
                cx.c_str(), width(cy, 8), cy.c_str());
  }
  std::printf("\n");
}

// The figures of one snapshot, gathered record by record and printed as one
// row of the table once its last record is in.
class Table {
 public:
  explicit Table(const snap::Layout& layout)
      : layout_(layout),
        stats_(layout.fields.size()),
        pollutant_(static_cast<std::size_t>(layout.run.species_count())) {}

  void add(std::int64_t k, std::size_t f, std::span<const float> values) {
    const auto& field = layout_.fields[f];
    stats_[f] = snap::field_stats(values);
    if (const auto nans = stats_[f].nan_count; nans > 0) {
      notes_.push_back("snapshot " + std::to_string(k) + ": " + std::to_string(nans) +
                       (nans == 1 ? " NaN value in " : " NaN values in ") + field.name +
                       " (its min and max leave NaN out)");
    }
    if (field.is_pollutant("q")) {
      pollutant_[static_cast<std::size_t>(field.species)] =
          snap::pollutant_stats(values, layout_.nx(), layout_.ny(), layout_.spacing_m() / 1000.0);
    }
    if (f + 1 == layout_.fields.size()) print_row(k);
  }

  void print_notes() const {
    for (const auto& n : notes_) std::printf("note: %s\n", n.c_str());
  }

 private:
  void print_row(std::int64_t k) const {
    const std::int32_t t = layout_.snapshot_times_s[static_cast<std::size_t>(k)];
    std::printf("%4lld %7d %5.1f", static_cast<long long>(k), t, static_cast<double>(t) / 3600.0);
    for (std::size_t f = 0; f < stats_.size(); ++f) {
      const auto& name = layout_.fields[f].name;
      std::printf(" %*.4e %*.4e", width(name + "_min", 11), static_cast<double>(stats_[f].min),
                  width(name + "_max", 11), static_cast<double>(stats_[f].max));
    }
    for (std::size_t k = 0; k < pollutant_.size(); ++k) {
      const auto& p = pollutant_[k];
      const int species = static_cast<int>(k);
      std::printf(" %*.6e %*lld", width(pollutant_column(layout_, species, "total"), 13), p.total,
                  width(pollutant_column(layout_, species, "cells"), 7), static_cast<long long>(p.nonzero_cells));
      const int wx = width(pollutant_column(layout_, species, "cx"), 8);
      const int wy = width(pollutant_column(layout_, species, "cy"), 8);
      if (p.has_centre) {
        std::printf(" %*.3f %*.3f", wx, p.centre_x_km, wy, p.centre_y_km);
      } else {
        std::printf(" %*s %*s", wx, "-", wy, "-");
      }
    }
    std::printf("\n");
  }

  const snap::Layout& layout_;
  std::vector<snap::FieldStats> stats_;
  std::vector<snap::PollutantStats> pollutant_;
  std::vector<std::string> notes_;
};

int fail(const std::string& path, const std::string& what) {
  std::fflush(stdout);
  std::fprintf(stderr, "snapinfo: %s: %s\n", path.c_str(), what.c_str());
  return 1;
}

int run(const std::string& path, const snap::Layout& layout) {
  snap::FileSource source(path);  // throws with a message naming the path
  snap::Reader reader(source, layout.record_bytes(), layout.record_names());
  std::vector<float> values(reader.values_per_record());
  Table table(layout);

  // A file of another grid gets its message alone, without a table.
  auto status = reader.next(values);
  if (reader.damage() == snap::Damage::other_record_size) {
    return fail(path, snap::record_size_mismatch(reader.found_record_size(), layout));
  }
  print_legend("file: " + path, layout);
  for (; status == snap::Reader::Status::record; status = reader.next(values)) {
    const std::int64_t k = reader.snapshot();
    if (k >= layout.snapshot_count()) return fail(path, snap::too_many_snapshots(layout));
    table.add(k, static_cast<std::size_t>(reader.field()), values);
  }
  table.print_notes();

  const std::int64_t k = reader.complete_snapshots();
  if (reader.damage() != snap::Damage::none) {
    std::printf("complete snapshots before the damage: %lld\n", static_cast<long long>(k));
    return fail(path, "damaged file (" + std::string(snap::damage_name(reader.damage())) + ") " + reader.message());
  }
  std::printf("%lld snapshots, %lld records, %llu bytes: framing intact%s\n", static_cast<long long>(k),
              static_cast<long long>(reader.records_read()), static_cast<unsigned long long>(reader.offset()),
              k == layout.snapshot_count() ? "" : (" (" + layout.complete_run_text() + ")").c_str());
  return 0;
}

#if PLUME_TOOLS_NETCDF
// The files of a NetCDF series, one per snapshot: the same table as for the
// snapshot file of the same run, the layout read from the files themselves.
int run_series(const std::vector<std::string>& paths) {
  const snap::Series series(paths);
  const snap::Layout& layout = series.layout();
  const auto& members = series.members();
  const std::string files = members.size() == 1 ? "file: " + members.front().path
                                                : "files: " + members.front().path + " .. " + members.back().path +
                                                      " (" + std::to_string(members.size()) + " files)";
  print_legend(files, layout);
  Table table(layout);
  for (const auto& m : members) {
    series.read(m, [&](std::size_t f, std::span<const float> values) { table.add(m.snapshot, f, values); });
  }
  table.print_notes();
  if (const auto missing = series.missing(); !missing.empty()) {
    std::string numbers;
    for (const auto k : missing) numbers += (numbers.empty() ? "" : ", ") + std::to_string(k);
    return fail(
        members.front().path + " .. " + members.back().path,
        "the series lacks the file" + std::string(missing.size() == 1 ? " of snapshot " : "s of snapshots ") + numbers);
  }
  const auto n = static_cast<std::int64_t>(members.size());
  std::printf("%lld snapshots (%lld .. %lld) in %lld files: none missing%s\n", static_cast<long long>(n),
              static_cast<long long>(members.front().snapshot), static_cast<long long>(members.back().snapshot),
              static_cast<long long>(n),
              n == layout.snapshot_count() ? "" : (" (" + layout.complete_run_text() + ")").c_str());
  return 0;
}
#endif

int usage_error(const std::string& message) {
  std::fprintf(stderr, "snapinfo: %s\n%s", message.c_str(), usage_text);
  return 2;
}

// Runs print_table, which prints the table and returns the exit status: a
// failure it throws, or a table that did not reach standard output, gives a
// message and exit status 1.
template <class PrintTable>
int table_status(PrintTable print_table) {
  int status = 1;
  try {
    status = print_table();
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "snapinfo: %s\n", e.what());
    return 1;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fputs("snapinfo: cannot write the table to standard output\n", stderr);
    return 1;
  }
  return status;
}

int read_series(const std::vector<std::string>& files) {
#if PLUME_TOOLS_NETCDF
  return table_status([&] { return run_series(files); });
#else
  std::fprintf(stderr,
               "snapinfo: %s: this snapinfo is built without the NetCDF library and reads only snapshot files; "
               "build it where pkg-config finds netcdf (Debian: libnetcdf-dev)\n",
               files.front().c_str());
  return 2;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  snap::scenario_option scenario;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage_text, stdout);
      return 0;
    }
    bool took_scenario = false;
    try {
      took_scenario = scenario.take(argc, argv, a);
    } catch (const std::invalid_argument& e) {
      return usage_error(e.what());
    }
    if (took_scenario) continue;
    if (arg.size() > 1 && arg[0] == '-') {
      return usage_error("unknown option '" + arg + "'");
    } else if (arg.empty()) {
      return usage_error("the file name is empty");
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) return usage_error("no file given");
  const auto netcdf = std::count_if(files.begin(), files.end(), snap::is_netcdf_path);
  if (netcdf > 0) {
    if (netcdf != static_cast<std::ptrdiff_t>(files.size())) {
      return usage_error("expected one snapshot file, or the .nc files of one series");
    }
    if (scenario.given)
      return usage_error("the .nc files of a series hold their scenario: give them without --scenario");
    return read_series(files);
  }
  if (files.size() > 1) return usage_error("expected exactly one file");

  snap::Layout layout;
  try {
    layout = scenario.layout();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "snapinfo: %s\n", e.what());
    return 2;
  }
  return table_status([&] { return run(files[0], layout); });
}
