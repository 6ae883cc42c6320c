// Physical checks of a run of any scenario whose first emission comes before
// its first snapshot: the fields stay finite, the first snapshot holds
// exactly the sources' cones, the total pollutant is conserved (nothing
// passes the west wall, the rows are periodic and the pollutant keeps away
// from the east side), and the puffs of each source move with three
// quarters of the wind they sit in, the rate of the two-stage scheme.
//
// Usage: scenario_physics_check SCENARIO OUTDIR   (reads OUTDIR/test_withPollutant.dat)
//
// Sums and moments are in double, so that the statistics add no rounding of
// their own to the float values they inspect.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "driver/scenario.hpp"

namespace {

constexpr int fields = 7;  // q, dqdt, h, us, vs, div, vort
enum field_index { q_rec, dqdt_rec, h_rec, us_rec, vs_rec, div_rec, vort_rec };
constexpr std::array<const char*, fields> names{"q", "dqdt", "h", "us", "vs", "div", "vort"};

int passed = 0, failed = 0;
void report(bool ok, const std::string& name, const std::string& detail) {
  std::printf("%s %s: %s\n", ok ? "ok  " : "FAIL", name.c_str(), detail.c_str());
  (ok ? passed : failed) += 1;
}
std::string format(const char* fmt, auto... args) {
  char text[1024];
  std::snprintf(text, sizeof text, fmt, args...);
  return text;
}

struct grid {
  int nx, ny;
  float spacing;
  std::size_t cells() const { return static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny); }
  // Grid line i (1-based) as the model places it, and the cell centre.
  float line(int i) const { return static_cast<float>(i - 1) * spacing; }
  float centre(int i) const { return 0.5f * (line(i) + line(i + 1)); }
  float at(const std::vector<float>& f, int i, int j) const {
    return f[static_cast<std::size_t>(i - 1) + static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(nx)];
  }
};

// The cone of a source at cell (i, j): peak x (1 - |r / radius|) within the
// radius of the cell centre, 0 beyond; the cells are i < nx, j < ny.
float cone(const grid& g, const point_source& p, int i, int j) {
  if (i >= g.nx || j >= g.ny) return 0.0f;
  const float dx = g.centre(i) - p.x_m;
  const float dy = g.centre(j) - p.y_m;
  const float r = std::sqrt(dx * dx + dy * dy);
  return !(r <= p.radius_m) ? 0.0f : p.peak * (1.0f - std::fabs(r / p.radius_m));
}

bool read_record(std::ifstream& in, std::vector<float>& data) {
  std::int32_t head = 0, tail = 0;
  in.read(reinterpret_cast<char*>(&head), sizeof head);
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size() * sizeof(float)));
  in.read(reinterpret_cast<char*>(&tail), sizeof tail);
  const auto bytes = static_cast<std::int64_t>(data.size() * sizeof(float));
  return in.good() && head == bytes && tail == bytes;
}

// Pollutant mass, first moments and q-weighted wind of one source's share of
// the domain, optionally without a freshly emitted cone.
struct moments {
  double mass = 0, x = 0, y = 0, u = 0, v = 0, near_wall = 0;
  double com_x() const { return x / mass; }
  double com_y() const { return y / mass; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SCENARIO OUTDIR\n", argv[0]);
    return 2;
  }
  scenario s;
  try {
    s = read_scenario(argv[1]);
  } catch (const scenario_error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  const std::string path = std::string(argv[2]) + "/test_withPollutant.dat";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    return 2;
  }
  const grid g{s.nx, s.ny, s.spacing_m};
  const std::vector<std::int32_t> passes = s.snapshot_passes();
  const std::size_t count = s.sources.size();
  const auto emitted_at = [&](int n) {
    return n >= s.emission_first_s && std::fmod(static_cast<float>(n), s.emission_every_s) == 0.0f;
  };
  if (passes.size() < 3 || !emitted_at(passes[0])) {
    std::fprintf(stderr, "the scenario must emit at its first snapshot pass and have three snapshots or more\n");
    return 2;
  }

  // Each cell belongs to the source whose line of drift (through the source
  // along the initial wind) is nearest: the puffs move along those lines.
  const double wu = static_cast<double>(s.wind_u()), wv = static_cast<double>(s.wind_v());
  const double norm = std::hypot(wu, wv);
  const double nxr = -wv / norm, nyr = wu / norm;  // across the wind
  std::vector<int> owner(g.cells());
  for (int j = 1; j <= g.ny; ++j)
    for (int i = 1; i <= g.nx; ++i) {
      double best = 1e300;
      for (std::size_t k = 0; k < count; ++k) {
        const double d = std::fabs((static_cast<double>(g.centre(i)) - static_cast<double>(s.sources[k].x_m)) * nxr +
                                   (static_cast<double>(g.centre(j)) - static_cast<double>(s.sources[k].y_m)) * nyr);
        if (d < best) best = d, owner[static_cast<std::size_t>(i - 1 + (j - 1) * g.nx)] = static_cast<int>(k);
      }
    }

  // The cones, summed per cell in the order of the sources as an emission
  // adds them, and their total.
  std::vector<float> cones(g.cells(), 0.0f);
  std::vector<double> cone_mass(count, 0.0);
  double cone_sum = 0;
  for (std::size_t k = 0; k < count; ++k)
    for (int j = 1; j <= g.ny; ++j)
      for (int i = 1; i <= g.nx; ++i) {
        const float c = cone(g, s.sources[k], i, j);
        float& sum = cones[static_cast<std::size_t>(i - 1 + (j - 1) * g.nx)];
        sum = sum + c;
        cone_mass[k] += static_cast<double>(c);
      }
  for (float c : cones) cone_sum += static_cast<double>(c);

  const auto share = [&](const std::vector<float>& q, const std::vector<float>& us, const std::vector<float>& vs,
                         std::size_t k, bool without_new_cone) {
    moments m;
    for (int j = 1; j <= g.ny; ++j)
      for (int i = 1; i <= g.nx; ++i) {
        if (owner[static_cast<std::size_t>(i - 1 + (j - 1) * g.nx)] != static_cast<int>(k)) continue;
        double c = static_cast<double>(g.at(q, i, j));
        if (without_new_cone) c -= static_cast<double>(cone(g, s.sources[k], i, j));
        m.mass += c;
        m.x += c * static_cast<double>(g.centre(i));
        m.y += c * static_cast<double>(g.centre(j));
        m.u += c * static_cast<double>(g.at(us, i, j));
        m.v += c * static_cast<double>(g.at(vs, i, j));
        if (i <= 3) m.near_wall += c;
      }
    return m;
  };

  std::array<std::vector<float>, fields> f;
  for (auto& field : f) field.resize(g.cells());
  long long non_finite = 0;
  int emissions = 0;
  double worst_total = 0;
  std::vector<moments> previous(count);
  double worst_rate = 0;
  int compared = 0;
  bool wall_reached = false;

  for (std::size_t snap = 0; snap < passes.size(); ++snap) {
    const int n = passes[snap];
    for (int r = 0; r < fields; ++r) {
      if (!read_record(in, f[static_cast<std::size_t>(r)])) {
        report(false, "framing", format("snapshot %zu, record %s: short or badly framed", snap, names[r]));
        std::printf("%d passed, %d failed\n", passed, failed);
        return 1;
      }
    }
    for (const auto& field : f)
      for (float x : field) non_finite += !std::isfinite(x);
    const std::vector<float>& q = f[q_rec];
    double total = 0;
    for (float x : q) total += static_cast<double>(x);
    // Emissions up to this pass (the emission of a pass comes before its snapshot).
    const int before = snap == 0 ? -1 : passes[snap - 1];
    const bool emitted_now = emitted_at(n);
    for (int m = before + 1; m <= n; ++m) emissions += emitted_at(m);

    if (snap == 0) {
      long long mismatched = 0;
      for (std::size_t c = 0; c < g.cells(); ++c)
        mismatched += std::bit_cast<std::uint32_t>(q[c]) != std::bit_cast<std::uint32_t>(cones[c] + 0.0f);
      report(
          mismatched == 0 && total == cone_sum, "first_emission_is_the_cones",
          format("%lld cells differ from the summed cones; total %.9g, cones' sum %.9g", mismatched, total, cone_sum));
    } else {
      // Per step each value is rounded about three times, each by at most
      // 2^-24 of up to twice itself: the total drifts by at most 3 x 2^-24
      // of itself per step.
      const double expected = emissions * cone_sum;
      const double bound = 3.0 * 0x1p-24 * n * expected;
      worst_total = std::max(worst_total, std::fabs(total - expected) / bound);
      if (std::fabs(total - expected) > bound)
        report(false, format("total_at_%d", n),
               format("total %.9g, expected %.9g, bound %.3g", total, expected, bound));
    }

    for (std::size_t k = 0; k < count; ++k) {
      const moments start = share(q, f[us_rec], f[vs_rec], k, false);
      if (snap > 0 && !wall_reached) {
        const moments end = share(q, f[us_rec], f[vs_rec], k, emitted_now);
        const moments& prev = previous[k];
        const double dt = n - before;
        const double vx = (end.com_x() - prev.com_x()) / dt, vy = (end.com_y() - prev.com_y()) / dt;
        const double ax = 0.75 * 0.5 * (prev.u / prev.mass + end.u / end.mass);
        const double ay = 0.75 * 0.5 * (prev.v / prev.mass + end.v / end.mass);
        // Relative to the speed, so that a small component is not judged
        // on its own.
        const double miss = std::hypot(vx - ax, vy - ay) / std::hypot(ax, ay);
        std::printf(
            "     source %zu, t %d-%d s: centre (%.3f, %.3f) km, velocity (%+.4f, %+.4f) m/s, 3/4 of the wind "
            "there (%+.4f, %+.4f) m/s, off by %.2f%%\n",
            k + 1, before, n, end.com_x() / 1000, end.com_y() / 1000, vx, vy, ax, ay, 100 * miss);
        worst_rate = std::max(worst_rate, miss);
        ++compared;
      }
      if (start.near_wall > 1e-3 * start.mass) wall_reached = true;
      previous[k] = start;
    }
  }

  report(non_finite == 0, "all_finite", format("%lld NaN or infinite values", non_finite));
  report(worst_total <= 1.0, "total_conserved",
         format("%d emissions; largest deviation of the total from the emitted cones %.3g of the rounding bound",
                emissions, worst_total));
  // The wind slows towards the west wall, so it varies across a puff, and
  // the scheme's phase error moves a fresh, sharp cone a little off the
  // wind: a few percent. The nearest wrong rates (the full wind, half of it)
  // are a third away.
  const double tolerance = 0.05;
  report(compared >= 3 * static_cast<int>(count) && worst_rate <= tolerance,
         "puffs_move_with_three_quarters_of_the_wind",
         format("%d source-intervals before a puff reached the west wall; largest difference %.2f%% of the speed "
                "(tolerance %.0f%%)",
                compared, 100 * worst_rate, 100 * tolerance));
  char extra = 0;
  in.read(&extra, 1);
  report(in.eof(), "file_ends_after_the_last_snapshot", in.eof() ? "no trailing bytes" : "bytes follow it");
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
