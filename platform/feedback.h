// What the user sees while a command works: the wait cursor, a window that is repainted before
// the work starts, and a progress dialog for long work. GUI thread only.
#pragma once

#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>

class QProgressDialog;
class QWidget;

// For as long as it lives, the wait cursor shows. On creation the window is repainted first, so
// that nothing stays painted over it while the work blocks the event loop. Scopes may nest;
// only the outermost one acts.
class BusyCursor {
 public:
  explicit BusyCursor(QWidget* window);
  ~BusyCursor();
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

// The user's turn inside a busy command, for as long as a dialog waits for an answer: the normal
// cursor. When it ends the window of the busy command is repainted (the closed dialog no longer
// shows over it) and the wait cursor is back before the work goes on. Does nothing outside a
// busy command.
class UserTurn {
 public:
  UserTurn();
  ~UserTurn();
  UserTurn(const UserTurn&) = delete;
  UserTurn& operator=(const UserTurn&) = delete;

 private:
  bool active_;
};

// How long work must last before its progress dialog appears: about half a second. Tests
// shorten it to see the dialog on small work.
std::chrono::milliseconds& ProgressDelay();

// A progress dialog over window for one piece of work, window-modal, without a cancel button.
// It appears only when the work lasts longer than ProgressDelay() (or promises to, judged from
// the progress so far); once shown, each report lets the window system's events through, so the
// windows repaint, while the window itself takes no input.
class WorkProgress {
 public:
  WorkProgress(QWidget* window, const QString& label);
  ~WorkProgress();
  WorkProgress(const WorkProgress&) = delete;
  WorkProgress& operator=(const WorkProgress&) = delete;

  // done of total units are finished.
  void Report(std::uint64_t done, std::uint64_t total);

 private:
  std::unique_ptr<QProgressDialog> dialog_;
};
