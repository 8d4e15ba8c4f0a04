#include "app/window/TerminationSignals.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
// The handler's end and the event loop's end of a socket pair: a handler may
// only write, the loop reads and quits.
int pipeEnds[2] = {-1, -1};

sigset_t terminationSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kSignals) sigaddset(&set, signal);
  return set;
}

}  // namespace

void TerminationSignals::blockEarly() {
  const sigset_t set = terminationSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void TerminationSignals::handle(int signal) {
  // Async-signal-safe only: restore the default for a second signal, and
  // write one byte.
  std::signal(signal, SIG_DFL);
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &byte, 1);
  errno = saved;
}

TerminationSignals::TerminationSignals() {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipeEnds) == 0) {
    notifier_ = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { readSignal(); });
    struct sigaction action {};
    action.sa_handler = &TerminationSignals::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals) sigaction(signal, &action, nullptr);
  }
  const sigset_t set = terminationSet();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

TerminationSignals::~TerminationSignals() {
  for (int signal : kSignals) std::signal(signal, SIG_DFL);
  delete notifier_;
  for (int& end : pipeEnds) {
    if (end >= 0) ::close(end);
    end = -1;
  }
}

void TerminationSignals::readSignal() {
  unsigned char byte = 0;
  while (::read(pipeEnds[0], &byte, 1) == 1) received_ = byte;
  QCoreApplication::quit();
}
