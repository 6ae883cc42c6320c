#pragma once
// The signals a run answers after the pass under way: SIGTERM and SIGINT
// ask it to write a checkpoint and stop, SIGUSR1 to write one and go on.
// The handlers only note the signal; the time loop looks at the note after
// each pass. A second SIGTERM or SIGINT, once one has been noted, ends the
// process at once (status 128 + the signal): the checkpoint then being
// written has not been renamed into place, so the one before it stands.
#include <csignal>

class stop_signals {
 public:
  // Installs the handlers and unblocks the three signals. A signal that the
  // process was started with ignored (as a shell starts background jobs
  // with SIGINT) stays ignored. One object at a time.
  stop_signals();
  // Puts the earlier handlers back.
  ~stop_signals();
  stop_signals(const stop_signals&) = delete;
  stop_signals& operator=(const stop_signals&) = delete;

  // SIGTERM or SIGINT, whichever came first, or 0 while neither has.
  int stop() const noexcept;
  // Whether SIGUSR1 has come since the last call.
  bool take_checkpoint_request() noexcept;

 private:
  static constexpr int count = 3;
  struct sigaction earlier_[count];
  bool installed_[count];
};
