#pragma once
// The console log's text encoding: lines built from text constants, 32-bit
// integers and 32-bit reals, each kind laid out in its own fixed field.
//
//  - text: the characters as given;
//  - integer: 12 characters, right-justified;
//  - real: 15 characters; values whose 7-digit rounding lies in
//    [0.1, 10^7) in a fixed form of 11 characters (7 significant digits)
//    followed by 4 blanks, zero and all other values in an exponent form of
//    8 significant digits, d.dddddddE+xx, right-justified.
// A line starts with one blank; a text constant that follows a number gets
// one separating blank. Lines are never broken: no line of the log comes
// near 80 characters. The layout never depends on the locale.
#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr std::size_t integer_width = 12;
inline constexpr std::size_t real_width = 15;

// Writes the integer's 12-character field to out.
void format_integer(std::int32_t value, char* out) noexcept;
// Writes the real's 15-character field to out. Not-a-number and infinities
// print as NaN, Infinity and -Infinity; negative zero keeps its sign.
void format_real(float value, char* out) noexcept;

// One line under construction, in a fixed buffer (no allocation).
class text_line {
 public:
  text_line() noexcept;
  text_line& text(std::string_view s) noexcept;
  text_line& integer(std::int32_t value) noexcept;
  text_line& real(float value) noexcept;
  // The finished line, with its line feed.
  std::string_view finish() noexcept;

 private:
  void append(std::string_view s) noexcept;
  static constexpr std::size_t capacity = 160;
  char buf_[capacity];
  std::size_t len_ = 0;
  bool after_number_ = false;
};
