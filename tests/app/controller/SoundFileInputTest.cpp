// A sound file analysed through the whole live path: opened with the File
// menu's command (through the open panel) as a device of the file-device
// overlay on the stepped simulated provider, selected as the analyzer's
// input, read by the input card, the analyzer input, the controller, the
// engine and the trace; then closed, when the input falls back to the
// platform's default device.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <memory>
#include <optional>
#include <thread>

#include "app/ControllerHarness.h"
#include "app/controller/SoundFileCommands.h"
#include "audio/AFInputSoundcard.h"
#include "endpoints/Input.h"
#include "platform/audio/filedevices/FileDeviceProvider.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "support/TempFolder.h"
#include "support/ToneMeasure.h"
#include "support/WaveFile.h"
#include "ui/Panels.h"
#include "support/ServeMainThread.h"

namespace {

namespace sim = platform::audio::simulated;
namespace pa = platform::audio;
namespace files = platform::audio::files;
using app_fakes::ControllerHarness;

// Panels answering with the paths queued (none: cancelled), keeping the
// filters shown and the alerts.
struct ScriptedPanels final : ui::Panels {
  std::deque<std::optional<std::string>> answers;
  std::vector<std::string> filters, alerts;
  std::optional<std::string> runSavePanel(const std::string&, const std::string&, const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::string> runOpenPanel(const std::string&, const std::string&, const std::string& filter) override {
    filters.push_back(filter);
    if (answers.empty()) return std::nullopt;
    std::optional<std::string> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void showAlert(const std::string& message, const std::string& detail) override {
    alerts.push_back(message + " " + detail);
  }
};

struct FileInput {
  FileInput() {
    sim::Options options;
    options.clock = sim::ClockMode::Stepped;
    provider = std::make_shared<sim::SimulatedProvider>(options);
    files::Options stepped;
    stepped.clock = files::ClockMode::Stepped;
    overlay = std::make_shared<files::FileDeviceProvider>(provider, stepped);
    pa::installProvider(overlay);
    ui::Panels::install(&panels);
    input = std::make_unique<Input>(&h.app);
    input->trace = h.app.trace.get();
    input->devicePopup = &devicePopup;
    input->sourcePopup = &sourcePopup;
    input->channelPopup = &channelPopup;
    input->samplingRatePopup = &ratePopup;
    input->inputSlider = &slider;
    h.app.input = input.get();
  }
  ~FileInput() {
    input.reset();
    h.mainThread.drain();
    ui::Panels::install(nullptr);
    pa::installProvider(nullptr);
  }

  void launch() {
    h.launch();
    settle();
  }

  AFInputSoundcard* card() { return static_cast<AFInputSoundcard*>(input->soundcard()); }

  // Waits until every notification so far has been handled, serving the
  // main thread meanwhile (listeners wait for it).
  void settle() {
    testsupport::serveMainThreadWhile(h.mainThread, [&] {
      provider->flushNotifications();
      overlay->flushNotifications();
    });
  }

  // Runs the devices one buffer at a time; after each the card delivers and
  // the main thread analyses.
  void run(double seconds) {
    const double rate = card()->samplingRate();
    const int steps = static_cast<int>(std::ceil(seconds * rate / 512));
    for (int i = 0; i < steps; ++i) {
      provider->advance(512 / rate);
      overlay->advance(512 / rate);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (card()->isRunning() && card()->memory().available() >= card()->bufferLength() &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      h.mainThread.drain();
    }
  }

  // The strongest tone of the live trace: its frequency, and its level in dB
  // of mean square (the power around the peak over the window's noise
  // bandwidth in bins, which the engine makes the RBW).
  int peakBin() {
    TraceData* t = h.app.trace->traceData();
    int peak = 1;
    for (int k = 1; k < t->bins; ++k)
      if (t->averaged[k] > t->averaged[peak]) peak = k;
    return peak;
  }
  double peakFrequency() { return peakBin() / h.app.trace->traceData()->binsPerHertz; }
  double toneLevel() {
    TraceData* t = h.app.trace->traceData();
    const int peak = peakBin();
    const double bins = t->bins;
    const double noiseBandwidthBins = h.app.sharedData.span.bandwidth * t->binsPerHertz;
    const int reach = static_cast<int>(std::ceil(4 * noiseBandwidthBins)) + 4;
    double sum = 0;
    for (int k = std::max(1, peak - reach); k <= std::min(t->bins - 1, peak + reach); ++k) sum += t->averaged[k];
    return 10 * std::log10(sum / (bins * bins) / noiseBandwidthBins);
  }

  testsupport::TempFolder folder;
  std::shared_ptr<sim::SimulatedProvider> provider;
  std::shared_ptr<files::FileDeviceProvider> overlay;
  ControllerHarness h;
  ScriptedPanels panels;
  ui::fakes::FakePopUpButton devicePopup, sourcePopup, channelPopup, ratePopup;
  ui::fakes::FakeSlider slider;
  std::unique_ptr<Input> input;
};

// A sine of amplitude 0.5 reads its mean square: -9.031 dB.
constexpr double kSineLevel = -9.0309;

TEST(SoundFileInput, AnOpenedFileIsSelectedAndItsSineReadsItsTrueLevelUntilItIsClosed) {
  FileInput live;
  live.launch();
  ASSERT_EQ(live.devicePopup.titleOfSelectedItem(), "Test Signal");
  // 2.5 kHz at 44.1 kHz in the right channel (the Test Signal has 1 kHz at
  // 48 kHz): a file analysed at the Test Signal's rate or channel reads
  // elsewhere.
  const std::string path = live.folder.file("tone.wav");
  testsupport::writeWave(path, {tonetest::sine(44100, 44100, 700, 0.25), tonetest::sine(44100, 44100, 2500, 0.5)},
                         44100);
  live.channelPopup.pickTitle("R");

  SoundFileCommands commands(live.input.get());
  live.panels.answers.push_back(path);
  const uint32_t device = commands.openSoundFile();
  ASSERT_NE(device, 0u);
  EXPECT_NE(live.panels.filters.at(0).find("*.wav"), std::string::npos);
  live.settle();
  EXPECT_EQ(live.devicePopup.titleOfSelectedItem(), "tone.wav");
  EXPECT_EQ(live.card()->selectedDevice()->deviceID(), device);
  EXPECT_FALSE(live.card()->useDefaultDevice());
  EXPECT_EQ(live.sourcePopup.titleOfSelectedItem(), "Loop");
  EXPECT_EQ(live.ratePopup.titleOfSelectedItem(), "44100");
  EXPECT_EQ(live.channelPopup.titleOfSelectedItem(), "R");
  ASSERT_TRUE(live.card()->isRunning());
  EXPECT_TRUE(commands.canCloseSoundFile());

  // Two seconds: the file loops once on the way.
  live.run(2.0);
  EXPECT_EQ(live.h.app.spectrum->samplingRate(), 44100.0f);
  EXPECT_NEAR(live.peakFrequency(), 2500.0, 3.0);
  EXPECT_NEAR(live.toneLevel(), kSineLevel, 0.05);
  EXPECT_EQ(live.overlay->underrunFrames(device), 0u);

  // Closed: the input falls back to the platform's default device.
  EXPECT_EQ(commands.closeSoundFile(), device);
  live.settle();
  EXPECT_FALSE(commands.canCloseSoundFile());
  EXPECT_EQ(live.devicePopup.titleOfSelectedItem(), "Test Signal");
  ASSERT_TRUE(live.card()->isRunning());
  live.run(1.0);
  EXPECT_EQ(live.h.app.spectrum->samplingRate(), 48000.0f);
  EXPECT_NEAR(live.peakFrequency(), 1000.0, 3.0);
  EXPECT_NEAR(live.toneLevel(), kSineLevel, 0.05);
}

TEST(SoundFileInput, AFileThatCannotBeOpenedIsReportedAndChangesNothing) {
  FileInput live;
  live.launch();
  SoundFileCommands commands(live.input.get());
  live.panels.answers.push_back(live.folder.write("notes.wav", "plain words, no sound"));
  EXPECT_EQ(commands.openSoundFile(), 0u);
  ASSERT_EQ(live.panels.alerts.size(), 1u);
  EXPECT_NE(live.panels.alerts[0].find("notes.wav"), std::string::npos);
  live.panels.answers.push_back(std::nullopt);  // cancelled
  EXPECT_EQ(commands.openSoundFile(), 0u);
  EXPECT_EQ(live.panels.alerts.size(), 1u);
  live.settle();
  EXPECT_EQ(live.devicePopup.titleOfSelectedItem(), "Test Signal");
  EXPECT_FALSE(commands.canCloseSoundFile());
  EXPECT_EQ(commands.closeSoundFile(), 0u);
}

}  // namespace
