// Renders the analyzer's main window off-screen, without a sound card, and
// writes it as a PNG. The input is a known signal fed block by block through
// the controller, as the analyzer input would deliver it:
//   a 1 kHz sine at -20 dB (mean square), a 3 kHz sine at -50 dB and white
//   noise at -36 dB over the whole band (about -70 dB in a 10 Hz RBW),
//   sampled at 48 kHz.
//
//   specan_screenshot [output.png]     (default docs/screenshot.png)

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <cmath>
#include <cstdio>
#include <random>

#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "ui/qt/QtMainThread.h"

namespace {

constexpr double kRate = 48000.0;
constexpr double kPi = 3.14159265358979323846;

// Amplitude of a sine whose mean square is level dB.
double sineAmplitude(double level) { return std::sqrt(2.0 * std::pow(10.0, level / 10.0)); }

}  // namespace

int main(int argc, char* argv[]) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  const QString output = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshot.png");

  ui::qt::QtMainThread mainThread;
  ui::MainThread::install(&mainThread);

  AppDelegate app;
  MainWindow window(app);
  // The interface values a user would have chosen for this look.
  app.lowerSpanField->setStringValue("0");
  app.upperSpanField->setStringValue("5000");
  app.bandwidthPopup->selectItemWithTag(10);  // 10 Hz
  app.traceAverageField->setStringValue("4");
  app.titleField->setStringValue("Test signal");
  app.showDateCheckbox->setState(1);
  app.applicationDidFinishLaunching();
  QApplication::processEvents();

  const double a1 = sineAmplitude(-20.0);
  const double a2 = sineAmplitude(-50.0);
  const double noise = std::sqrt(std::pow(10.0, -36.0 / 10.0));
  std::mt19937 generator(2024);
  std::normal_distribution<double> gaussian(0.0, noise);
  float block[AppDelegate::kBlockLength];
  long long n = 0;
  // Enough blocks to fill the ring three times over and average a few spectra.
  const int blocks = 3 * app.spectrum->fftLength() / AppDelegate::kBlockLength + 64;
  for (int b = 0; b < blocks; ++b) {
    for (float& sample : block) {
      const double t = static_cast<double>(n++) / kRate;
      sample = static_cast<float>(a1 * std::sin(2 * kPi * 1000.0 * t) + a2 * std::sin(2 * kPi * 3000.0 * t) +
                                  gaussian(generator));
    }
    app.newDataFromInput(block, static_cast<float>(kRate));
    QApplication::processEvents();
  }
  QApplication::processEvents();

  const QImage image = window.grab().toImage();
  if (!image.save(output, "PNG")) {
    std::fprintf(stderr, "could not write %s\n", output.toLocal8Bit().constData());
    return 1;
  }
  std::printf("%s: %dx%d\n", output.toLocal8Bit().constData(), image.width(), image.height());
  return 0;
}
