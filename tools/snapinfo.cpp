// snapinfo [--scenario FILE] FILE: checks the framing of a snapshot file and
// prints one table row per snapshot with each field's range and the
// pollutant's total, number of non-zero cells and centre of mass.
//
// Exit status: 0 for a complete, undamaged file; 1 for a damaged or
// unreadable file, or one of another grid (the complete snapshots before the
// damage are still listed); 2 for bad arguments or a bad scenario.
#include <array>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "snapshot/layout.hpp"
#include "snapshot/snapshot_file.hpp"
#include "snapshot/statistics.hpp"

namespace snap = plume::snapshot;

namespace {

constexpr const char* usage_text =
    "usage: snapinfo [--help] [--scenario SCENARIO] FILE\n"
    "\n"
    "Checks the framing of the snapshot file FILE that a plume run writes\n"
    "(test_withPollutant.dat) and prints one row per snapshot: the model time\n"
    "in seconds and hours, the minimum and maximum of each of the seven fields,\n"
    "and for the pollutant q its total, its number of non-zero cells and its\n"
    "centre of mass.\n"
    "\n"
    "  --scenario SCENARIO  the TOML scenario of the run that wrote FILE, for\n"
    "                       its grid and snapshot times; without it, the\n"
    "                       reference case (401 x 401 cells of 1000 m, a\n"
    "                       snapshot every 1800 s for 16 h)\n"
    "\n"
    "A damaged file is reported on standard error with the byte offset of the\n"
    "damage and what belongs there; the complete snapshots before it are still\n"
    "listed. Exit status: 0 complete file, 1 damaged or unreadable file or one\n"
    "of another grid, 2 bad arguments or scenario.\n";

// "0.5 .. 400.5": the first and last cell centre in km along an axis of n cells.
std::string centres_km(const snap::Layout& layout, int n) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g .. %g", layout.centre_m(0) / 1000.0, layout.centre_m(n - 1) / 1000.0);
  return buf;
}

void print_legend(const std::string& path, const snap::Layout& layout) {
  const double km = layout.spacing_m() / 1000.0;
  std::printf("file: %s\n", path.c_str());
  std::printf("layout: %s, %lld snapshots at t = 0 .. %d s, %zu sources (%s)\n", layout.grid_text().c_str(),
              static_cast<long long>(layout.snapshot_count()), layout.snapshot_times_s.back(),
              layout.run.sources.size(), layout.origin.c_str());
  std::printf(
      "fields: q pollutant concentration, dqdt its tendency (1/s), h layer height (m),\n"
      "        us, vs velocity at cell centres (m/s), div divergence (1/s), vort relative vorticity (1/s)\n");
  std::printf("q_total = sum(q) x cell area %g km², in q·km²; q_cells = cells where q != 0;\n", km * km);
  const std::string centres = layout.nx() == layout.ny() ? centres_km(layout, layout.nx())
                                                          : "x = " + centres_km(layout, layout.nx()) +
                                                                ", y = " + centres_km(layout, layout.ny());
  std::printf("q_cx, q_cy = centre of mass of q in km (cell centres at %s km; '-' when the total is 0)\n\n",
              centres.c_str());
  std::printf("%4s %7s %5s", "snap", "time_s", "hours");
  for (const auto& f : snap::fields) {
    std::printf(" %11s %11s", (std::string(f.name) + "_min").c_str(), (std::string(f.name) + "_max").c_str());
  }
  std::printf(" %13s %7s %8s %8s\n", "q_total", "q_cells", "q_cx", "q_cy");
}

struct Row {
  std::array<snap::FieldStats, snap::fields_per_snapshot> stats;
  snap::PollutantStats pollutant;
};

void print_row(std::int64_t k, std::int32_t t, const Row& row) {
  std::printf("%4lld %7d %5.1f", static_cast<long long>(k), t, static_cast<double>(t) / 3600.0);
  for (const auto& s : row.stats) {
    std::printf(" %11.4e %11.4e", static_cast<double>(s.min), static_cast<double>(s.max));
  }
  const auto& p = row.pollutant;
  std::printf(" %13.6e %7lld", p.total, static_cast<long long>(p.nonzero_cells));
  if (p.has_centre) {
    std::printf(" %8.3f %8.3f\n", p.centre_x_km, p.centre_y_km);
  } else {
    std::printf(" %8s %8s\n", "-", "-");
  }
}

int fail(const std::string& path, const std::string& what) {
  std::fflush(stdout);
  std::fprintf(stderr, "snapinfo: %s: %s\n", path.c_str(), what.c_str());
  return 1;
}

int run(const std::string& path, const snap::Layout& layout) {
  snap::FileSource source(path);  // throws with a message naming the path
  snap::Reader reader(source, layout.record_bytes());
  std::vector<float> values(reader.values_per_record());
  std::vector<std::string> notes;
  Row row;

  // A file of another grid gets its message alone, without a table.
  auto status = reader.next(values);
  if (reader.damage() == snap::Damage::other_record_size) {
    return fail(path, snap::record_size_mismatch(reader.found_record_size(), layout));
  }
  print_legend(path, layout);
  for (; status == snap::Reader::Status::record; status = reader.next(values)) {
    const std::int64_t k = reader.snapshot();
    if (k >= layout.snapshot_count()) return fail(path, snap::too_many_snapshots(layout));
    const int f = reader.field();
    row.stats[static_cast<std::size_t>(f)] = snap::field_stats(values);
    if (row.stats[static_cast<std::size_t>(f)].nan_count > 0) {
      const auto nans = row.stats[static_cast<std::size_t>(f)].nan_count;
      notes.push_back("snapshot " + std::to_string(k) + ": " + std::to_string(nans) +
                      (nans == 1 ? " NaN value in " : " NaN values in ") +
                      std::string(snap::fields[static_cast<std::size_t>(f)].name) +
                      " (its min and max leave NaN out)");
    }
    if (f == 0) row.pollutant = snap::pollutant_stats(values, layout.nx(), layout.ny(), layout.spacing_m() / 1000.0);
    if (f == snap::fields_per_snapshot - 1) print_row(k, layout.snapshot_times_s[static_cast<std::size_t>(k)], row);
  }
  for (const auto& n : notes) std::printf("note: %s\n", n.c_str());

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

int usage_error(const std::string& message) {
  std::fprintf(stderr, "snapinfo: %s\n%s", message.c_str(), usage_text);
  return 2;
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
  if (files.size() > 1) return usage_error("expected exactly one file");

  snap::Layout layout;
  try {
    layout = scenario.layout();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "snapinfo: %s\n", e.what());
    return 2;
  }
  int status = 1;
  try {
    status = run(files[0], layout);
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
