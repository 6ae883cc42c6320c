// The console log's field layouts and line composition.
#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale>
#include <string>
#include <vector>

#include "driver/text_line.hpp"

namespace {

std::string blanks(std::size_t n) { return std::string(n, ' '); }

std::string integer_field(std::int32_t value) {
  char out[integer_width];
  format_integer(value, out);
  return std::string(out, integer_width);
}

std::string real_field(float value) {
  char out[real_width];
  format_real(value, out);
  return std::string(out, real_width);
}

// A field given as blanks before, the text, blanks after.
struct layout {
  std::size_t before;
  const char* text;
  std::size_t after;
  std::string field() const { return blanks(before) + text + blanks(after); }
};

struct integer_case {
  std::int32_t value;
  layout expected;
};

struct real_case {
  float value;
  layout expected;
};

TEST(IntegerField, LaidOutRightJustifiedInTwelveCharacters) {
  const integer_case cases[] = {
      {0, {11, "0", 0}},
      {100, {9, "100", 0}},
      {-7, {10, "-7", 0}},
      {1800, {8, "1800", 0}},
      {57600, {7, "57600", 0}},
      {std::numeric_limits<std::int32_t>::max(), {2, "2147483647", 0}},
      {std::numeric_limits<std::int32_t>::min(), {1, "-2147483648", 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(integer_field(c.value), c.expected.field()) << c.value;
}

TEST(RealField, WorkedLayouts) {
  const real_case cases[] = {
      {0.0f, {2, "0.0000000E+00", 0}},
      {0.5f, {2, "0.5000000", 4}},
      {1.0f, {3, "1.000000", 4}},
      {1234.0f, {3, "1234.000", 4}},
      {360000.0f, {3, "360000.0", 4}},
      {0.05f, {2, "5.0000001E-02", 0}},
      {-0.05f, {1, "-5.0000001E-02", 0}},
      {15000000.0f, {2, "1.5000000E+07", 0}},
      // Values of the log itself: seconds and hours.
      {100.0f, {3, "100.0000", 4}},
      {3600.0f, {3, "3600.000", 4}},
      {57600.0f, {3, "57600.00", 4}},
      {100.0f / 3600.0f, {2, "2.7777778E-02", 0}},
      {16.0f, {3, "16.00000", 4}},
      // Seven digits before the point: the point ends the number.
      {1234567.0f, {3, "1234567.", 4}},
      {-1234567.0f, {2, "-1234567.", 4}},
      {-0.5f, {1, "-0.5000000", 4}},
      {1.0e-30f, {2, "1.0000000E-30", 0}},
      {-3.0e38f, {1, "-3.0000000E+38", 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(real_field(c.value), c.expected.field()) << c.expected.text;
}

// The form is chosen on the value rounded to 7 digits. No 32-bit float lies
// close enough below 0.1 or 10^7 for that rounding to reach them, so the
// floats on either side of both limits are pinned. Below 0.01 lies a float
// whose 7-digit rounding carries to 1.000000E-02 while its 8-digit text does
// not; below 10^-6 one whose 8-digit text carries into the exponent.
TEST(RealField, NeighboursOfTheFixedRangeLimitsAndCarries) {
  const real_case cases[] = {
      {std::nextafter(0.1f, 0.0f), {2, "9.9999994E-02", 0}},
      {0.1f, {2, "0.1000000", 4}},
      {-std::nextafter(0.1f, 0.0f), {1, "-9.9999994E-02", 0}},
      {-0.1f, {1, "-0.1000000", 4}},
      {9999999.0f, {3, "9999999.", 4}},
      {10000000.0f, {2, "1.0000000E+07", 0}},
      {-9999999.0f, {2, "-9999999.", 4}},
      {-10000000.0f, {1, "-1.0000000E+07", 0}},
      // The float nearest 9.9999995 lies below it and keeps 9.999999.
      {9.9999995f, {3, "9.999999", 4}},
      {std::nextafter(1.0f, 0.0f), {2, "0.9999999", 4}},
      {std::bit_cast<float>(0x3C23D70Au), {2, "9.9999998E-03", 0}},
      {std::bit_cast<float>(0x358637BDu), {2, "1.0000000E-06", 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(real_field(c.value), c.expected.field()) << c.expected.text;
}

// The layout rules restated through the C library's own decimal conversion:
// the 7-digit rounding picks the form, the fixed form keeps 7 significant
// digits, the exponent form 8.
std::string layout_by_printf(float value) {
  const double v = static_cast<double>(value);
  char rounded[32];
  std::snprintf(rounded, sizeof rounded, "%.6e", v);
  const int exponent = std::atoi(std::strchr(rounded, 'e') + 1);
  char text[32];
  if (exponent >= -1 && exponent <= 6) {
    std::snprintf(text, sizeof text, "%#.*f", 6 - exponent, v);
    const std::string fixed(text);
    return blanks(11 - fixed.size()) + fixed + blanks(4);
  }
  std::snprintf(text, sizeof text, "%.7E", v);
  const std::string exp(text);
  return blanks(15 - exp.size()) + exp;
}

TEST(RealField, AgreesWithTheDecimalConversionAcrossTheFloatRange) {
  std::vector<float> values;
  // A stride through every binade of normal floats, both signs.
  for (std::uint32_t b = 0x00800000u; b < 0x7F800000u; b += 65537u) {
    values.push_back(std::bit_cast<float>(b));
    values.push_back(-std::bit_cast<float>(b));
  }
  // Every float within 40 steps of each power of ten.
  for (int k = -37; k <= 38; ++k) {
    const float p = std::pow(10.0f, static_cast<float>(k));
    float below = p, above = p;
    for (int s = 0; s < 40; ++s) {
      values.push_back(below);
      values.push_back(above);
      below = std::nextafter(below, 0.0f);
      above = std::nextafter(above, std::numeric_limits<float>::infinity());
    }
  }
  int mismatches = 0;
  for (float v : values) {
    const std::string expected = layout_by_printf(v);
    const std::string got = real_field(v);
    if (got != expected && ++mismatches <= 10) {
      ADD_FAILURE() << "bits " << std::hex << std::bit_cast<std::uint32_t>(v) << ": got '" << got << "' expected '"
                    << expected << "'";
    }
  }
  EXPECT_EQ(mismatches, 0) << "of " << values.size() << " values";
}

TEST(TextLine, SeparatorRule) {
  EXPECT_EQ(text_line().text("ab").text("cd").finish(), " abcd\n");
  EXPECT_EQ(text_line().text("n").integer(5).text("a").text("b").finish(), " n" + blanks(11) + "5 ab\n");
  EXPECT_EQ(text_line().text("r").real(1.0f).text("x").finish(), " r" + blanks(3) + "1.000000" + blanks(4) + " x\n");
  // Numbers carry their own blanks: none is added before them.
  EXPECT_EQ(text_line().text("n=").integer(-7).integer(0).finish(), " n=" + blanks(10) + "-7" + blanks(11) + "0\n");
}

// The lines as the driver composes them.
std::string log_line(int n, bool output) {
  const float t = static_cast<float>(n);
  text_line line;
  line.text("Step/timing:").integer(n).text("s=").real(t).text("hr=").real(t / 3600.0f);
  if (output) line.text("output!");
  return std::string(line.finish());
}

TEST(TextLine, CompleteLinesOfTheLog) {
  const std::string progress_100 = " Step/timing:         100 s=   100.0000     hr=  2.7777778E-02\n";
  const std::string output_1800 = " Step/timing:        1800 s=   1800.000     hr=  0.5000000     output!\n";
  EXPECT_EQ(progress_100.size(), 63u);
  EXPECT_EQ(output_1800.size(), 71u);
  EXPECT_EQ(log_line(100, false), progress_100);
  EXPECT_EQ(log_line(1800, true), output_1800);
  EXPECT_EQ(log_line(0, true), " Step/timing:           0 s=  0.0000000E+00 hr=  0.0000000E+00 output!\n");
  EXPECT_EQ(log_line(41400, true), " Step/timing:       41400 s=   41400.00     hr=   11.50000     output!\n");
  EXPECT_EQ(log_line(57600, true), " Step/timing:       57600 s=   57600.00     hr=   16.00000     output!\n");
  EXPECT_EQ(log_line(50, false), " Step/timing:          50 s=   50.00000     hr=  1.3888889E-02\n");
}

// A numeric punctuation with a decimal comma and digit grouping.
struct comma_punctuation : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

// Sets a C locale with a decimal comma if the system has one; restores the
// previous C and C++ global locales on leaving.
class locale_scope {
 public:
  locale_scope() : c_locale_(std::setlocale(LC_ALL, nullptr)), cpp_locale_(std::locale()) {}
  ~locale_scope() {
    std::setlocale(LC_ALL, c_locale_.c_str());
    std::locale::global(cpp_locale_);
  }
  bool set_comma_c_locale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE", "fr_FR", "nl_NL.UTF-8",
                             "ru_RU.UTF-8", "it_IT.UTF-8", "es_ES.UTF-8"}) {
      if (std::setlocale(LC_ALL, name) != nullptr && *std::localeconv()->decimal_point == ',') return true;
    }
    return false;
  }

 private:
  std::string c_locale_;
  std::locale cpp_locale_;
};

std::string sample_lines() {
  return log_line(1800, true) + log_line(100, false) + log_line(1234567, false) + real_field(-0.05f) +
         real_field(15000000.0f) + integer_field(-1234567);
}

TEST(TextLine, LayoutDoesNotDependOnTheGlobalCppLocale) {
  const std::string in_classic = sample_lines();
  locale_scope scope;
  std::locale::global(std::locale(std::locale::classic(), new comma_punctuation));
  EXPECT_EQ(sample_lines(), in_classic);
}

TEST(TextLine, LayoutDoesNotDependOnTheCLocale) {
  const std::string in_classic = sample_lines();
  locale_scope scope;
  if (!scope.set_comma_c_locale()) GTEST_SKIP() << "no C locale with a decimal comma is installed";
  EXPECT_EQ(sample_lines(), in_classic) << "in C locale " << std::setlocale(LC_ALL, nullptr);
}

}  // namespace
