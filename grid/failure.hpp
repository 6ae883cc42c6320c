#pragma once
// A failure that stops the run: a resource could not be had or an output
// could not be written. The message names what failed and why; the program's
// entry prints it on standard error and exits with a failing status.
#include <stdexcept>
#include <string>

struct run_failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "what: reason" where the reason is the system's text for errno value err.
std::string system_reason(const std::string& what, int err);
