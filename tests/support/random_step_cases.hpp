#pragma once
// Random states for comparing the production step with the plain
// composition: a grid, a spacing (from the smallest the scenario validator
// accepts up to 1e38 m, with the values either side of the step's own
// limits and infinity, now and then along one axis only), an inflow, a flow
// (rough, uniform, the same row repeated, or uniform with patches), a
// height, a pollutant (none, specks, blobs or everywhere) and what happens
// between steps (emissions, stray writes).
// Special values appear throughout: NaN, infinities, signed zeros,
// subnormals, and values just below, at and just above every limit the
// step's shortcuts test (pollutant_map.hpp), and huge finite values whose
// sums overflow.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "grid/bounds.hpp"
#include "grid/domain.hpp"
#include "support/float_bits.hpp"

namespace random_steps {

using limits = std::numeric_limits<float>;

inline float below(float x) { return std::nextafter(x, -limits::infinity()); }
inline float above(float x) { return std::nextafter(x, limits::infinity()); }

// The smallest spacing the scenario validator accepts: the momentum
// equations' bound (196200 + 200) m^2/s x 1 s x 2 / dx^2 <= 0.5.
inline float smallest_valid_spacing() {
  float d = 886.0f;
  while ((196200.0 + 200.0) * (2.0 / (static_cast<double>(d) * static_cast<double>(d))) > 0.5) d = above(d);
  return d;
}

// Values at the edges of what the step's shortcuts distinguish, and the
// usual troublemakers of float arithmetic.
inline std::vector<float> special_values() {
  const float huge = std::bit_cast<float>(0x7cf0bdc2u);  // 1e37: ten of them overflow
  const float moderate = 1e15f;                             // the clean cells' speed limit
  return {limits::quiet_NaN(), limits::infinity(), -limits::infinity(), 0.0f, -0.0f, limits::denorm_min(),
          -limits::denorm_min(), 1e-40f, limits::min(), limits::max(), -limits::max(), below(moderate), moderate,
          above(moderate), -moderate, below(huge), huge, above(huge), -huge, 8.6e37f, 9e37f, 1.7e38f,
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
  float spacing = 1000.0f, spacing_y = 1000.0f, u_in = 0.0f, v_in = 0.0f;
  std::string flow, height, pollutant;
  grid_bounds b{};
  std::vector<float> u, v, h, q, dqdt, unread;

  std::size_t size() const { return field_size(b.ims, b.ime, b.jms, b.jme); }
  std::size_t at(int i, int j) const { return static_cast<std::size_t>(::at(i, j, b.ims, b.ime, b.jms)); }
  std::string describe() const {
    std::ostringstream o;
    o.precision(9);
    o << ni << " x " << nj << " points, spacing " << spacing;
    if (spacing_y != spacing) o << " x " << spacing_y;
    o << " m, inflow (" << u_in << ", " << v_in << "), "
      << flow << " flow, " << height << " height, pollutant " << pollutant << ", " << threads << " threads, "
      << steps << " steps";
    return o.str();
  }
};

// Fills a field with a patch of `value` at a random place, 1 to 7 points
// each way, anywhere in the stored extent.
inline void patch(draw& d, random_case& c, std::vector<float>& f, float value) {
  const int w = d.between(1, 7), hgt = d.between(1, 7);
  const int i0 = d.between(c.b.ims, c.b.ime), j0 = d.between(c.b.jms, c.b.jme);
  for (int j = j0; j <= std::min(c.b.jme, j0 + hgt - 1); ++j)
    for (int i = i0; i <= std::min(c.b.ime, i0 + w - 1); ++i) f[c.at(i, j)] = value;
}

// A case on a grid of ni x nj interior points (a halo of two) with the given
// thread count.
inline random_case make_case(draw& d, int ni, int nj, int threads) {
  random_case c;
  c.ni = ni, c.nj = nj, c.threads = threads;
  c.b = {1, c.ni, 1, c.nj, -1, c.ni + 2, -1, c.nj + 2};
  c.steps = d.between(1, 4);

  // The spacing: the reference's, the smallest valid one, any up to 1e38 m,
  // or one at the limits of the step's shortcuts.
  const int kind = d.between(0, 9);
  bool at_limit = false;
  if (kind <= 2) {
    c.spacing = 1000.0f;
  } else if (kind == 3) {
    c.spacing = smallest_valid_spacing();
  } else if (kind <= 7) {
    c.spacing = d.log_uniform(smallest_valid_spacing(), 1e38f);
  } else {
    // Beside the limits the step tests, the spacings below which the
    // limited correction of a face at the largest moderate speed overflows
    // (about 1.5e-9 m), which the step's own limit keeps well away from,
    // and infinity.
    const float limits_of_spacing[] = {below(1e15f), 1e15f,        above(1e15f), 1e38f,
                                       limits::max(), limits::infinity(), 1e-6f, below(1e-6f),
                                       1.2e-9f,       1e-9f};
    c.spacing = limits_of_spacing[d.between(0, 9)];
    at_limit = true;
  }
  c.spacing_y = c.spacing;
  // Now and then cells at a limit along one axis only, the reference's
  // 1000 m along the other.
  if (at_limit && d.chance(0.5)) (d.chance(0.5) ? c.spacing : c.spacing_y) = 1000.0f;
  // Winds up to a Courant number of 1 along each axis, now and then exactly
  // 1 (the upwind flux then carries a cell's whole content on). Over a
  // spacing at a limit, half the time winds up to the largest speed at
  // which the step takes a face between clean cells to carry nothing
  // (1e15 m/s) instead, whatever the spacing: below about 1.5e-9 m the
  // limited correction of such a face overflows, and over infinite cells
  // its flux is a zero times infinity; both make the flux between two clean
  // cells NaN.
  const bool fastest = at_limit && d.chance(0.5);
  const float courant = fastest || d.chance(0.2) ? 1.0f : d.uniform(0.0f, 1.0f);
  const float unit_x = fastest ? 1e15f : c.spacing, unit_y = fastest ? 1e15f : c.spacing_y;
  const float wind_x = unit_x * courant, wind_y = unit_y * courant;
  const auto component = [&](float unit, float wind) {
    if (d.chance(0.1)) return d.special();
    if (d.chance(0.15)) return d.chance(0.5) ? unit : -unit;
    if (d.chance(0.1)) return d.chance(0.5) ? 0.0f : -0.0f;
    return d.signed_up_to(wind);
  };
  c.u_in = component(unit_x, wind_x);
  c.v_in = component(unit_y, wind_y);

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
      rough(c.u, wind_x), rough(c.v, wind_y);
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
      rough(c.u, wind_x), rough(c.v, wind_y);
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
// stray writes into the fields, at points given in the grid's numbering so
// that the same event can be applied to the whole grid and to its blocks.
struct step_event {
  enum { nothing, emission, stray } kind = nothing;
  float ic = 0, jc = 0, radius = 1, peak = 0;  // the emission's cone
  struct poke {
    int field, i, j;
    bool nudge;  // one ulp up, or set to `value`
    float value;
  };
  std::vector<poke> pokes;
};

inline step_event draw_event(draw& d, const grid_bounds& b) {
  step_event e;
  const int what = d.between(0, 3);
  if (what == 1) {
    e.kind = step_event::emission;
    e.ic = d.uniform(static_cast<float>(b.ims), static_cast<float>(b.ime));
    e.jc = d.uniform(static_cast<float>(b.jms), static_cast<float>(b.jme));
    e.radius = d.uniform(0.5f, 4.0f);
    e.peak = d.chance(0.1) ? d.special() : d.uniform(0.1f, 2.0f);
  } else if (what == 2) {
    e.kind = step_event::stray;
    const int field = d.between(0, 3);
    for (int n = d.between(1, 4); n > 0; --n) {
      const int i = d.between(b.ims, b.ime), j = d.between(b.jms, b.jme);
      const bool nudge = d.chance(0.5);
      e.pokes.push_back({field, i, j, nudge, nudge ? 0.0f : d.special()});
    }
  }
  return e;
}

// Applies the event to u, v, h, q over the stored extent of bounds b (all
// of the grid, or a block of it: points outside it are left out).
inline void apply_event(const step_event& e, float* const fields[4], const grid_bounds& b) {
  const auto at_b = [&](int i, int j) { return static_cast<std::size_t>(::at(i, j, b.ims, b.ime, b.jms)); };
  if (e.kind == step_event::emission) {
    for (int j = b.jms; j <= b.jme; ++j) {
      for (int i = b.ims; i <= b.ime; ++i) {
        const float r = std::hypot(static_cast<float>(i) - e.ic, static_cast<float>(j) - e.jc);
        const float cone = r > e.radius ? 0.0f : e.peak * (1.0f - r / e.radius);
        float& x = fields[3][at_b(i, j)];
        x = cone + x;
      }
    }
  }
  for (const auto& p : e.pokes) {
    if (p.i < b.ims || p.i > b.ime || p.j < b.jms || p.j > b.jme) continue;
    float& x = fields[p.field][at_b(p.i, p.j)];
    x = p.nudge ? above(x) : p.value;
  }
}

inline long env_number(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  return (end != nullptr && *end == '\0') ? n : fallback;
}

}  // namespace random_steps
