// The production step against the plain composition on many random states:
// every array the step writes, halo included, must hold the same bits after
// each of a few steps (NaN payloads aside, see first_difference).
//
// Each case draws a grid (4 x 4 to 40 x 60 interior points), a spacing (from
// the smallest the scenario validator accepts up to 1e38 m, with the values
// either side of the step's own limits), an inflow, a flow (rough, uniform,
// the same row repeated, or uniform with patches), a height, a pollutant
// (none, specks, blobs or everywhere) and a thread count (1 to 8), then runs
// one to four steps with emissions and stray writes between them. Special
// values appear throughout: NaN, infinities, signed zeros, subnormals, and
// values just below, at and just above every limit the step's shortcuts
// test (pollutant_map.hpp, calm_flow.hpp). The cases run back to back with
// no clearing between them, and one case in three reuses the workspace and
// team of the case before, so that anything one case left behind would
// show in the next.
//
// PLUME_DIFFERENTIAL_CASES sets the number of cases (default 3000) and
// PLUME_DIFFERENTIAL_SEED the seed of the whole sequence (default 1); a
// failure names the seed, the case and the first difference.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "grid/domain.hpp"
#include "timestep/row_team.hpp"
#include "timestep/step_workspace.hpp"
#include "timestep/timestep.hpp"

namespace {

using limits = std::numeric_limits<float>;

long env_number(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  return (end != nullptr && *end == '\0') ? n : fallback;
}

float below(float x) { return std::nextafter(x, -limits::infinity()); }
float above(float x) { return std::nextafter(x, limits::infinity()); }

// The smallest spacing the scenario validator accepts: the momentum
// equations' bound (196200 + 200) m^2/s x 1 s x 2 / dx^2 <= 0.5.
float smallest_valid_spacing() {
  float d = 886.0f;
  while ((196200.0 + 200.0) * (2.0 / (static_cast<double>(d) * static_cast<double>(d))) > 0.5) d = above(d);
  return d;
}

// Values at the edges of what the step's shortcuts distinguish, and the
// usual troublemakers of float arithmetic.
std::vector<float> special_values() {
  const float modest = std::bit_cast<float>(0x7cf0bdc2u);  // 1e37, the calm faces' limit
  const float moderate = 1e15f;                             // the clean cells' speed limit
  return {limits::quiet_NaN(), limits::infinity(), -limits::infinity(), 0.0f, -0.0f, limits::denorm_min(),
          -limits::denorm_min(), 1e-40f, limits::min(), limits::max(), -limits::max(), below(moderate), moderate,
          above(moderate), -moderate, below(modest), modest, above(modest), -modest, 8.6e37f, 9e37f, 1.7e38f,
          1e22f, -1e22f, 1e24f, 0.5f, -1.0f};
}

class draw {
 public:
  explicit draw(std::uint64_t seed) : g_(seed) {}
  int between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(g_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(g_); }
  float uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(g_); }
  // A value of either sign up to `scale` in size, a zero of either sign now
  // and then.
  float signed_up_to(float scale) {
    if (chance(0.05)) return chance(0.5) ? 0.0f : -0.0f;
    return uniform(-1.0f, 1.0f) * scale;
  }
  float special() {
    const std::size_t k = static_cast<std::size_t>(between(0, static_cast<int>(specials_.size()) - 1));
    return specials_[k];
  }
  // Log-uniform in [lo, hi].
  float log_uniform(float lo, float hi) {
    const float e = uniform(std::log(lo), std::log(hi));
    const float x = std::exp(e);
    return x < lo ? lo : (x > hi ? hi : x);
  }
  std::mt19937_64& engine() { return g_; }

 private:
  std::mt19937_64 g_;
  std::vector<float> specials_ = special_values();
};

// One random case: its grid and settings, and the state the steps start from.
struct random_case {
  int ni = 0, nj = 0, threads = 1, steps = 1;
  float spacing = 1000.0f, u_in = 0.0f, v_in = 0.0f;
  std::string flow, height, pollutant;
  grid_bounds b{};
  std::vector<float> u, v, h, q, dqdt, unread;

  std::size_t size() const { return field_size(b.ims, b.ime, b.jms, b.jme); }
  std::size_t at(int i, int j) const { return static_cast<std::size_t>(::at(i, j, b.ims, b.ime, b.jms)); }
  std::string describe() const {
    std::ostringstream o;
    o.precision(9);
    o << ni << " x " << nj << " points, spacing " << spacing << " m, inflow (" << u_in << ", " << v_in << "), "
      << flow << " flow, " << height << " height, pollutant " << pollutant << ", " << threads << " threads, "
      << steps << " steps";
    return o.str();
  }
};

// Fills a field with a patch of `value` at a random place, 1 to 7 points
// each way, anywhere in the stored extent.
void patch(draw& d, random_case& c, std::vector<float>& f, float value) {
  const int w = d.between(1, 7), hgt = d.between(1, 7);
  const int i0 = d.between(c.b.ims, c.b.ime), j0 = d.between(c.b.jms, c.b.jme);
  for (int j = j0; j <= std::min(c.b.jme, j0 + hgt - 1); ++j)
    for (int i = i0; i <= std::min(c.b.ime, i0 + w - 1); ++i) f[c.at(i, j)] = value;
}

// A few points of the field set to special values or nudged by an ulp.
void stray_points(draw& d, random_case& c, std::vector<float>& f) {
  for (int n = d.between(1, 4); n > 0; --n) {
    float& x = f[c.at(d.between(c.b.ims, c.b.ime), d.between(c.b.jms, c.b.jme))];
    x = d.chance(0.5) ? d.special() : above(x);
  }
}

random_case make_case(draw& d, const random_case* previous, bool reuse_grid) {
  random_case c;
  if (reuse_grid && previous != nullptr) {
    c.ni = previous->ni, c.nj = previous->nj, c.threads = previous->threads;
  } else {
    c.ni = d.between(4, 40), c.nj = d.between(4, 60), c.threads = d.between(1, 8);
  }
  c.b = {1, c.ni, 1, c.nj, -1, c.ni + 2, -1, c.nj + 2};
  c.steps = d.between(1, 4);

  // The spacing: the reference's, the smallest valid one, any up to 1e38 m,
  // or one at the limits of the step's shortcuts.
  const int kind = d.between(0, 9);
  if (kind <= 2) {
    c.spacing = 1000.0f;
  } else if (kind == 3) {
    c.spacing = smallest_valid_spacing();
  } else if (kind <= 7) {
    c.spacing = d.log_uniform(smallest_valid_spacing(), 1e38f);
  } else {
    // Beside the limits the step tests, the spacings below which the
    // limited correction of a face at the largest moderate speed overflows
    // (about 1.5e-9 m), which the step's own limit keeps well away from.
    const float limits_of_spacing[] = {below(1e15f), 1e15f,  above(1e15f), 1e38f, limits::max(),
                                       1e-6f,        below(1e-6f), 1.2e-9f, 1e-9f};
    c.spacing = limits_of_spacing[d.between(0, 8)];
  }
  // Winds up to a Courant number of 1, now and then exactly 1 along an
  // axis (the upwind flux then carries a cell's whole content on).
  const float courant = d.chance(0.2) ? 1.0f : d.uniform(0.0f, 1.0f);
  const float wind = c.spacing * courant;
  const auto component = [&] {
    if (d.chance(0.1)) return d.special();
    if (d.chance(0.15)) return d.chance(0.5) ? c.spacing : -c.spacing;
    if (d.chance(0.1)) return d.chance(0.5) ? 0.0f : -0.0f;
    return d.signed_up_to(wind);
  };
  c.u_in = component();
  c.v_in = component();

  const std::size_t n = c.size();
  c.u.resize(n), c.v.resize(n), c.h.resize(n), c.q.resize(n), c.dqdt.resize(n), c.unread.resize(n);
  for (float& x : c.dqdt) x = d.chance(0.1) ? d.special() : d.signed_up_to(1.0f);
  for (float& x : c.unread) x = d.special();

  // The flow.
  const char* const flows[] = {"rough", "uniform", "repeated-row", "patched"};
  const int flow = d.between(0, 3);
  c.flow = flows[flow];
  const auto rough = [&](std::vector<float>& f, float scale) {
    for (float& x : f) x = d.chance(0.01) ? d.special() : d.signed_up_to(scale);
  };
  const float hscale = d.chance(0.5) ? 50.0f : d.log_uniform(1e-3f, 1e30f);
  switch (flow) {
    case 0:
      rough(c.u, wind), rough(c.v, wind);
      break;
    case 1:
    case 3: {
      const bool halo_at_rest = d.chance(0.5);  // as the initial state leaves it
      for (int j = c.b.jms; j <= c.b.jme; ++j) {
        for (int i = c.b.ims; i <= c.b.ime; ++i) {
          const bool inside = i >= c.b.ids && i <= c.b.ide && j >= c.b.jds && j <= c.b.jde;
          c.u[c.at(i, j)] = (inside || !halo_at_rest) ? c.u_in : 0.0f;
          c.v[c.at(i, j)] = (inside || !halo_at_rest) ? c.v_in : 0.0f;
        }
      }
      if (flow == 3) {
        for (int k = d.between(1, 6); k > 0; --k) {
          std::vector<float>& f = d.chance(0.5) ? c.u : c.v;
          const float base = &f == &c.u ? c.u_in : c.v_in;
          const float value = d.chance(0.5) ? d.special() : (d.chance(0.5) ? above(base) : base + d.signed_up_to(1.0f));
          patch(d, c, f, value);
        }
      }
      break;
    }
    case 2: {
      rough(c.u, wind), rough(c.v, wind);
      break;
    }
  }
  // The height: flat, rough, or flat with patches.
  const char* const heights[] = {"flat", "rough", "patched"};
  const int height = d.between(0, 2);
  c.height = heights[height];
  const float level = d.chance(0.3) ? d.special() : d.signed_up_to(hscale);
  if (height == 1) {
    rough(c.h, hscale);
  } else {
    for (float& x : c.h) x = level;
    if (height == 2)
      for (int k = d.between(1, 4); k > 0; --k) patch(d, c, c.h, d.chance(0.5) ? d.special() : above(level));
  }
  // The pollutant.
  const char* const pollutants[] = {"absent", "specks", "blobs", "everywhere"};
  const int pollutant = d.between(0, 3);
  c.pollutant = pollutants[pollutant];
  const bool mixed_zeros = d.chance(0.3);
  for (float& x : c.q) x = (mixed_zeros && d.chance(0.5)) ? -0.0f : 0.0f;
  const auto amount = [&] { return d.chance(0.15) ? d.special() : d.uniform(0.0f, 1.0f); };
  switch (pollutant) {
    case 1:
      for (int k = d.between(1, 6); k > 0; --k) c.q[c.at(d.between(c.b.ims, c.b.ime), d.between(c.b.jms, c.b.jme))] = amount();
      break;
    case 2:
      for (int k = d.between(1, 3); k > 0; --k) patch(d, c, c.q, amount());
      break;
    case 3:
      for (float& x : c.q) x = d.chance(0.1) ? 0.0f : amount();
      break;
  }
  // A row repeated over the whole grid, in all four fields, with a few
  // rows that break the repetition.
  if (flow == 2) {
    const auto nx = static_cast<std::size_t>(c.b.ime - c.b.ims + 1);
    const bool with_q = d.chance(0.7);
    for (std::vector<float>* f : {&c.u, &c.v, &c.h, &c.q}) {
      if (f == &c.q && !with_q) continue;
      for (std::size_t k = nx; k < n; ++k) (*f)[k] = (*f)[k - nx];
    }
    for (int k = d.between(0, 3); k > 0; --k) {
      std::vector<float>* fields[] = {&c.u, &c.v, &c.h, &c.q};
      std::vector<float>& f = *fields[d.between(0, 3)];
      const int j = d.between(c.b.jms, c.b.jme);
      const int i = d.chance(0.3) ? c.b.ids : d.between(c.b.ims, c.b.ime);
      f[c.at(i, j)] = d.chance(0.5) ? d.special() : above(f[c.at(i, j)]);
    }
  }
  return c;
}

// What happens to the state between two steps: nothing, an emission (a cone
// added to q at every stored point, as the driver adds its sources), or
// stray writes into the fields.
void between_steps(draw& d, random_case& c, std::vector<float>* fields[4]) {
  const int what = d.between(0, 3);
  if (what == 1) {
    const float ic = d.uniform(static_cast<float>(c.b.ims), static_cast<float>(c.b.ime));
    const float jc = d.uniform(static_cast<float>(c.b.jms), static_cast<float>(c.b.jme));
    const float radius = d.uniform(0.5f, 4.0f), peak = d.chance(0.1) ? d.special() : d.uniform(0.1f, 2.0f);
    for (int j = c.b.jms; j <= c.b.jme; ++j) {
      for (int i = c.b.ims; i <= c.b.ime; ++i) {
        const float r = std::hypot(static_cast<float>(i) - ic, static_cast<float>(j) - jc);
        const float cone = r > radius ? 0.0f : peak * (1.0f - r / radius);
        float& x = (*fields[3])[c.at(i, j)];
        x = cone + x;
      }
    }
  } else if (what == 2) {
    stray_points(d, c, *fields[d.between(0, 3)]);
  }
}

// First linear position where two arrays differ in their bits, or -1;
// NaN against NaN counts as the same (see production_step_test.cpp).
long first_difference(const std::vector<float>& a, const std::vector<float>& b) {
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (std::isnan(a[k]) && std::isnan(b[k])) continue;
    if (std::bit_cast<std::uint32_t>(a[k]) != std::bit_cast<std::uint32_t>(b[k])) return static_cast<long>(k);
  }
  return -1;
}

std::string value_text(float x) {
  char text[64];
  std::snprintf(text, sizeof text, "%.9g (%08X)", static_cast<double>(x), std::bit_cast<std::uint32_t>(x));
  return text;
}

// Steps the case with both procedures; the first difference, or "".
std::string compare_steps(draw& d, random_case& c, step_workspace& ws) {
  random_case ref = c;
  const grid_spacing s = make_spacing(c.spacing, c.spacing);
  const grid_bounds& b = c.b;
  for (int step = 1; step <= c.steps; ++step) {
    rk2_reference(ref.u.data(), ref.v.data(), ref.h.data(), ref.q.data(), ref.dqdt.data(), c.unread.data(),
                  c.unread.data(), c.unread.data(), c.unread.data(), s, c.u_in, c.v_in, b.ids, b.ide, b.jds, b.jde,
                  b.ims, b.ime, b.jms, b.jme);
    rk2(c.u.data(), c.v.data(), c.h.data(), c.q.data(), c.dqdt.data(), c.unread.data(), c.unread.data(),
        c.unread.data(), c.unread.data(), s, c.u_in, c.v_in, b.ids, b.ide, b.jds, b.jde, b.ims, b.ime, b.jms, b.jme,
        ws);
    const struct {
      const char* name;
      const std::vector<float>& want;
      const std::vector<float>& got;
    } fields[] = {{"u", ref.u, c.u}, {"v", ref.v, c.v}, {"h", ref.h, c.h}, {"q", ref.q, c.q}, {"dqdt", ref.dqdt, c.dqdt}};
    for (const auto& f : fields) {
      const long k = first_difference(f.want, f.got);
      if (k < 0) continue;
      const int nx = b.ime - b.ims + 1;
      const int i = b.ims + static_cast<int>(k % nx), j = b.jms + static_cast<int>(k / nx);
      return std::string(f.name) + " differs after step " + std::to_string(step) + " at (" + std::to_string(i) + ", " +
             std::to_string(j) + "): the plain composition gives " + value_text(f.want[static_cast<std::size_t>(k)]) +
             ", rk2 gives " + value_text(f.got[static_cast<std::size_t>(k)]);
    }
    if (step < c.steps) {
      // The same event for both, drawn once.
      draw event(d.engine()());
      draw same_event = event;
      std::vector<float>* mine[4] = {&c.u, &c.v, &c.h, &c.q};
      std::vector<float>* theirs[4] = {&ref.u, &ref.v, &ref.h, &ref.q};
      between_steps(event, c, mine);
      between_steps(same_event, ref, theirs);
    }
  }
  return "";
}

TEST(StepDifferential, RandomStatesGiveTheBitsOfThePlainComposition) {
  const long cases = env_number("PLUME_DIFFERENTIAL_CASES", 3000);
  const auto seed = static_cast<std::uint64_t>(env_number("PLUME_DIFFERENTIAL_SEED", 1));
  // One team of each size, made once: a case takes the team of its count.
  std::vector<std::unique_ptr<step_team>> teams;
  for (int threads = 1; threads <= 8; ++threads) teams.push_back(std::make_unique<step_team>(threads));
  std::unique_ptr<step_workspace> ws;
  std::unique_ptr<random_case> previous;
  int failures = 0;
  for (long n = 0; n < cases && failures < 5; ++n) {
    draw d(seed * 0x9E3779B97F4A7C15ull + static_cast<std::uint64_t>(n));
    const bool reuse = previous != nullptr && d.chance(1.0 / 3.0);
    random_case c = make_case(d, previous.get(), reuse);
    if (!reuse) ws = std::make_unique<step_workspace>(c.b, *teams[static_cast<std::size_t>(c.threads - 1)]);
    const std::string difference = compare_steps(d, c, *ws);
    if (!difference.empty()) {
      ++failures;
      ADD_FAILURE() << "seed " << seed << ", case " << n << (reuse ? " (reusing the workspace of case " : "")
                    << (reuse ? std::to_string(n - 1) + ")" : std::string()) << ": " << c.describe() << ": "
                    << difference << "\nrerun with PLUME_DIFFERENTIAL_SEED=" << seed
                    << " PLUME_DIFFERENTIAL_CASES=" << n + 1;
    }
    previous = std::make_unique<random_case>(std::move(c));
  }
}

}  // namespace
