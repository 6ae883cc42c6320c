#pragma once
// Putting a finished file on the disk, and its name with it.
#include <string>

// Waits until the file at `path` is on the disk. Throws run_failure.
void sync_file(const std::string& path);

// Syncs the directory that holds `path`, so that a rename in it is on the
// disk too. Throws run_failure.
void sync_directory(const std::string& path);
