// The print and export page: its margins, and where border, graticule,
// curve, reference and marker land in a rendered image.

#include <gtest/gtest.h>

#include <QEvent>

#include "display/DisplayTestSupport.h"
#include "display/Printing.h"

namespace {

// Counts the pixels of an area whose colour has the wanted channels above 100
// (r, g, b: 1 = above 100, 0 = below 60).
int count(const QImage& image, const QRect& area, int r, int g, int b) {
  auto is = [](int value, int on) { return on ? value > 100 : value < 60; };
  int n = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      const QColor c = image.pixelColor(x, y);
      n += is(c.red(), r) && is(c.green(), g) && is(c.blue(), b) ? 1 : 0;
    }
  }
  return n;
}
const QRect kPlot(48, 33, 741, 514);  // inside the frame of an 800 x 600 page

// An 800 x 600 page of a 44.1 kHz, 8192-bin trace: a -50 dB floor and a
// -10 dB peak at bin 3045, a bin whose frequency times the bins per hertz
// falls just short of it in single precision.
constexpr int kPeakBin = 3045;

struct PageRig {
  SharedData shared;
  ColorPalette palette = testPalette();
  std::unique_ptr<TraceData> trace = std::make_unique<TraceData>();
  MarkerCache screenMarker;  // the on-screen display's records
  MarkerCache screenReferenceMarker;
  display::Printing page{QRectF(0, 0, 800, 600)};

  explicit PageRig(bool border = false) {
    page.setSharedData(&shared);
    page.setColorPalette(&palette, border);
    page.setMarker(&screenMarker, &screenReferenceMarker);
    shared.span = {0, 22050, 10};
    shared.hasData = 1;
    shared.detectorMode = 1;  // peak
    trace->bins = 8192;
    trace->samplingRate = 44100;
    trace->binsPerHertz = PlotTrace::binsPerHertz(8192, 44100);
    for (int k = 0; k < 8192; ++k) trace->averaged[k] = value(k == kPeakBin ? -10 : -50);
    page.setReference(nullptr, trace.get());
    page.createPlotFromTraceData(trace.get());
  }
  static float value(double dB) { return static_cast<float>(std::pow(10.0, dB / 10) * 8192.0 * 8192.0); }
  float peakFrequency() const { return static_cast<float>(kPeakBin) / trace->binsPerHertz; }
  // Image column of the peak, from the span and the plot width alone, and
  // image row of the -10 dB level (one division below the top line).
  double peakColumn() const {
    const double binsPerPixel = static_cast<float>(22050.0 / 747) * trace->binsPerHertz;
    return 45 + (kPeakBin - static_cast<int>(-0.5 * binsPerPixel)) / binsPerPixel;
  }
  static double peakRow() { return 600 - (50 + 520 - 26 - 520 / 8.0); }
};

}  // namespace

TEST(PrintingPage, TheGeometryKeepsThePageMargins) {
  testApplication();
  display::Printing page(QRectF(0, 0, 800, 600));
  EXPECT_EQ(page.plotBounds(), QRectF(45, 50, 747, 520));
  EXPECT_FLOAT_EQ(page.plotHeight(), 520);
  EXPECT_FLOAT_EQ(page.yOffset(), 26);
  EXPECT_FLOAT_EQ(page.infoFontSize(), 11.8f);
}

TEST(PrintingPage, SettingTheScaleAloneAsksForNoRedrawButTheNextPageUsesIt) {
  testApplication();
  PageRig rig;
  struct : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      paints += event->type() == QEvent::Paint ? 1 : 0;
      return false;
    }
  } counter;
  rig.page.installEventFilter(&counter);
  rig.page.setAttribute(Qt::WA_DontShowOnScreen);
  rig.page.show();  // only a shown widget acts on update()
  QApplication::processEvents();
  counter.paints = 0;
  rig.page.setPlotScale(5);
  QApplication::processEvents();
  EXPECT_EQ(counter.paints, 0);
  rig.page.createPlotFromTraceData(rig.trace.get());
  EXPECT_FLOAT_EQ(rig.page.scale().logScale, 2 * 520 / 8.0f);
}

TEST(PrintingRender, TheBorderOnlyWhenAskedTheGraticuleAndFrameAlways) {
  testApplication();
  for (const bool border : {false, true}) {
    PageRig rig(border);
    const QImage image = rig.page.renderImage();
    ASSERT_EQ(image.size(), QSize(800, 600));
    EXPECT_EQ(image.pixelColor(20, 300), QColor(0, 0, 0)) << "background";
    const int outline = count(image, {0, 0, 1, 600}, 0, 1, 0) + count(image, {799, 0, 1, 600}, 0, 1, 0) +
                        count(image, {0, 0, 800, 1}, 0, 1, 0) + count(image, {0, 599, 800, 1}, 0, 1, 0);
    EXPECT_EQ(outline > 2 * 800 + 2 * 600 - 20, border) << outline;
    EXPECT_GT(count(image, QRect(60, 600 - 544 - 1, 300, 2), 0, 1, 0), 150) << "top graticule line";
    EXPECT_GT(count(image, QRect(44, 100, 2, 300), 0, 1, 0), 290) << "frame";
  }
}

TEST(PrintingRender, TheCurvePeaksAtItsFrequencyOnlyWhileTheTraceIsFreeAndOnlyWithATrace) {
  testApplication();
  PageRig rig;
  // The curve's topmost pixel lies in the peak's column, at its level, also
  // when the page is drawn at twice its size.
  for (const int k : {1, 2}) {
    QImage image(800 * k, 600 * k, QImage::Format_RGB32);
    QPainter painter(&image);
    rig.page.renderPage(painter, QRectF(0, 0, 800 * k, 600 * k));
    painter.end();
    const QRect plot(kPlot.topLeft() * k, kPlot.size() * k);
    int row = plot.top();
    while (row < plot.bottom() && count(image, QRect(plot.left(), row, plot.width(), 1), 1, 0, 0) == 0) ++row;
    int column = plot.left();
    while (column < plot.right() && count(image, QRect(column, row, 1, 1), 1, 0, 0) == 0) ++column;
    EXPECT_NEAR(column, k * rig.peakColumn(), 1.5 * k) << k;
    EXPECT_NEAR(row, k * rig.peakRow(), 2 * k) << k;
  }

  // A reference is drawn with the curve, neither while a pass holds the
  // trace, and a removed one leaves nothing.
  auto reference = std::make_unique<TraceData>();
  reference->bins = 8192;
  reference->samplingRate = 44100;
  std::fill_n(reference->averaged, 8192, PageRig::value(-30));
  rig.page.setReference(reference.get(), rig.trace.get());
  EXPECT_GT(count(rig.page.renderImage(), kPlot, 0, 1, 1), 300);
  rig.trace->lock.lock();
  const QImage locked = rig.page.renderImage();
  rig.trace->lock.unlock();
  EXPECT_EQ(count(locked, kPlot, 1, 0, 0) + count(locked, kPlot, 0, 1, 1), 0);
  rig.page.setReference(nullptr, rig.trace.get());
  EXPECT_EQ(count(rig.page.renderImage(), kPlot, 0, 1, 1), 0);

  // Without a trace: graticule, labels and captions, no curve.
  rig.page.createPlotFromTraceData(nullptr);
  const QImage bare = rig.page.renderImage();
  EXPECT_EQ(count(bare, bare.rect(), 1, 0, 0), 0);
  EXPECT_GT(count(bare, kPlot, 0, 1, 0), 3000);
  EXPECT_GT(count(bare, QRect(0, 60, 44, 440), 0, 0, 1), 50);
  EXPECT_GT(count(bare, QRect(45, 550, 747, 50), 0, 0, 1), 50);
}

TEST(PrintingRender, TheMarkerShowsItsShapeAlwaysAndItsReadoutOnlyWhenPlaced) {
  testApplication();
  PageRig rig;
  const QRect dot(static_cast<int>(rig.peakColumn()) - 6, static_cast<int>(PageRig::peakRow()) - 6, 13, 13);
  const double f = rig.page.infoFontSize();  // the readout: second line below the plot, right
  const QRect readout(static_cast<int>(792 - 24 * f), static_cast<int>(600 - 50 + 3.5 * f - 1.5 * f),
                      static_cast<int>(24 * f - 4), static_cast<int>(1.5 * f));

  QImage image = rig.page.renderImage();  // no marker
  EXPECT_EQ(count(image, image.rect(), 1, 1, 0), 0);
  EXPECT_EQ(count(image, readout, 0, 0, 1), 0);

  rig.screenMarker = {display::Display::kPlainMarker, rig.peakFrequency(), 0, 0, -10, 0, 0, 1};
  image = rig.page.renderImage();
  EXPECT_GT(count(image, dot, 1, 1, 0), 20);
  EXPECT_GT(count(image, readout, 0, 0, 1), 30);
  EXPECT_NEAR(rig.page.marker()->dB, -10, 1e-3) << "the page reads the marker's own bin";

  rig.screenMarker.valid = 0;  // not placed on screen yet
  image = rig.page.renderImage();
  EXPECT_GT(count(image, dot, 1, 1, 0), 20);
  EXPECT_EQ(count(image, readout, 0, 0, 1), 0);
}

TEST(PrintingRender, ASweepIsDrawnOverThePagesOwnColumnsNotTheScreens) {
  testApplication();
  PageRig rig;
  rig.page.setTrackingGeneratorMode(true);
  // The screen measured its 300 columns; the sweep has reached bin 4096 of
  // 8192, half way across the span.
  rig.shared.track.lowest = 0;
  rig.shared.track.highest = 300;
  rig.shared.lowestBin = 0;
  rig.shared.highestBin = 4096;
  rig.page.createPlotFromTraceData(rig.trace.get());
  const QImage image = rig.page.renderImage();
  auto curveIn = [&](int from, int to) { return count(image, QRect(from, kPlot.top(), to - from, kPlot.height()), 1, 0, 0); };
  EXPECT_GT(curveIn(360, 415), 30) << "measured bins beyond the screen's 300th column are on the page";
  EXPECT_EQ(curveIn(425, 780), 0) << "nothing beyond the bins measured";
}
