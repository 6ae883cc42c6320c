#include "driver/text_line.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

// Right-justifies s in a field of `width` characters at out.
void right_justify(std::string_view s, std::size_t width, char* out) noexcept {
  const std::size_t n = s.size() < width ? s.size() : width;
  std::memset(out, ' ', width - n);
  std::memcpy(out + (width - n), s.data(), n);
}

// Exponent of a decimal scientific text "[-]d.ddde[+-]xx".
int decimal_exponent(const char* first, const char* last) noexcept {
  const char* e = first;
  while (e != last && *e != 'e') ++e;
  int exponent = 0;
  std::from_chars(e + (e[1] == '+' ? 2 : 1), last, exponent);
  return exponent;
}

}  // namespace

void format_integer(std::int32_t value, char* out) noexcept {
  char digits[16];
  const auto r = std::to_chars(digits, digits + sizeof digits, value);
  right_justify(std::string_view(digits, static_cast<std::size_t>(r.ptr - digits)), integer_width, out);
}

void format_real(float value, char* out) noexcept {
  if (std::isnan(value)) return right_justify("NaN", real_width, out);
  if (std::isinf(value)) return right_justify(value < 0.0f ? "-Infinity" : "Infinity", real_width, out);
  if (value == 0.0f) return right_justify(std::signbit(value) ? "-0.0000000E+00" : "0.0000000E+00", real_width, out);

  // Round to 7 significant digits first: whether the fixed form applies is
  // decided on the rounded value, so a carry into a new digit counts.
  char sci[32];
  auto r = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific, 6);
  const int exponent = decimal_exponent(sci, r.ptr);
  if (exponent >= -1 && exponent <= 6) {
    // Fixed form: 7 significant digits, 7 - k of them after the point, where
    // k is the number of digits before it (0 below 1, with a leading 0).
    const bool negative = sci[0] == '-';
    const char* d = sci + (negative ? 1 : 0);  // d.dddddd
    char digits[7] = {d[0], d[2], d[3], d[4], d[5], d[6], d[7]};
    char text[12];
    std::size_t n = 0;
    if (negative) text[n++] = '-';
    if (exponent == -1) {
      text[n++] = '0';
      text[n++] = '.';
      for (char c : digits) text[n++] = c;
    } else {
      for (int k = 0; k < 7; ++k) {
        text[n++] = digits[k];
        if (k == exponent) text[n++] = '.';
      }
    }
    right_justify(std::string_view(text, n), real_width - 4, out);
    std::memset(out + real_width - 4, ' ', 4);
    return;
  }

  // Exponent form: 8 significant digits, a capital E, a signed exponent of
  // two digits.
  r = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific, 7);
  for (char* c = sci; c != r.ptr; ++c) {
    if (*c == 'e') *c = 'E';
  }
  right_justify(std::string_view(sci, static_cast<std::size_t>(r.ptr - sci)), real_width, out);
}

text_line::text_line() noexcept { append(" "); }

void text_line::append(std::string_view s) noexcept {
  const std::size_t room = capacity - 1 - len_;  // one place is kept for the line feed
  const std::size_t n = s.size() < room ? s.size() : room;
  std::memcpy(buf_ + len_, s.data(), n);
  len_ += n;
}

text_line& text_line::text(std::string_view s) noexcept {
  if (after_number_) append(" ");
  append(s);
  after_number_ = false;
  return *this;
}

text_line& text_line::integer(std::int32_t value) noexcept {
  char field[integer_width];
  format_integer(value, field);
  append(std::string_view(field, integer_width));
  after_number_ = true;
  return *this;
}

text_line& text_line::real(float value) noexcept {
  char field[real_width];
  format_real(value, field);
  append(std::string_view(field, real_width));
  after_number_ = true;
  return *this;
}

std::string_view text_line::finish() noexcept {
  buf_[len_] = '\n';
  return std::string_view(buf_, len_ + 1);
}
