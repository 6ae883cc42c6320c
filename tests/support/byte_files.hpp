#pragma once
// Reading back what the run wrote: whole files and streams as bytes, the
// little-endian record markers in them, and a scratch directory that removes
// itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "grid/failure.hpp"

using byte_vector = std::vector<unsigned char>;

inline byte_vector read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return byte_vector(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Everything written to the stream so far, from its start.
inline byte_vector read_stream(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  byte_vector bytes;
  for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<unsigned char>(c));
  return bytes;
}

inline std::string as_text(const byte_vector& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The signed 32-bit little-endian value at `offset`.
inline std::int32_t marker_at(const byte_vector& bytes, std::size_t offset) {
  const std::uint32_t v = static_cast<std::uint32_t>(bytes.at(offset)) |
                          static_cast<std::uint32_t>(bytes.at(offset + 1)) << 8 |
                          static_cast<std::uint32_t>(bytes.at(offset + 2)) << 16 |
                          static_cast<std::uint32_t>(bytes.at(offset + 3)) << 24;
  return static_cast<std::int32_t>(v);
}

// The four bytes of a marker, least significant first.
inline byte_vector marker_bytes(std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v >> 16),
          static_cast<unsigned char>(v >> 24)};
}

// The message of the run_failure that f throws, or "" if it throws none.
template <class F>
std::string failure_message(F&& f) {
  try {
    f();
  } catch (const run_failure& e) {
    return e.what();
  }
  return "";
}

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class scratch_dir {
 public:
  scratch_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "plume-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a scratch directory");
    path_ = pattern;
  }
  ~scratch_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;

  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};
