// snapinfo FILE: checks the framing of a snapshot file and prints one table
// row per snapshot with each field's range and the pollutant's total, number
// of non-zero cells and centre of mass.
//
// Exit status: 0 for a complete, undamaged file; 1 for a damaged or
// unreadable file (the complete snapshots before the damage are still
// listed); 2 for bad arguments.
#include <array>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "snapshot/snapshot_file.hpp"
#include "snapshot/statistics.hpp"

namespace snap = plume::snapshot;

namespace {

constexpr const char* usage_text =
    "usage: snapinfo [--help] FILE\n"
    "\n"
    "Checks the framing of the snapshot file FILE that a plume run writes\n"
    "(test_withPollutant.dat) and prints one row per snapshot: the model time\n"
    "in seconds and hours, the minimum and maximum of each of the seven fields,\n"
    "and for the pollutant q its total, its number of non-zero cells and its\n"
    "centre of mass.\n"
    "\n"
    "A damaged file is reported on standard error with the byte offset of the\n"
    "damage and what belongs there; the complete snapshots before it are still\n"
    "listed. Exit status: 0 complete file, 1 damaged or unreadable file,\n"
    "2 bad arguments.\n";

void print_legend(const std::string& path) {
  std::printf("file: %s\n", path.c_str());
  std::printf(
      "fields: q pollutant concentration, dqdt its tendency (1/s), h layer height (m),\n"
      "        us, vs velocity at cell centres (m/s), div divergence (1/s), vort relative vorticity (1/s)\n"
      "q_total = sum(q) x cell area 1 km², in q·km²; q_cells = cells where q != 0;\n"
      "q_cx, q_cy = centre of mass of q in km (cell centres at 0.5 .. 400.5 km; '-' when the total is 0)\n\n");
  std::printf("%4s %7s %5s", "snap", "time_s", "hours");
  for (const auto& f : snap::fields) {
    std::printf(" %11s %11s", (std::string(f.name) + "_min").c_str(), (std::string(f.name) + "_max").c_str());
  }
  std::printf(" %13s %7s %8s %8s\n", "q_total", "q_cells", "q_cx", "q_cy");
}

constexpr std::int64_t complete_run_snapshots = 33;  // 0 .. 16 h

struct Row {
  std::array<snap::FieldStats, snap::fields_per_snapshot> stats;
  snap::PollutantStats pollutant;
};

void print_row(std::int64_t k, const Row& row) {
  const long long t = static_cast<long long>(k) * snap::seconds_per_snapshot;
  std::printf("%4lld %7lld %5.1f", static_cast<long long>(k), t, static_cast<double>(t) / 3600.0);
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

int run(const std::string& path) {
  snap::FileSource source(path);  // throws with a message naming the path
  snap::Reader reader(source);
  std::vector<float> values(reader.values_per_record());
  std::vector<std::string> notes;
  Row row;

  print_legend(path);
  while (reader.next(values) == snap::Reader::Status::record) {
    const int f = reader.field();
    row.stats[static_cast<std::size_t>(f)] = snap::field_stats(values);
    if (row.stats[static_cast<std::size_t>(f)].nan_count > 0) {
      const auto nans = row.stats[static_cast<std::size_t>(f)].nan_count;
      notes.push_back("snapshot " + std::to_string(reader.snapshot()) + ": " + std::to_string(nans) +
                      (nans == 1 ? " NaN value in " : " NaN values in ") +
                      std::string(snap::fields[static_cast<std::size_t>(f)].name) +
                      " (its min and max leave NaN out)");
    }
    if (f == 0) row.pollutant = snap::pollutant_stats(values, snap::grid_nx, snap::grid_ny);
    if (f == snap::fields_per_snapshot - 1) print_row(reader.snapshot(), row);
  }
  for (const auto& n : notes) std::printf("note: %s\n", n.c_str());

  const std::int64_t k = reader.complete_snapshots();
  if (reader.damage() != snap::Damage::none) {
    std::printf("complete snapshots before the damage: %lld\n", static_cast<long long>(k));
    std::fflush(stdout);
    std::fprintf(stderr, "snapinfo: %s: damaged file (%s) %s\n", path.c_str(),
                 std::string(snap::damage_name(reader.damage())).c_str(), reader.message().c_str());
    return 1;
  }
  std::printf("%lld snapshots, %lld records, %llu bytes: framing intact%s\n", static_cast<long long>(k),
              static_cast<long long>(reader.records_read()), static_cast<unsigned long long>(reader.offset()),
              k == complete_run_snapshots ? "" : " (a complete 16 h run has 33 snapshots)");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(usage_text, stdout);
    return 0;
  }
  if (args.size() != 1 || args[0].empty() || (args[0].size() > 1 && args[0][0] == '-')) {
    if (args.empty()) {
      std::fputs("snapinfo: no file given\n", stderr);
    } else if (args.size() > 1) {
      std::fputs("snapinfo: expected exactly one file\n", stderr);
    } else if (args[0].empty()) {
      std::fputs("snapinfo: the file name is empty\n", stderr);
    } else {
      std::fprintf(stderr, "snapinfo: unknown option '%s'\n", std::string(args[0]).c_str());
    }
    std::fputs(usage_text, stderr);
    return 2;
  }
  int status = 1;
  try {
    status = run(std::string(args[0]));
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
