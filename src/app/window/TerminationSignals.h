#pragma once
// Termination by a signal ends the analyzer as Quit does: SIGTERM (session
// logout, kill), SIGINT (Ctrl+C in a terminal) and SIGHUP (the terminal
// closed) ask the event loop to quit, so the shutdown runs and the settings
// are saved. A second signal of the same kind ends the process at once, for
// a shutdown that hangs.
//
// blockEarly() at the very start of main holds such signals back until the
// handlers are in place, so a signal during start-up is not lost either.

#include <QObject>

class QSocketNotifier;

class TerminationSignals final : public QObject {
 public:
  static void blockEarly();

  // Installs the handlers and lets held-back signals through. Needs the
  // application object; at most one instance.
  TerminationSignals();
  ~TerminationSignals() override;

  // The last signal that asked to quit, 0 when none did.
  int received() const { return received_; }

 private:
  static void handle(int signal);
  void readSignal();

  QSocketNotifier* notifier_ = nullptr;
  int received_ = 0;
};
