#include "driver/stop_signals.hpp"

#include <atomic>
#include <csignal>

#include <unistd.h>

namespace {

// The one piece of state a signal handler may touch: a handler can be
// handed nothing, so it must live at file scope. Bit 0 is a checkpoint
// request (SIGUSR1); bits 8 and up hold the stop signal's number.
std::atomic<int> noted{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handlers need a lock-free flag");
constexpr int checkpoint_request = 1;
constexpr int stop_shift = 8;

constexpr int handled[] = {SIGTERM, SIGINT, SIGUSR1};

extern "C" void note_signal(int sig) {
  if (sig == SIGUSR1) {
    noted.fetch_or(checkpoint_request);
    return;
  }
  int seen = noted.load();
  do {
    if ((seen >> stop_shift) != 0) ::_exit(128 + sig);
  } while (!noted.compare_exchange_weak(seen, seen | (sig << stop_shift)));
}

}  // namespace

stop_signals::stop_signals() {
  noted.store(0);
  sigset_t unblock;
  sigemptyset(&unblock);
  for (int k = 0; k < count; ++k) {
    struct sigaction now {};
    sigaction(handled[k], nullptr, &now);
    installed_[k] = now.sa_handler != SIG_IGN;
    if (!installed_[k]) continue;
    struct sigaction action {};
    action.sa_handler = note_signal;
    // One handler at a time, so that of two stops the first noted is the
    // first delivered.
    sigemptyset(&action.sa_mask);
    for (const int other : handled) sigaddset(&action.sa_mask, other);
    action.sa_flags = SA_RESTART;
    sigaction(handled[k], &action, &earlier_[k]);
    sigaddset(&unblock, handled[k]);
  }
  pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
}

stop_signals::~stop_signals() {
  for (int k = 0; k < count; ++k) {
    if (installed_[k]) sigaction(handled[k], &earlier_[k], nullptr);
  }
}

int stop_signals::stop() const noexcept { return noted.load() >> stop_shift; }

bool stop_signals::take_checkpoint_request() noexcept {
  return (noted.fetch_and(~checkpoint_request) & checkpoint_request) != 0;
}
