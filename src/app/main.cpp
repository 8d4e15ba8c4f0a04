// The analyzer's entry point: the options, the application, its main thread,
// the audio provider, the controller, the analyzer input and the main
// window; then the event loop.

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QTimer>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/analyze/AnalyzeCommand.h"
#include "app/controller/AppDelegate.h"
#include "app/window/MainWindow.h"
#include "app/window/TerminationSignals.h"
#include "dsp/FFTPlanner.h"
#include "endpoints/Input.h"
#include "endpoints/TrackingGenerator.h"
#include "platform/audio/Provider.h"
#include "app/cli/devices/DevicesCommand.h"
#include "app/cli/measure/SweepCommand.h"
#include "platform/audio/ProviderChoice.h"
#include "platform/audio/filedevices/FileDeviceProvider.h"
#include "ui/qt/QtMainThread.h"
#include "ui/qt/QtPanels.h"
#include "ui/qt/QtWorkspace.h"

namespace {

const char kUsage[] =
    "Usage: specan [OPTION]...\n"
    "  or:  specan analyze [OPTION]... FILE...\n"
    "  or:  specan devices [--audio=jack|pulse|simulated] [--json]\n"
    "  or:  specan measure [OPTION]...\n"
    "A desktop audio spectrum analyzer with a tracking generator.\n"
    "\n"
    "  --audio=jack           use the clients of the running JACK server (jackd or\n"
    "                         PipeWire's JACK); fail when none runs\n"
    "  --audio=pulse          use the sound cards of the PulseAudio (or PipeWire)\n"
    "                         server; fail when none answers\n"
    "  --audio=simulated      run on the simulated sound cards (a test-signal input\n"
    "                         and a loopback pair), without any real sound card\n"
    "  --screenshot=FILE.png  write the main window's image to FILE.png when the\n"
    "                         analyzer quits\n"
    "  --quit-after=SECONDS   quit normally after SECONDS seconds of running\n"
    "  --play-tone=HZ         play the generator's tone at HZ from the start, with\n"
    "                         the distortion readout, as Generator > Play Tone does\n"
    "  --help                 show this help and exit\n"
    "\n"
    "Without --audio (or SPECAN_AUDIO=jack|pulse|simulated in the environment)\n"
    "the analyzer uses JACK when a JACK server runs (it never starts one), else\n"
    "PulseAudio when a server answers within a second, else the simulated sound\n"
    "cards.\n"
    "Qt's own settings come from the environment (for example QT_QPA_PLATFORM).\n"
    "\n"
    "specan analyze analyses sound files without a window or display: a line\n"
    "per file (rate, length, channels, the peak's frequency and level), the\n"
    "trace as CSV and the plot as PNG; 'specan analyze --help' tells more.\n"
    "specan devices lists the input and output devices with the names the\n"
    "settings use, their channels, rates and sources; see 'specan devices --help'.\n"
    "specan measure sweeps a frequency response with the tracking generator, as\n"
    "the window's tracking mode does; see 'specan measure --help'.\n";

struct Options {
  std::string audio;
  std::string screenshot;
  std::optional<double> quitAfter;
  std::string tone;
};

// The value of "--name=value" when arg is that option.
std::optional<std::string> valueOf(const char* arg, const char* name) {
  const std::size_t length = std::strlen(name);
  if (std::strncmp(arg, name, length) != 0 || arg[length] != '=') return std::nullopt;
  return std::string(arg + length + 1);
}

int refuse(const std::string& message) {
  std::fprintf(stderr, "specan: %s\nTry 'specan --help' for more information.\n", message.c_str());
  return 2;
}

// 0 when the options are good, else the exit status (1 is never used: 0
// after --help, 2 after a mistake).
std::optional<int> parseOptions(int argc, char* argv[], Options& options) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::optional<std::string> value = valueOf(arg, "--audio")) {
      if (!platform::audio::isProviderName(*value))
        return refuse("unknown audio provider '" + *value + "' (known: " + platform::audio::kProviderNames + ")");
      options.audio = *value;
    } else if (std::optional<std::string> file = valueOf(arg, "--screenshot")) {
      if (file->empty()) return refuse("--screenshot needs a file name");
      options.screenshot = *file;
    } else if (std::optional<std::string> seconds = valueOf(arg, "--quit-after")) {
      char* end = nullptr;
      errno = 0;
      const double value = std::strtod(seconds->c_str(), &end);
      if (seconds->empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value < 0 || value > 1e6)
        return refuse("--quit-after needs a number of seconds, not '" + *seconds + "'");
      options.quitAfter = value;
    } else if (std::optional<std::string> hz = valueOf(arg, "--play-tone")) {
      if (hz->empty()) return refuse("--play-tone needs a frequency in Hz");
      options.tone = *hz;
    } else {
      return refuse(std::string("unknown option '") + arg + "'");
    }
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char* argv[]) {
  // The command line's analysis has no event loop: signals keep their
  // default actions there.
  if (argc >= 2 && std::strcmp(argv[1], "analyze") == 0)
    return runAnalyzeCommand(std::vector<std::string>(argv + 2, argv + argc));
  if (argc >= 2 && std::strcmp(argv[1], "devices") == 0)
    return runDevicesCommand(std::vector<std::string>(argv + 2, argv + argc));
  if (argc >= 2 && std::strcmp(argv[1], "measure") == 0)
    return runMeasureCommand(std::vector<std::string>(argv + 2, argv + argc));
  // A termination signal before the event loop runs waits for it.
  TerminationSignals::blockEarly();
  Options options;
  if (std::optional<int> status = parseOptions(argc, argv, options)) return *status;
  if (options.audio.empty())
    if (const char* forced = std::getenv("SPECAN_AUDIO"); forced && *forced) {
      options.audio = forced;
      if (!platform::audio::isProviderName(options.audio))
        return refuse("unknown audio provider '" + options.audio + "' in SPECAN_AUDIO (known: " +
                      platform::audio::kProviderNames + ")");
    }

  // The options are ours alone; Qt takes its settings from the environment.
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QApplication application(qtArgc, qtArgv);
  QApplication::setApplicationName(QStringLiteral("SpecAn"));
  QApplication::setOrganizationDomain(QStringLiteral("specan.org"));
  // The installed desktop entry's name, by which a desktop shows the window
  // with its icon and menu entry.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.specan.SpecAn"));
  // Qt adopts the user's locale for the C library too; numbers in fields,
  // files and logs keep a decimal point whatever the language (Qt's own
  // QLocale still follows the user).
  std::setlocale(LC_NUMERIC, "C");

  ui::qt::QtMainThread mainThread;
  ui::MainThread::install(&mainThread);
  ui::qt::QtWorkspace workspace;
  ui::Workspace::install(&workspace);
  ui::qt::QtPanels panels;
  ui::Panels::install(&panels);
  TerminationSignals terminationSignals;

  // The provider is chosen before the window exists: the window names it and
  // the controller's manager lists its devices.
  std::shared_ptr<platform::audio::Provider> provider = platform::audio::makeProvider(options.audio);
  if (!provider) {
    std::fprintf(stderr, "specan: %s (try --audio=simulated)\n", platform::audio::providerMissing(options.audio).c_str());
    return 1;
  }
  // Sound files opened from the File menu join its devices as input devices.
  platform::audio::installProvider(std::make_shared<platform::audio::files::FileDeviceProvider>(std::move(provider)));

  // Sizes without measured plans in the user's wisdom are measured in the
  // background and saved for the next start.
  FFTPlanner::setBackgroundPlanning(true);
  int status = 0;
  {
    AppDelegate app;
    auto input = std::make_unique<Input>(&app);
    auto generator = std::make_unique<TrackingGenerator>();
    MainWindow window(app, input.get(), generator.get());
    bool screenshotFailed = false;
    QObject::connect(&application, &QCoreApplication::aboutToQuit, [&] {
      if (!options.screenshot.empty()) {
        const QImage image = window.grab().toImage();
        if (!image.save(QString::fromStdString(options.screenshot))) {
          std::fprintf(stderr, "specan: could not write the screenshot %s\n", options.screenshot.c_str());
          screenshotFailed = true;
        }
      }
      app.applicationWillTerminate();
    });
    app.applicationDidFinishLaunching();
    if (!options.tone.empty() && app.toneFrequencyField && app.toneButton) {
      app.toneFrequencyField->setStringValue(options.tone);
      app.toneButton->setState(1);
      app.toneButtonChanged();  // a tone refused is said, and the analyzer runs on
    }
    if (options.quitAfter)
      QTimer::singleShot(static_cast<int>(std::lround(*options.quitAfter * 1000.0)), &application,
                         &QCoreApplication::quit);
    status = QApplication::exec();
    // Ended by a signal: the status a shell expects of one (130 after Ctrl+C).
    if (terminationSignals.received() != 0) status = 128 + terminationSignals.received();
    if (status == 0 && screenshotFailed) status = 1;
    // The cards go while the controls they manage still exist.
    window.detachEndpoints();
    input.reset();
    generator.reset();
  }
  platform::audio::installProvider(nullptr);
  FFTPlanner::shutdown();
  ui::Panels::install(nullptr);
  ui::Workspace::install(nullptr);
  return status;
}
