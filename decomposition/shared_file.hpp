#pragma once
// A file that the processes of a run write together, each its own pieces
// at the offsets the file's layout gives them, none of them holding the
// bytes in file order. A run of one process writes it through the C
// library's buffered stream; a run under MPI through MPI-IO, collectively.
//
// read_shared is the same for reading: every process reads its own pieces.
//
// Every method is a collective: every process calls it, in the same order.
// A method that fails on any process throws on every process, after the
// same collective calls (see processes::together), so that no process is
// left waiting.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class shared_file {
 public:
  struct piece {
    std::uint64_t offset;
    const void* data;
    std::size_t size;
  };

  // How the processes' pieces reach the file under MPI-IO: gathered first
  // into large parts by some of the processes (for many small pieces, such
  // as the rows of the blocks of a snapshot's records), or written by each
  // process itself (for pieces of many whole rows each, such as a
  // checkpoint's fields, where gathering them only costs time).
  enum class transfer { gathered, direct };

  // Opens the file for writing, creating it if need be, and cuts it to its
  // first `keep` bytes (0 for a new run: the file then holds only this run's
  // bytes).
  shared_file(const std::string& path, std::uint64_t keep, transfer how = transfer::gathered);
  ~shared_file();
  shared_file(const shared_file&) = delete;
  shared_file& operator=(const shared_file&) = delete;

  // Writes this process's pieces, in increasing offsets, and hands them to
  // the system.
  void write(const std::vector<piece>& pieces);
  // Cuts the file to its first `length` bytes.
  void cut(std::uint64_t length);
  // Asks the system to start writing what has been written so far to the
  // disk, without waiting for it: a later sync() then finds little left to
  // do. Only a hint; its failures show at sync().
  void start_writeback();
  // Waits until everything written is on the disk.
  void sync();
  // Closes the file; the last data the system could not write before fails
  // here.
  void close();

 private:
  struct state;
  std::string path_;
  std::unique_ptr<state> state_;
};

// Where one process's bytes of a file read together go.
struct shared_read_piece {
  std::uint64_t offset;
  void* data;
  std::size_t size;
};

// Reads this process's pieces, in increasing offsets, of the file at
// `path`, every process together, each reading its own (as
// shared_file::transfer::direct writes them). A collective that throws nothing, so that
// every process goes through it whatever happens: returns "" when this
// process read every byte it asked for, else why not ("cannot read PATH:
// ..."), for the processes to agree on afterwards.
std::string read_shared(const std::string& path, const std::vector<shared_read_piece>& pieces);
