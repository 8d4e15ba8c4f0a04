#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <thread>
#include <vector>

#include "ui/qt/QtControls.h"
#include "ui/qt/QtMainThread.h"

using namespace ui;
using namespace ui::qt;

namespace {

QApplication& application() {
  static int argc = 1;
  static char name[] = "ui_qt_test";
  static char* argv[] = {name, nullptr};
  // Never destroyed: tearing Qt down among the static destructors at exit
  // is not safe, and a process-long application is all the tests need.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// Counts the event loop's wake-ups (socket notifier activations) and the
// queued calls it delivers.
class WakeUpCounter : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::SockAct) ++wakeUps;
    if (event->type() == QEvent::MetaCall) ++calls;
    return false;
  }
  int wakeUps = 0;
  int calls = 0;
};

// A task that records its index and the thread it ran on.
struct Recorder {
  struct Slot {
    Recorder* recorder;
    int index;
  };
  static void run(void* context) {
    Slot& slot = *static_cast<Slot*>(context);
    Recorder& r = *slot.recorder;
    if (QThread::currentThread() != r.guiThread) ++r.offThread;
    r.order.push_back(slot.index);
  }
  QThread* guiThread = nullptr;
  std::vector<Slot> contexts;
  std::vector<int> order;
  int offThread = 0;
};

}  // namespace

TEST(QtMainThread, RunsTasksFromOtherThreadsInOrderOnTheGuiThread) {
  QApplication& app = application();
  QtMainThread mainThread;
  MainThread::install(&mainThread);
  ASSERT_EQ(&MainThread::instance(), &mainThread);

  constexpr int kTasks = 2000;
  std::vector<int> order;
  std::atomic<int> offThread{0};
  std::atomic<bool> finished{false};
  std::thread producer([&] {
    EXPECT_FALSE(mainThread.isMainThread());
    for (int i = 0; i < kTasks; ++i) {
      mainThread.runAsync([&, i] {
        if (QThread::currentThread() != app.thread()) ++offThread;
        order.push_back(i);
      });
    }
    // Waits for the tasks queued before it.
    mainThread.runSync([&] { order.push_back(kTasks); });
    finished = true;
  });
  while (!finished) app.processEvents(QEventLoop::AllEvents, 5);
  producer.join();

  ASSERT_EQ(order.size(), static_cast<std::size_t>(kTasks + 1));
  for (int i = 0; i <= kTasks; ++i) ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
  EXPECT_EQ(offThread.load(), 0);
  MainThread::install(nullptr);
}

TEST(QtMainThread, ABurstOfTasksCostsOneWakeUp) {
  QApplication& app = application();
  QtMainThread mainThread;
  WakeUpCounter counter;
  app.installEventFilter(&counter);
  int ran = 0;
  static auto count = [](void* context) { ++*static_cast<int*>(context); };
  for (int i = 0; i < 100; ++i) mainThread.runAsync(count, &ran);
  app.processEvents();
  EXPECT_EQ(ran, 100);
  EXPECT_EQ(counter.wakeUps, 1);
  EXPECT_EQ(counter.calls, 0) << "no queued call, no event made per wake-up";

  // A task queued while draining still runs.
  mainThread.runAsync([&] { mainThread.runAsync(count, &ran); });
  app.processEvents();
  app.processEvents();
  EXPECT_EQ(ran, 101);
  app.removeEventFilter(&counter);
}

TEST(QtMainThread, ABurstFromAnotherThreadRunsInOrderOnTheGuiThreadFromTheEventLoop) {
  QApplication& app = application();
  QtMainThread mainThread;
  MainThread::install(&mainThread);
  WakeUpCounter counter;
  app.installEventFilter(&counter);

  // More than the queue's own capacity, so the burst spills over and back.
  constexpr int kTasks = static_cast<int>(MainThread::kCapacity) * 2 + 17;
  Recorder recorder;
  recorder.guiThread = app.thread();
  recorder.order.reserve(kTasks);
  for (int i = 0; i < kTasks; ++i) recorder.contexts.push_back({&recorder, i});
  static auto quit = [](void*) { QApplication::exit(0); };
  std::thread producer([&] {
    for (int i = 0; i < kTasks; ++i) mainThread.runAsync(&Recorder::run, &recorder.contexts[static_cast<std::size_t>(i)]);
    mainThread.runAsync(quit, nullptr);
  });
  // The event loop proper, not a hand-driven one; a hang fails the test.
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [] { QApplication::exit(1); });
  watchdog.start(60000);
  EXPECT_EQ(app.exec(), 0);
  producer.join();

  ASSERT_EQ(recorder.order.size(), static_cast<std::size_t>(kTasks));
  for (int i = 0; i < kTasks; ++i) ASSERT_EQ(recorder.order[static_cast<std::size_t>(i)], i);
  EXPECT_EQ(recorder.offThread, 0);
  EXPECT_GE(counter.wakeUps, 1) << "run from the event loop's wake-up";
  app.removeEventFilter(&counter);
  MainThread::install(nullptr);
}

TEST(QtMainThread, TasksStillQueuedWhenItIsDestroyedNeverRun) {
  QApplication& app = application();
  std::atomic<int> ran{0};
  static auto count = [](void* context) { ++*static_cast<std::atomic<int>*>(context); };
  {
    QtMainThread mainThread;
    MainThread::install(&mainThread);
    std::thread producer([&] {
      for (int i = 0; i < 100; ++i) mainThread.runAsync(count, &ran);
      mainThread.runAsync([&] { ++ran; });
    });
    producer.join();  // the wake-up is written and not yet answered
    MainThread::install(nullptr);
  }
  app.processEvents();
  app.processEvents();
  EXPECT_EQ(ran.load(), 0);

  // A new one after it works as before (its own eventfd and notifier).
  QtMainThread next;
  std::thread producer([&] { next.runAsync(count, &ran); });
  producer.join();
  for (int i = 0; i < 100 && ran.load() == 0; ++i) app.processEvents(QEventLoop::AllEvents, 10);
  EXPECT_EQ(ran.load(), 1);
}

TEST(QtBindings, WidgetsShowTheControlsAndReportTheUser) {
  application();
  QWidget window;
  auto* popup = new QtPopUpButton(&window);
  auto* field = new QtTextField(&window);
  auto* button = new QtButton("Start", &window);
  auto* matrix = new QtMatrix(1, 2, {"Normal", "Tracking"}, &window);
  auto* slider = new QtSlider(&window);
  int actions = 0;
  for (Control* control : std::initializer_list<Control*>{popup, field, button, matrix, slider})
    control->setInterface([&] { ++actions; });

  auto menu = std::make_shared<Menu>();
  menu->addItem("1 Hz", 0);
  menu->addItem("10 Hz", 10);
  static_cast<PopUpButton*>(popup)->setMenu(menu);
  static_cast<PopUpButton*>(popup)->selectItemWithTag(10);
  EXPECT_EQ(popup->count(), 2);
  EXPECT_EQ(popup->currentText(), "10 Hz");
  menu->addItem("100 Hz", 20);  // changed behind the pop-up's back
  popup->showPopup();
  EXPECT_EQ(popup->count(), 3);
  popup->hidePopup();
  emit popup->activated(2);
  EXPECT_EQ(static_cast<PopUpButton*>(popup)->selectedTag(), 20);

  static_cast<TextField*>(field)->setStringValue("1000");
  EXPECT_EQ(field->text(), "1000");
  field->setFocus();
  QTest::keyClick(field, Qt::Key_End);
  QTest::keyClicks(field, "5");
  EXPECT_EQ(static_cast<TextField*>(field)->stringValue(), "10005");
  QTest::keyClick(field, Qt::Key_Return);
  EXPECT_EQ(actions, 2);

  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_TRUE(static_cast<Button*>(button)->isOn());
  static_cast<Button*>(button)->setTitle("Stop");
  static_cast<Button*>(button)->setEnabled(false);
  EXPECT_EQ(button->text(), "Stop");
  EXPECT_FALSE(button->QWidget::isEnabled());

  static_cast<Matrix*>(matrix)->selectCell(0, 1);
  EXPECT_EQ(actions, 3);
  static_cast<Slider*>(slider)->setDoubleValue(0.5);
  EXPECT_EQ(slider->value(), QtSlider::kSteps / 2);
  slider->setValue(QtSlider::kSteps / 4);  // as a drag would
  EXPECT_DOUBLE_EQ(static_cast<Slider*>(slider)->doubleValue(), 0.25);
  EXPECT_EQ(actions, 4);
}
