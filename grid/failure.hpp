#pragma once
// A failure that stops the run: a resource could not be had or an output
// could not be written. The message names what failed and why; the program's
// entry prints it on standard error and exits with a failing status.
#include <cerrno>
#include <stdexcept>
#include <string>

struct run_failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "what: reason" where the reason is the system's text for errno value err.
std::string system_reason(const std::string& what, int err);

// Whether the system's error `err` is one of a write that found no room:
// a full disk, a quota or a file-size limit, or the device failing.
inline bool is_failed_write(int err) noexcept { return err == ENOSPC || err == EFBIG || err == EDQUOT || err == EIO; }
