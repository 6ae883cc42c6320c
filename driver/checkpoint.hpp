#pragma once
// The checkpoint file: the state of a run after one of its passes, from
// which the run goes on and writes the same bytes as if it had never
// stopped.
//
// Layout, every number little-endian:
//
//   magic "PLUMECKP"                     8 bytes
//   format version                       uint32 (checkpoint_format)
//   program version text, length P       uint32, then P bytes ("plume 1.0")
//   scenario text, length S              uint32, then S bytes (scenario_toml)
//   pass n the state follows             int32; the run goes on with n + 1
//   nx, ny                               int32 each
//   snapshot file length, CRC-32         uint64, uint32 (byte_digest.hpp)
//   u, v, h, q, dqdt                     nx ny float32 each, the interior
//                                        points i = 1..nx, j = 1..ny, i fastest
//   SHA-256 of every byte before it      32 bytes
//
// The fields are held in the grid's own order, one interior row after
// another, so that the file does not depend on how the rows were shared
// out when it was written or how they are shared when it is read.
#include <array>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "driver/byte_digest.hpp"

inline constexpr char checkpoint_magic[8] = {'P', 'L', 'U', 'M', 'E', 'C', 'K', 'P'};
inline constexpr std::uint32_t checkpoint_format = 1;

// The fields a checkpoint holds, in their order.
inline constexpr int checkpoint_fields = 5;
inline constexpr const char* checkpoint_field_names[checkpoint_fields] = {"u", "v", "h", "q", "dqdt"};

struct checkpoint_header {
  std::string program;   // the program that wrote it
  std::string scenario;  // the run's scenario as TOML, every key written out
  std::int32_t pass = 0;
  std::int32_t nx = 0;
  std::int32_t ny = 0;
  byte_digest snapshots;  // the snapshot file as it stood after the pass
  bool operator==(const checkpoint_header&) const = default;
};

using checkpoint_digest = std::array<unsigned char, 32>;

// Fills `row` with the nx values i = 1..nx of interior row j (1..ny) of
// field number `field` (0..4, in the order above).
using checkpoint_row_source = std::function<void(int field, int j, float* row)>;
// Takes the nx values of interior row j of field number `field`.
using checkpoint_row_sink = std::function<void(int field, int j, const float* row)>;

// A checkpoint that cannot be used. what() is "PATH: what is wrong".
class checkpoint_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The name of the file a checkpoint is written to before it takes the
// place of `path`.
inline std::string checkpoint_temporary(const std::string& path) { return path + ".tmp"; }

// Writes a checkpoint so that `path` holds either its earlier content or
// the whole new one, whatever moment the process or the machine stops at:
// the bytes go to the temporary file beside it (one left by an interrupted
// write is replaced), which is synced to the disk and renamed over `path`,
// and then the directory is synced. The rows come from `rows`, field by
// field, j = 1..ny. Test hook: with `crash_before_rename` the process kills
// itself between the synced temporary file and the rename, as a crash there
// would. Throws run_failure; the temporary file is then removed.
void write_checkpoint(const std::string& path, const checkpoint_header& header, const checkpoint_row_source& rows,
                      bool crash_before_rename = false);

struct checkpoint_contents {
  checkpoint_header header;
  checkpoint_digest digest;  // the checkpoint's own, its last 32 bytes
};

// Reads the checkpoint at `path` and checks its magic, its format version,
// its length against its header and its digest. The rows of its fields go
// to `rows`, if given, as they are read; they are only good once the call
// returns, since the digest that vouches for them comes last. Throws
// checkpoint_error; changes no file.
checkpoint_contents read_checkpoint(const std::string& path, const checkpoint_row_sink& rows = {});
