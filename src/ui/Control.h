#pragma once
// The toolkit-neutral controls. The controller, the sound cards and the
// endpoints reach every control through these classes; the toolkit bindings
// (ui/qt) mirror each control's state into a widget and report the user's
// changes back, and tests use in-memory fakes of the same classes.
//
// A control holds its own state (value, selection, enabled flag). Changing it
// in code never sends the action; only a change by the user does, as with
// the controls the design was drawn against. All members are for the main
// thread only; other threads go through ui::MainThread::runSync.

#include <functional>
#include <utility>

namespace ui {

// A control's target and action in one: what runs when the user changes it.
using Action = std::function<void()>;

class Control {
 public:
  virtual ~Control() = default;
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  // Makes action the control's target/action, replacing the previous one; an
  // empty action leaves the control without a target.
  void setInterface(Action action) { action_ = std::move(action); }
  bool hasInterface() const { return static_cast<bool>(action_); }

  // Runs the action as the user's change would (the launch sequence runs some
  // handlers once this way). Safe when the action replaces itself.
  void sendAction() {
    if (!action_) return;
    Action running = action_;
    running();
  }

  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) {
    if (enabled_ == enabled) return;
    enabled_ = enabled;
    updateView();
  }

 protected:
  Control() = default;
  // Called after every change made in code, so a binding can show the new
  // state. The binding must not send the action from here.
  virtual void updateView() {}

 private:
  Action action_;
  bool enabled_ = true;
};

}  // namespace ui
