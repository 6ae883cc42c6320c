// The pollutant loops of a row's span (kernels/pollutant_span.hpp), which
// the compiler evaluates several points at a time, against the per-point
// functions evaluated one point at a time, bit for bit (NaN payloads aside).
//
// Every span length from 1 to 33 starts at every offset 0..15 from a
// 64-byte boundary, so that each lane of the widest vector, the peeled
// points before it and the tail after it all get each kind of value; so do
// spans of 64, 97 and 130, whose loops with weights formed ahead run
// unrolled, four of the widest vectors at a time. The
// values are aimed at every branch of the limiter (ratios below 0, in
// 0..0.5, 0.5..1, 1..2 and above 2, the switch points 0.5, 1 and 2
// exactly, a NaN ratio from 0/0 and infinite ones), velocities of both
// signs, signed zeros and Courant numbers above 1; and one special value
// (NaN, -0, +inf, -inf, a subnormal, the largest float) is put into one
// input at one position, for every position of the span. Four pollutants
// share each case's velocities, as species on one flow do; the loops also
// form fluxes past the span's end, to fill their last vector, which must
// leave the span's own values as they are. The x and north faces are also
// formed in one loop, as a row with pollutant forms them, and every flux
// loop runs again reading its faces' weights formed ahead.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "kernels/point_terms.hpp"
#include "kernels/pollutant_span.hpp"
#include "support/float_bits.hpp"
#include "timestep/timestep.hpp"

namespace {

using pollutant_span::span;

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr int species = 4;
// Room on either side of a span for the cells its faces read.
constexpr int margin = 4;
constexpr int every_length_to = 33;
constexpr int long_lengths[] = {64, 97, 130};
constexpr int longest = long_lengths[std::size(long_lengths) - 1];
constexpr int offsets = 16;
constexpr int row_length = 2 * margin + offsets + longest + 16;
// The last column the rows hold (the loops may read up to it).
constexpr int last_column = row_length - 2 * margin - 1;

// The per-point functions on one point each; kept out of line, so that the
// loops that call them are not turned into vector code.
[[gnu::noinline]] float x_flux_at(const float* q, const float* u, float dt, const grid_spacing& s) {
  return terms::x_face_flux(q, u, dt, s);
}
[[gnu::noinline]] float y_flux_at(const float* q_ss, const float* q_s, const float* q, const float* q_n, const float* v,
                                  float dt, const grid_spacing& s) {
  return terms::y_face_flux(q_ss, q_s, q, q_n, v, dt, s);
}
[[gnu::noinline]] float change_at(float w, float e, float s_, float n, const grid_spacing& s) {
  return terms::cell_change(w, e, s_, n, s);
}
[[gnu::noinline]] float heun_at(float old, float stage, float tendency) { return terms::heun(old, stage, tendency); }

// A row of floats whose column 0 lies on a 64-byte boundary.
struct aligned_row {
  std::vector<float> store = std::vector<float>(row_length + 16);
  float* at0() {
    const auto address = reinterpret_cast<std::uintptr_t>(store.data());
    return store.data() + (64 - address % 64) % 64 / sizeof(float);
  }
};

// The five rows of q around a row of cells, j-2 .. j+2.
struct pollutant_rows {
  std::array<aligned_row, 5> rows;
  float* operator[](int k) { return rows[static_cast<std::size_t>(k)].at0() + margin; }
};

struct draw {
  std::mt19937 random;
  explicit draw(unsigned seed) : random(seed) {}
  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }
  float between(float a, float b) { return std::uniform_real_distribution<float>(a, b)(random); }

  // A factor between successive jumps of q that puts the limiter's ratio
  // in one of its ranges or on one of its switch points.
  float ratio() {
    static constexpr float ratios[] = {-1.5f, -0.0f, 0.25f, 0.5f, 0.75f, 1.0f, 1.5f, 2.0f, 3.0f, 0.0f};
    return ratios[below(10)];
  }
  // A walk of values whose successive jumps follow ratio(); now and then
  // the three cells that make a 0/0 ratio (a jump of exactly -1e-11 after a
  // jump of 0) or an infinite one (a jump of -1e-11 after one of 1e-11).
  void walk(float* q, int from, int to) {
    float value = between(-2.0f, 2.0f), jump = between(-1.0f, 1.0f);
    for (int i = from; i <= to; ++i) {
      const int kind = below(12);
      if (kind == 0 && i + 2 <= to) {
        q[i] = q[i + 1] = 1e-11f;
        q[i + 2] = 0.0f;
        i += 2;
        value = 0.0f;
        continue;
      }
      if (kind == 1 && i + 2 <= to) {
        q[i] = 0.0f;
        q[i + 1] = 1e-11f;
        q[i + 2] = 0.0f;
        i += 2;
        value = 0.0f;
        continue;
      }
      jump *= ratio();
      if (std::fabs(jump) < 1e-3f || std::fabs(jump) > 1e3f) jump = between(-1.0f, 1.0f);
      value += jump;
      q[i] = value;
    }
  }
  // A velocity: either sign, exact zeros of both signs, Courant numbers
  // (over spacings of 1000 m and 700 m and a step of 1 s) up to about 3.
  float velocity() {
    switch (below(8)) {
      case 0: return 0.0f;
      case 1: return -0.0f;
      case 2: return between(-2000.0f, 2000.0f);
      default: return between(-60.0f, 60.0f);
    }
  }
};

constexpr float specials[] = {
    std::numeric_limits<float>::quiet_NaN(), -0.0f, inf, -inf, std::numeric_limits<float>::denorm_min() * 5.0f,
    std::numeric_limits<float>::max()};

// One case: the rows of every species, the velocities, and the span.
struct span_case {
  std::array<pollutant_rows, species> q;
  aligned_row u_row, v_row, v_n_row;
  span cells{};
  float dt = 1.0f;
  grid_spacing s = make_spacing(1000.0f, 700.0f);

  float* u() { return u_row.at0() + margin; }
  float* v() { return v_row.at0() + margin; }
  float* v_n() { return v_n_row.at0() + margin; }

  void fill(draw& d) {
    const int lo = -margin + 1, hi = last_column;
    for (float* w : {u(), v(), v_n()}) {
      for (int i = lo - 1; i <= hi; ++i) w[i] = d.velocity();
    }
    for (pollutant_rows& rows : q) {
      for (int k = 0; k < 5; ++k) d.walk(rows[k], lo - 1, hi);
    }
  }
};

// The first difference between the loops' values and the per-point
// functions' over columns from..to, named, or "".
std::string compare(const char* what, const float* want, const float* got, int from, int to) {
  for (int i = from; i <= to; ++i) {
    if (first_difference(want + i, got + i, 1) < 0) continue;
    return std::string(what) + " at column " + std::to_string(i) + ": one point at a time " + value_text(want[i]) +
           ", the span's loop " + value_text(got[i]);
  }
  return "";
}

// Runs the span's loops on the case and checks every value they write.
std::string check_case(span_case& c) {
  using namespace pollutant_span;
  const span cells = c.cells;
  const span x_span{cells.lo, cells.hi + 1};
  const face_row x = x_faces(c.u(), c.dt, c.s, last_column), south = y_faces(c.v(), c.dt, c.s, last_column),
                 north = y_faces(c.v_n(), c.dt, c.s, last_column);
  for (int k = 0; k < species; ++k) {
    pollutant_rows& q = c.q[static_cast<std::size_t>(k)];
    aligned_row want_rows[3], got_rows[3];
    const cell_fluxes want{
        {want_rows[0].at0() + margin, 0}, {want_rows[1].at0() + margin, 0}, {want_rows[2].at0() + margin, 0}};
    const cell_fluxes got{
        {got_rows[0].at0() + margin, 0}, {got_rows[1].at0() + margin, 0}, {got_rows[2].at0() + margin, 0}};
    for (int i = x_span.lo; i <= x_span.hi; ++i) want.x[i] = x_flux_at(q[2] + i, c.u() + i, c.dt, c.s);
    for (int i = cells.lo; i <= cells.hi; ++i) {
      want.south[i] = y_flux_at(q[0] + i, q[1] + i, q[2] + i, q[3] + i, c.v() + i, c.dt, c.s);
      want.north[i] = y_flux_at(q[1] + i, q[2] + i, q[3] + i, q[4] + i, c.v_n() + i, c.dt, c.s);
    }
    fluxes(x, along_row(q[2]), x_span, got.x);
    fluxes(south, across_rows(q[0], q[1], q[2], q[3]), cells, got.south);
    fluxes(north, across_rows(q[1], q[2], q[3], q[4]), cells, got.north);
    // The x and north faces in one loop, over the x faces' span.
    aligned_row both_rows[2];
    const scratch_row both_x{both_rows[0].at0() + margin, 0}, both_north{both_rows[1].at0() + margin, 0};
    fluxes(x, along_row(q[2]), both_x, north, across_rows(q[1], q[2], q[3], q[4]), both_north, x_span);
    // The same loops reading the faces' weights formed ahead, as a long
    // span's loops do.
    aligned_row weight_rows[3], ahead_rows[3];
    face_row x_ahead = x, south_ahead = south, north_ahead = north;
    x_ahead.weights = {weight_rows[0].at0() + margin, 0};
    south_ahead.weights = {weight_rows[1].at0() + margin, 0};
    north_ahead.weights = {weight_rows[2].at0() + margin, 0};
    form_weights(x_ahead, x_span);
    form_weights(south_ahead, cells);
    form_weights(north_ahead, x_span);
    const cell_fluxes ahead{
        {ahead_rows[0].at0() + margin, 0}, {ahead_rows[1].at0() + margin, 0}, {ahead_rows[2].at0() + margin, 0}};
    fluxes(south_ahead, across_rows(q[0], q[1], q[2], q[3]), cells, ahead.south);
    fluxes(x_ahead, along_row(q[2]), ahead.x, north_ahead, across_rows(q[1], q[2], q[3], q[4]), ahead.north, x_span);
    for (const auto& [name, a, b, last] :
         {std::tuple{"x flux", want.x.data, got.x.data, x_span.hi},
          std::tuple{"south flux", want.south.data, got.south.data, cells.hi},
          std::tuple{"north flux", want.north.data, got.north.data, cells.hi},
          std::tuple{"x flux formed with the north", want.x.data, both_x.data, x_span.hi},
          std::tuple{"north flux formed with the x", want.north.data, both_north.data, cells.hi},
          std::tuple{"x flux, weights formed ahead", want.x.data, ahead.x.data, x_span.hi},
          std::tuple{"south flux, weights formed ahead", want.south.data, ahead.south.data, cells.hi},
          std::tuple{"north flux, weights formed ahead", want.north.data, ahead.north.data, cells.hi}}) {
      const std::string d = compare(name, a, b, cells.lo, last);
      if (!d.empty()) return "species " + std::to_string(k + 1) + ": " + d;
    }
    // The cells' updates, from these fluxes: the first stage's, and the
    // second's rate and average (out holds the entry q: the row above).
    aligned_row want_out, got_out, want_rate, got_rate;
    float* const wo = want_out.at0() + margin;
    float* const go = got_out.at0() + margin;
    float* const wr = want_rate.at0() + margin;
    float* const gr = got_rate.at0() + margin;
    for (int i = cells.lo; i <= cells.hi; ++i) {
      wo[i] = q[2][i] + change_at(want.x[i], want.x[i + 1], want.south[i], want.north[i], c.s);
    }
    advance(q[2], got, c.s, cells, go);
    std::string d = compare("first stage's q", wo, go, cells.lo, cells.hi);
    for (int i = cells.lo; i <= cells.hi; ++i) {
      const float dq = change_at(want.x[i], want.x[i + 1], want.south[i], want.north[i], c.s);
      wr[i] = dq * 2.0f;
      wo[i] = heun_at(q[3][i], q[2][i], dq);
      go[i] = q[3][i];
    }
    average(q[2], got, c.s, cells, go, gr);
    if (d.empty()) d = compare("second stage's rate", wr, gr, cells.lo, cells.hi);
    if (d.empty()) d = compare("second stage's q", wo, go, cells.lo, cells.hi);
    if (!d.empty()) return "species " + std::to_string(k + 1) + ": " + d;
  }
  return "";
}

TEST(PollutantSpan, EveryLaneGivesTheBitsOfThePointFunctions) {
  draw d(2026);
  int failures = 0;
  long cases = 0;
  std::vector<int> lengths;
  for (int length = 1; length <= every_length_to; ++length) lengths.push_back(length);
  lengths.insert(lengths.end(), std::begin(long_lengths), std::end(long_lengths));
  for (const int length : lengths) {
    if (failures >= 5) break;
    for (int offset = 0; offset < offsets && failures < 5; ++offset) {
      for (int position = 0; position < length && failures < 5; ++position) {
        for (std::size_t special = 0; special < std::size(specials); ++special) {
          span_case c;
          c.fill(d);
          c.cells = {offset, offset + length - 1};
          // The special value goes into one input at the position: a
          // velocity or a cell of one of the five rows of q, in turn.
          const int column = c.cells.lo + position;
          const float value = specials[special];
          const int input = static_cast<int>((static_cast<std::size_t>(position) + special) % 8);
          pollutant_rows& q = c.q[special % species];
          switch (input) {
            case 0: c.u()[column] = value; break;
            case 1: c.v()[column] = value; break;
            case 2: c.v_n()[column] = value; break;
            default: q[input - 3][column] = value; break;
          }
          ++cases;
          const std::string difference = check_case(c);
          if (!difference.empty()) {
            ++failures;
            ADD_FAILURE() << "span of " << length << " cells at offset " << offset << ", " << value_text(value)
                          << " at position " << position << " of input " << input << ": " << difference;
          }
        }
      }
    }
  }
  EXPECT_GT(cases, 50000);
}

// The weights a flux loop reads, readied for a run of spans over the same
// velocities and then others: each time those of every face the loop
// reads, bit for bit those of the per-point function, whatever spans
// were formed before (on either side, around, apart); a short span's loop
// forms its own.
TEST(PollutantSpan, WeightsFormedAheadAreThoseOfEachFace) {
  using namespace pollutant_span;
  constexpr int columns = 300;
  draw d(7);
  std::vector<float> u(columns), u_other(columns), scratch(columns);
  for (float* w : {u.data(), u_other.data()}) {
    for (int i = 0; i < columns; ++i) w[i] = d.velocity();
  }
  for (int i = 0; i < columns; i += 7) u[static_cast<std::size_t>(i)] = specials[i % std::size(specials)];
  const grid_spacing s = make_spacing(1000.0f, 700.0f);
  formed_weights known;
  const struct {
    const float* w;
    span faces;
  } steps[] = {
      {u.data(), {100, 180}},        // the first
      {u.data(), {110, 175}},        // within: nothing formed
      {u.data(), {60, 130}},         // reaching west
      {u.data(), {150, 260}},        // reaching east
      {u.data(), {10, 290}},         // around
      {u_other.data(), {120, 200}},  // other velocities: formed afresh
      {u_other.data(), {220, 285}},  // apart, with a gap between
      {u.data(), {30, 100}},         // the first velocities again
  };
  for (const auto& step : steps) {
    face_row f = x_faces(step.w, 0.5f, s, columns);
    weights_for(f, {scratch.data(), 0}, step.faces, known);
    ASSERT_TRUE(f.weights_formed());
    const span read = whole_vectors(step.faces, f.last);
    for (int i = read.lo; i <= read.hi; ++i) {
      const float want = terms::correction_weight(step.w[i], f.dt, f.across);
      ASSERT_EQ(first_difference(&want, &f.weights[i], 1), -1)
          << "face " << i << " of " << step.faces.lo << ".." << step.faces.hi << ": want " << value_text(want)
          << ", formed " << value_text(f.weights[i]);
    }
  }
  face_row short_row = x_faces(u.data(), 0.5f, s, columns);
  weights_for(short_row, {scratch.data(), 0}, {40, 40 + weights_ahead_from - 2}, known);
  EXPECT_FALSE(short_row.weights_formed());
}

// The faces the loops form: a span filled up to whole vectors of 8, never
// past the last face the rows hold, never fewer than the span.
TEST(PollutantSpan, LoopsFillTheirLastVectorWithinTheRow) {
  using pollutant_span::whole_vectors;
  const struct {
    span faces;
    int last;
    span formed;
  } cases[] = {
      {{3, 3}, 100, {3, 10}},     // one face: one vector
      {{0, 15}, 100, {0, 15}},    // whole vectors already
      {{0, 16}, 100, {0, 23}},    // one face more: three vectors
      {{-2, 30}, 100, {-2, 37}},  // 33 faces: five vectors
      {{0, 16}, 20, {0, 20}},     // the row ends first
      {{5, 40}, 30, {5, 40}},     // a span past the row's end stays whole
      {{7, 6}, 100, {7, 6}},      // nothing
  };
  for (const auto& c : cases) {
    const span formed = whole_vectors(c.faces, c.last);
    EXPECT_EQ(formed.lo, c.formed.lo) << c.faces.lo << ".." << c.faces.hi << " up to " << c.last;
    EXPECT_EQ(formed.hi, c.formed.hi) << c.faces.lo << ".." << c.faces.hi << " up to " << c.last;
  }
}

}  // namespace
