#pragma once
// The files a run reads and writes, and the check that none of its outputs
// would write over one of its inputs, over its other output, or into the
// file that standard output goes to.
#include <string>

struct run_files {
  std::string scenario;    // the scenario file read, or "" for none
  std::string restart;     // the checkpoint being restarted, or "" for none
  std::string snapshots;   // the snapshot file written
  std::string checkpoint;  // where checkpoints are written
};

// True if `a` and `b` name the same file: the same device and inode where
// both exist, the same path once made absolute and normalised (links
// followed as far as they lead) where neither does.
bool same_file(const std::string& a, const std::string& b);

// True if descriptor fd is open on the file at `path`, a regular file or a
// pipe (a terminal or /dev/null takes any number of writers).
bool open_on(int fd, const std::string& path);

// What is wrong with the files, as "the snapshot file case.toml is the
// scenario file; give --output another path", or "" if nothing is. The
// checkpoint's temporary file counts as an output too; a checkpoint written
// over the one being restarted is fine. `console_fd` is standard output.
std::string clobbered_file(const run_files& files, int console_fd);
