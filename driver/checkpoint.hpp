#pragma once
// The checkpoint file: the state of a run after one of its passes, from
// which the run goes on and writes the same bytes as if it had never
// stopped.
//
// Layout of format 2, every number little-endian:
//
//   magic "PLUMECKP"                     8 bytes
//   format version                       uint32 (checkpoint_format)
//   program version text, length P       uint32, then P bytes ("plume 1.0")
//   scenario text, length S              uint32, then S bytes (scenario_toml)
//   pass n the state follows             int32; the run goes on with n + 1
//   nx, ny                               int32 each
//   the fields it holds: their count F   uint32
//     then each one's name, length N     uint32, then N bytes ("u", "v", ...)
//   the run's output: its kind           uint32 (checkpoint_output::kind)
//     and its description, length B      uint32, then B bytes
//   the CRC-32 of every row              F x ny uint32: field by field,
//                                        row j = 1..ny of each
//   SHA-256 of every byte before it      32 bytes; the header ends here
//   the fields                           F x ny x nx float32: field by
//                                        field, the interior points
//                                        i = 1..nx, j = 1..ny, i fastest
//
// The output of kind 1 is a series of NetCDF files, one per snapshot; its
// description (20 bytes):
//
//   the files written, K                             uint64
//   the length and CRC-32 of the last of them        uint64, uint32
//   (0 and 0 when K = 0)
//
// The output of kind 0 is the snapshot file; its description (32 bytes):
//
//   its length L, the CRC-32 of its L bytes          uint64, uint32
//   the whole snapshots it holds, K                  uint64
//   the length M and CRC-32 of the last of them      uint64, uint32
//   (its bytes L - M .. L - 1; 0 and 0 when K = 0)
//
// The fields are held in the grid's own order, one interior row after
// another, so that the file does not depend on how the rows were shared
// out when it was written or how they are shared when it is read. Every
// process writes and reads the rows of its own block, and no process reads
// every byte: the header is vouched for by its SHA-256, and each row of each
// field by its CRC-32, which the processes that hold parts of the row form
// together (byte_digest.hpp).
//
// Format 1, which is still read, held the snapshot file's L and CRC-32 in
// place of the field list and the output, and the five fields u, v, h, q
// and dqdt after them, with one SHA-256 of every byte before it at the end.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "decomposition/field_rows.hpp"
#include "decomposition/shared_file.hpp"
#include "driver/byte_digest.hpp"
#include "driver/snapshot_state.hpp"

inline constexpr char checkpoint_magic[8] = {'P', 'L', 'U', 'M', 'E', 'C', 'K', 'P'};
// The format written, and the oldest one read.
inline constexpr std::uint32_t checkpoint_format = 2;
inline constexpr std::uint32_t checkpoint_oldest_format = 1;

// The fields of a checkpoint of format 1, in their order.
inline constexpr int format1_fields = 5;
inline constexpr const char* format1_field_names[format1_fields] = {"u", "v", "h", "q", "dqdt"};

// What a checkpoint says of the run's output as it stood after the pass:
// its kind, and a description whose bytes the kind defines.
struct checkpoint_output {
  std::uint32_t kind = 0;
  std::string bytes;
  bool operator==(const checkpoint_output&) const = default;
};

// The kinds of output.
inline constexpr std::uint32_t output_snapshot_file = 0;
// A series of NetCDF files, one per snapshot (netcdf_series.hpp).
inline constexpr std::uint32_t output_netcdf_series = 1;

// The snapshot file's state as a checkpoint's output, and back: nothing when
// the output is of another kind or its description is not 32 bytes.
checkpoint_output snapshot_output(const snapshot_file_state& s);
std::optional<snapshot_file_state> snapshot_state_of(const checkpoint_output& o);

struct checkpoint_header {
  std::uint32_t format = checkpoint_format;
  std::string program;   // the program that wrote it
  std::string scenario;  // the run's scenario as TOML, every key written out
  std::int32_t pass = 0;
  std::int32_t nx = 0;
  std::int32_t ny = 0;
  std::vector<std::string> fields;  // their names, in their order
  checkpoint_output output;         // the output after the pass
  // The CRC-32 of row j (1..ny) of field f at [f ny + j - 1]; a write
  // forms it, and format 1 has none.
  std::vector<std::uint32_t> row_crcs;
  bool operator==(const checkpoint_header&) const = default;
};

using checkpoint_digest = std::array<unsigned char, 32>;

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

// The header of format 2 as it is written, its SHA-256 included; the
// fields follow it.
std::string checkpoint_header_bytes(const checkpoint_header& h);
// Such a header back; throws checkpoint_error ("NAME: not the header of a
// checkpoint") for bytes that are not one.
checkpoint_header checkpoint_header_of(const std::string& bytes, const std::string& name);

// Test hooks of a checkpoint write: which write of the run it is (1 for the
// first; test_fault's visit of the point checkpoint_write_block), and
// whether rank 0 kills itself between the synced temporary file and the
// rename, as a crash there would.
struct checkpoint_write_test {
  long long write = 1;
  bool crash_before_rename = false;
};

// Writes a checkpoint, every process of the run together, each the rows of
// its block of the fields `mine` (one per name of header.fields, in that
// order), so that `path` holds either its earlier content or the whole new
// one, whatever moment the processes or the machine stop at: the bytes go
// to the temporary file beside it (one left by an interrupted write is
// replaced), which is synced to the disk and renamed over `path`, and then
// the directory is synced. header.row_crcs is formed here. Throws on every
// process (processes::together); the temporary file is then removed.
void write_checkpoint(const std::string& path, const checkpoint_header& header, const field_rows::blocks& mine,
                      const checkpoint_write_test& test = {});

// The bytes of one field of the block `p`: the band through which each
// field of a process's block goes to the file when a checkpoint is written.
std::size_t checkpoint_band_bytes(const patch_bounds& p);

// Copies the rows of field f of the block `b` into `band`, one after
// another, and adds to `pieces` the pieces of the file they go to, the
// fields beginning at byte `fields_offset`: one piece for rows that span
// the grid's width, which follow one another in the file as in the band (so
// that they reach the file in one call of the system, not one a row); else
// one a row.
void band_pieces(const field_rows::blocks& b, int f, float* band, std::uint64_t fields_offset,
                 std::vector<shared_file::piece>& pieces);

struct checkpoint_contents {
  checkpoint_header header;
  // Format 2: the SHA-256 of its header; format 1: of the whole file.
  checkpoint_digest digest{};
  std::uint64_t fields_offset = 0;  // where its fields begin
};

// Reads the checkpoint at `path`, on one process, and checks its magic, its
// format version and its length against its header. Format 2: reads the
// header alone and checks its digest; the fields are read with
// read_checkpoint_fields. Format 1: reads the whole file and checks its
// digest; the rows of its fields go to `rows`, if given, as they are read,
// and are only good once the call returns, since the digest comes last.
// Throws checkpoint_error; changes no file.
checkpoint_contents read_checkpoint(const std::string& path, const checkpoint_row_sink& rows = {});

// Reads the fields of the checkpoint of format 2 at `path`, whose header
// read_checkpoint gave as `c`, every process together, each the rows of its
// block into `mine` (one array per field of the header, in its order), and
// checks them against their CRC-32s. Throws checkpoint_error on every
// process when a row does not match ("damaged checkpoint: ..."), and
// run_failure (processes::together) when the file cannot be read or no
// longer holds the header that was checked.
void read_checkpoint_fields(const std::string& path, const checkpoint_contents& c, const field_rows::blocks& mine);
