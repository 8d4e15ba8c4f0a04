// The export and print commands on the real window, off-screen, fed a 1 kHz
// sine: the image file's name, its format, size and plot; the screen colours;
// a failed export said and leaving nothing; the page fitted and centred on a
// PDF "printer"; a cancelled print logged; and the CSV rows against the
// display's marker.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QPrinter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/controller/AppDelegate.h"
#include "app/window/MainWindow.h"
#include "app/window/RecordingPanels.h"
#include "app/views/PrintView.h"
#include "display/SpectrogramPage.h"
#include "display/SpectrogramPane.h"
#include "dsp/FrequencyWeighting.h"
#include "platform/Log.h"
#include "ui/Panels.h"
#include "ui/qt/QtMainThread.h"

namespace {

QApplication& application() {
  static int argc = 1;
  static char name[] = "app_export_test";
  static char* argv[] = {name, nullptr};
  // Never destroyed: tearing Qt down among the static destructors at exit
  // is not safe, and a process-long application is all the tests need.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

constexpr double kSine = 1000;  // Hz

// The window launched over the span lower..upper Hz with a trace of a 1 kHz
// sine at -20 dB, panels and log recorded, a temporary folder at hand.
struct Rig {
  explicit Rig(float lower = 0, float upper = 4800, const char* referenceLevel = "0") : lower(lower), upper(upper) {
    ui::MainThread::install(&mainThread);
    ui::Panels::install(&panels);
    platform::setLogSink([](std::string_view line, void* self) { static_cast<Rig*>(self)->logged += line; }, this);
    app.axisPopup->selectItemWithTag(0);  // the plot read on the linear axis
    app.lowerSpanField->setFloatValue(lower);
    app.upperSpanField->setFloatValue(upper);
    app.referenceLevelField->setStringValue(referenceLevel);
    app.applicationDidFinishLaunching();
    QApplication::processEvents();
    feed(64);
  }
  ~Rig() {
    platform::resetLogSink();
    ui::Panels::install(nullptr);
    ui::MainThread::install(nullptr);
  }
  void feed(int blocks) {
    float block[AppDelegate::kBlockLength];
    for (int b = 0; b < blocks; ++b) {
      for (float& s : block) s = 0.1414f * static_cast<float>(std::sin(2 * M_PI * kSine * n++ / 48000.0));
      app.newDataFromInput(block, 48000.0f);
      QApplication::processEvents();
    }
  }
  // A peak marker set on the display where the sine is, as a click sets it.
  const display::MarkerCache& markSine() {
    display::Display& d = *window.display();
    const QRectF& plot = d.plotBounds();
    const double x = plot.x() + (kSine - lower) / (upper - lower) * plot.width();
    d.setMarkerType(display::Display::kPeakMarker, d.mapToGlobal(QPointF(x, d.height() / 2.0)));
    d.updateMarkerInfo();
    return *d.marker();
  }
  // Exports a width x height image in the format, named from prefix.
  std::string exportImage(const std::string& prefix, const char* format = "PNG", int width = 640, int height = 400) {
    app.printName->setStringValue(prefix);
    app.printFormat->selectItemWithTitle(format);
    app.printWidthField->setStringValue(std::to_string(width));
    app.printHeightField->setStringValue(std::to_string(height));
    window.exportImageAction()->trigger();
    return app.exportImagePath();
  }
  std::string file(const char* name) const {
    return QDir(folder.path()).filePath(QString::fromUtf8(name)).toStdString();
  }
  QStringList folderContents() const {
    return QDir(folder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
  }

  float lower, upper;
  long long n = 0;
  std::string logged;
  RecordingPanels panels;
  QTemporaryDir folder;
  QApplication& qtApplication = application();  // before any widget
  ui::qt::QtMainThread mainThread;
  AppDelegate app;
  MainWindow window{app};
};

bool isCurve(const QColor& c) { return c.blue() - c.red() > 50; }  // the print colours' blue
bool isMarker(const QColor& c) { return c.red() - c.blue() > 100 && c.red() - c.green() > 100; }
// Graticule and frame: grey, lighter than the captions' black.
bool isGrey(const QColor& c) {
  return std::abs(c.red() - c.green()) < 10 && std::abs(c.green() - c.blue()) < 10 && c.red() > 90 && c.red() < 235;
}
int count(const QImage& image, const QRect& area, const std::function<bool(const QColor&)>& is) {
  int n = 0;
  const QRect inside = area & image.rect();
  for (int y = inside.top(); y <= inside.bottom(); ++y)
    for (int x = inside.left(); x <= inside.right(); ++x) n += is(image.pixelColor(x, y)) ? 1 : 0;
  return n;
}
// The topmost curve pixel in area (its column and row), or (-1, -1).
QPoint curveTop(const QImage& image, const QRect& area,
                const std::function<bool(const QColor&)>& is = isCurve) {
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      if (is(image.pixelColor(x, y))) return {x, y};
  return {-1, -1};
}
// The column of frequency on a page of width points (45 points left, 8 right).
double pageColumn(double frequency, double width, const Rig& rig) {
  return 45 + (frequency - rig.lower) / (rig.upper - rig.lower) * (width - 53);
}

// Sets HOME for the test's time.
struct HomeFolder {
  explicit HomeFolder(const QString& path) : saved(std::getenv("HOME") ? std::getenv("HOME") : "") {
    ::setenv("HOME", path.toUtf8().constData(), 1);
  }
  ~HomeFolder() { ::setenv("HOME", saved.c_str(), 1); }
  std::string saved;
};

// Runs in the current folder given for the test's time.
struct CurrentFolder {
  explicit CurrentFolder(const QString& path) : saved(QDir::currentPath()) { QDir::setCurrent(path); }
  ~CurrentFolder() { QDir::setCurrent(saved); }
  QString saved;
};

}  // namespace

TEST(ExportImage, TheFileIsNamedByThePrefixTheTracesDateAndTheFormat) {
  Rig rig;
  ASSERT_EQ(rig.window.exportImageAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_E));
  const QString home = QDir(rig.folder.path()).filePath(QStringLiteral("home"));
  ASSERT_TRUE(QDir().mkpath(home + QStringLiteral("/Desktop")));
  HomeFolder homeFolder(home);
  const std::string desktop = home.toStdString() + "/Desktop/";

  rig.app.sharedData.secondsDateString = "2026-01-31 235959";
  EXPECT_EQ(rig.exportImage("~/Desktop/plot"), desktop + "plot 2026-01-31 235959.png");
  EXPECT_EQ(rig.exportImage("~/Desktop/plot", "JPEG"), desktop + "plot 2026-01-31 235959.jpg");
  EXPECT_EQ(rig.exportImage("~/Desktop/plot", "TIFF"), desktop + "plot 2026-01-31 235959.tif");
  // Before any trace the date is one space.
  rig.app.sharedData.secondsDateString = " ";
  EXPECT_EQ(rig.exportImage("~/Desktop/plot"), desktop + "plot  .png");
  for (const char* name : {"plot 2026-01-31 235959.png", "plot 2026-01-31 235959.jpg", "plot 2026-01-31 235959.tif",
                           "plot  .png"})
    EXPECT_TRUE(QFile::exists(QString::fromStdString(desktop + name))) << name;

  // An empty prefix: a name that begins with a space, in the current folder.
  CurrentFolder current(rig.folder.path());
  rig.app.sharedData.secondsDateString = "2026-01-31 235959";
  EXPECT_EQ(rig.exportImage(""), " 2026-01-31 235959.png");
  EXPECT_TRUE(QFile::exists(QStringLiteral(" 2026-01-31 235959.png")));
  EXPECT_TRUE(rig.panels.alerts.empty());
}

TEST(ExportImage, EachFormatHoldsThePlotAndTheMarkerAtTheSizeAsked) {
  Rig rig;
  ASSERT_EQ(rig.app.sharedData.hasData, 1);
  const display::MarkerCache& marker = rig.markSine();
  ASSERT_EQ(marker.valid, 1);
  const QRect plot(47, 32, 640 - 47 - 10, 400 - 32 - 52);  // inside the frame of a 640 x 400 page
  for (const auto& [title, format] : {std::pair{"PNG", "png"}, {"JPEG", "jpeg"}, {"TIFF", "tiff"}}) {
    const std::string path = rig.exportImage(rig.file("plot"), title);
    QImageReader reader(QString::fromStdString(path));
    EXPECT_EQ(reader.format().toStdString(), format);
    const QImage image = reader.read();
    ASSERT_EQ(image.size(), QSize(640, 400)) << title << " " << reader.errorString().toStdString();
    // The frame's left edge and the top graticule line, in the print colours.
    EXPECT_GT(count(image, QRect(44, 40, 2, 300), isGrey), 250) << title;
    EXPECT_GT(count(image, QRect(60, 29, 500, 2), isGrey), 200) << title;
    // The curve peaks at the sine's column, and the marker sits on it.
    const QPoint top = curveTop(image, plot);
    EXPECT_NEAR(top.x(), pageColumn(kSine, 640, rig), 3) << title;
    EXPECT_GT(count(image, QRect(top.x() - 5, top.y() - 5, 11, 11), isMarker), 15) << title;
  }
  EXPECT_TRUE(rig.panels.alerts.empty());
}

double gClock = 0;
double rowClock() { return gClock += 1.01; }  // a row per trace at a 10 s history of up to 990 rows

// Shows the spectrogram pane with a 10 s history and feeds it 20 rows of
// the tone.
void showPaneWithRows(Rig& rig) {
  display::SpectrogramPane& pane = *rig.window.spectrogramPane();
  rig.window.spectrogramActions().shown->trigger();
  rig.window.spectrogramActions().histories[0]->trigger();
  QApplication::processEvents();
  pane.setClock(&rowClock);
  while (pane.spectrogram().filledRows() < 20) rig.feed(8);
}

// With the pane shown the image has the spectrogram's page below the plot:
// taller by it, with the tone's ridge at the tone's column of that page.
TEST(ExportImage, TheSpectrogramPaneComesBelowThePlotWhenShown) {
  Rig rig;
  const QImage plotOnly(QString::fromStdString(rig.exportImage(rig.file("plot"))));
  ASSERT_EQ(plotOnly.size(), QSize(640, 400));
  showPaneWithRows(rig);
  const QImage both(QString::fromStdString(rig.exportImage(rig.file("both"))));
  const int below = rig.window.printView()->spectrogramHeight();
  ASSERT_EQ(both.size(), QSize(640, 400 + below));
  EXPECT_EQ(both.copy(0, 0, 640, 400), plotOnly.convertToFormat(both.format())) << "the plot as it was";
  // The rows' top part, where the newest rows lie: the loudest column is
  // the tone's, the rest the map's bottom colour (a floor far below -80 dB).
  const int y = 400 + static_cast<int>(display::kSpectrogramPageMargins.top) + 2;
  const int left = static_cast<int>(display::kSpectrogramPageMargins.left) + 2;
  const int right = 640 - static_cast<int>(display::kSpectrogramPageMargins.right) - 2;
  int loudest = left, floor = 0;
  for (int x = left; x < right; ++x) {
    if (qGray(both.pixel(x, y)) > qGray(both.pixel(loudest, y))) loudest = x;
    floor += (both.pixel(x, y) | 0xff000000u) == display::colorTable(display::ColorMap::viridis)[0] ? 1 : 0;
  }
  const double width = 640 - display::kSpectrogramPageMargins.left - display::kSpectrogramPageMargins.right;
  EXPECT_NEAR(loudest, display::kSpectrogramPageMargins.left + (kSine - rig.lower) / (rig.upper - rig.lower) * width, 3);
  EXPECT_GT(floor, (right - left) * 9 / 10) << "the history's colours, not a blank page";
  EXPECT_TRUE(rig.panels.alerts.empty());
}

TEST(ExportImage, TheDisplayColoursComeWithoutBorder) {
  Rig rig;
  rig.app.printColorCheckbox->setState(1);
  rig.app.printBorderCheckbox->setState(1);
  const QImage image(QString::fromStdString(rig.exportImage(rig.file("screen"))));
  ASSERT_EQ(image.size(), QSize(640, 400));
  const RGBAColor& background = rig.app.colorPalette.background;
  const QColor screen = QColor::fromRgbF(background.red, background.green, background.blue);
  ASSERT_NE(screen, QColor(Qt::white));
  for (const QPoint corner : {QPoint(0, 0), QPoint(639, 0), QPoint(0, 399), QPoint(639, 399), QPoint(320, 399)})
    EXPECT_EQ(image.pixelColor(corner), screen) << corner.x() << "," << corner.y();
  // The curve in the screen's colour (yellow).
  const auto yellow = [](const QColor& c) { return c.red() - c.blue() > 100 && c.green() - c.blue() > 80; };
  EXPECT_NEAR(curveTop(image, QRect(47, 32, 583, 316), yellow).x(), pageColumn(kSine, 640, rig), 3);
}

TEST(ExportImage, AFailedExportIsSaidAndLeavesNoFile) {
  Rig rig;
  rig.app.sharedData.secondsDateString = "2026-01-31 235959";
  // A prefix under a regular file, and a folder where the file would go:
  // nothing can be written there, not even by root.
  QFile regular(QString::fromStdString(rig.file("regular")));
  ASSERT_TRUE(regular.open(QIODevice::WriteOnly));
  regular.close();
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(rig.file("plot 2026-01-31 235959.png"))));
  const QStringList before = rig.folderContents();
  rig.exportImage(rig.file("regular/plot"));
  rig.exportImage(rig.file("plot"));
  ASSERT_EQ(rig.panels.alerts.size(), 2u);
  EXPECT_NE(rig.panels.alerts[0].find("regular/plot 2026-01-31 235959.png"), std::string::npos) << rig.panels.alerts[0];
  EXPECT_NE(rig.logged.find("The plot could not be exported to " + rig.file("plot 2026-01-31 235959.png")),
            std::string::npos)
      << rig.logged;
  EXPECT_EQ(rig.folderContents(), before);
  EXPECT_TRUE(QDir(QString::fromStdString(rig.file("plot 2026-01-31 235959.png"))).isEmpty());
}

TEST(Print, APageLargerThanThePaperIsScaledToFitIt) {
  EXPECT_NEAR(PrintView::fitScale(1800, 1000, 612, 792), 0.34, 1e-12);
  EXPECT_NEAR(PrintView::fitScale(1000, 1800, 612, 792), 0.44, 1e-12);
  EXPECT_EQ(PrintView::fitScale(612, 792, 612, 792), 1.0);
  // The width's ratio is no number: the height's counts.
  EXPECT_NEAR(PrintView::fitScale(INFINITY, 1000, INFINITY, 792), 0.792, 1e-12);
}

namespace {

// Prints through a stand-in for the dialog (a Letter page without margins,
// into a PDF file) and renders the PDF at one pixel per point: 612 x 792.
QImage printedLetterPage(Rig& rig, const char* name) {
  const QString pdftoppm = QStandardPaths::findExecutable(QStringLiteral("pdftoppm"));
  EXPECT_FALSE(pdftoppm.isEmpty()) << "pdftoppm is not installed (scripts/setup installs poppler-utils)";
  const QString pdf = QString::fromStdString(rig.file((std::string(name) + ".pdf").c_str()));
  rig.window.printView()->setPrintDialog([&](QPrinter& printer, QWidget* parent) {
    EXPECT_EQ(parent, &rig.window);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(pdf);
    printer.setPageSize(QPageSize(QPageSize::Letter));
    printer.setPageOrientation(QPageLayout::Portrait);
    printer.setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Point);
    return true;
  });
  rig.window.printAction()->trigger();
  EXPECT_EQ(rig.logged.find("Print operation failed"), std::string::npos) << rig.logged;
  const QString png = QString::fromStdString(rig.file((std::string(name) + "-page").c_str()));
  if (pdftoppm.isEmpty() ||
      QProcess::execute(pdftoppm, {QStringLiteral("-r"), QStringLiteral("72"), QStringLiteral("-png"),
                                   QStringLiteral("-singlefile"), pdf, png}) != 0)
    return QImage();
  return QImage(png + QStringLiteral(".png"));
}

}  // namespace

TEST(Print, ThePageIsFittedToThePaperAndCentredInAPdf) {
  Rig rig;
  ASSERT_EQ(rig.window.printAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_P));
  rig.app.printWidthField->setStringValue("1000");
  rig.app.printHeightField->setStringValue("600");
  const QImage image = printedLetterPage(rig, "plot");
  ASSERT_EQ(image.size(), QSize(612, 792));
  // Scaled by 612/1000 and centred: the page's border spans rows 212.4 to
  // 579.6, and the plot frame's top line lies 30 points below its top.
  const double scale = 0.612;
  const auto greyRow = [&](int y, int least) { return count(image, QRect(0, y, 612, 1), isGrey) >= least; };
  int pageTop = 0;
  while (pageTop < 792 && !greyRow(pageTop, 500)) ++pageTop;
  int pageBottom = 791;
  while (pageBottom > 0 && !greyRow(pageBottom, 500)) --pageBottom;
  EXPECT_NEAR(pageTop, 212.4, 1.5);
  EXPECT_NEAR(pageBottom, 579.6, 1.5);
  int frameTop = pageTop + 3;
  while (frameTop < 792 && !greyRow(frameTop, 100)) ++frameTop;
  EXPECT_NEAR(frameTop, 212.4 + 30 * scale, 2);
  EXPECT_GT(count(image, QRect(26, 240, 2, 150), isGrey), 100) << "the frame's left edge, at 45 * 0.612";
  const QPoint top = curveTop(image, QRect(29, 233, 576, 300));
  EXPECT_NEAR(top.x(), pageColumn(kSine, 1000, rig) * scale, 2);
}

// With the pane shown the printed page is the plot with the pane's page
// below it, fitted to the paper as one: 1000 x (600 + 360) points at
// 612/1000, centred, so the plot's border begins 102.2 points down (not
// 212.4), the pane's rows reach down to 50 points above the print's end,
// and the tone's ridge lies in the pane's newest rows at the tone's column.
TEST(Print, TheSpectrogramPaneIsPrintedBelowThePlot) {
  Rig rig;
  rig.app.printWidthField->setStringValue("1000");
  rig.app.printHeightField->setStringValue("600");
  showPaneWithRows(rig);
  const QImage image = printedLetterPage(rig, "both");
  ASSERT_EQ(image.size(), QSize(612, 792));
  ASSERT_EQ(rig.window.printView()->spectrogramHeight(), 360);
  const double scale = 0.612, top = (792 - 960 * scale) / 2;
  const auto greyRow = [&](int y, int least) { return count(image, QRect(0, y, 612, 1), isGrey) >= least; };
  int pageTop = 0;
  while (pageTop < 792 && !greyRow(pageTop, 500)) ++pageTop;
  EXPECT_NEAR(pageTop, top, 1.5);
  // The pane's rows reach down to its time axis, 50 points above the
  // print's end: coloured there across the pane, white below the axis.
  const auto coloured = [&](double pageY) {
    return count(image, QRect(40, static_cast<int>(top + pageY * scale), 500, 1),
                 [](const QColor& c) { return c != QColor(Qt::white); });
  };
  EXPECT_GT(coloured(960 - 50 - 3), 450) << "the history's oldest rows";
  EXPECT_EQ(coloured(960 - 8), 0) << "below the pane's time axis";
  // The newest rows, just under the pane page's top margin.
  const int y = static_cast<int>(top + (600 + display::kSpectrogramPageMargins.top + 3) * scale);
  const double left = display::kSpectrogramPageMargins.left * scale;
  const double right = (1000 - display::kSpectrogramPageMargins.right) * scale;
  int loudest = static_cast<int>(left) + 2;
  for (int x = loudest; x < static_cast<int>(right) - 2; ++x)
    if (qGray(image.pixel(x, y)) > qGray(image.pixel(loudest, y))) loudest = x;
  EXPECT_NEAR(loudest, left + (kSine - rig.lower) / (rig.upper - rig.lower) * (right - left), 2);
}

TEST(Print, ACancelledOrFailedPrintIsLogged) {
  Rig rig;
  const std::string line = "Print operation failed or was cancelled\n";
  rig.window.printView()->setPrintDialog([](QPrinter&, QWidget*) { return false; });
  rig.app.print();
  EXPECT_EQ(rig.logged, line);
  // A printer that cannot be opened: a PDF in a folder that is not there.
  const QString pdf = QString::fromStdString(rig.file("missing/plot.pdf"));
  rig.window.printView()->setPrintDialog([&](QPrinter& printer, QWidget*) {
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(pdf);
    return true;
  });
  rig.logged.clear();
  rig.app.print();
  EXPECT_EQ(rig.logged.substr(rig.logged.size() - std::min(rig.logged.size(), line.size())), line);
  EXPECT_FALSE(QFile::exists(pdf));
}

namespace {

// A CSV file's comment lines, its header and its rows split at the commas.
struct Csv {
  std::string comments;
  std::string header;
  std::vector<QStringList> rows;
};

Csv readCsv(const std::string& path) {
  QFile file(QString::fromStdString(path));
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path;
  Csv csv;
  for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts)) {
    if (line.startsWith(u'#'))
      csv.comments += line.toStdString() + "\n";
    else if (csv.header.empty())
      csv.header = line.toStdString();
    else
      csv.rows.push_back(line.split(u','));  // an empty level stays a cell
  }
  return csv;
}

}  // namespace

TEST(ExportData, TheRowsCoverTheDisplayedSpanAtTheLevelsTheMarkerReads) {
  Rig rig(500, 2000, "6");
  ASSERT_EQ(rig.window.exportDataAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E));
  const display::MarkerCache& marker = rig.markSine();
  ASSERT_EQ(marker.valid, 1);
  const TraceData& trace = *rig.app.trace->traceData();
  const double binsPerHertz = trace.binsPerHertz;

  rig.panels.answer = rig.file("trace.csv");
  rig.window.exportDataAction()->trigger();
  const Csv csv = readCsv(*rig.panels.answer);
  for (const std::string& expected : std::vector<std::string>{
           "resolution bandwidth (Hz): 10.0000", "window: " + rig.app.windowPopup->titleOfSelectedItem(),
           "detector: " + rig.app.detectorPopup->titleOfSelectedItem(), "averaged traces: ",
           "sampling rate (Hz): 48000.0", "span (Hz): 500.0 to 2000.0", "reference level (dB): 6.00"})
    EXPECT_NE(csv.comments.find(expected), std::string::npos) << expected << " in\n" << csv.comments;
  EXPECT_EQ(csv.header, "frequency_hz,level_db");

  // One row per bin from the first at or above 500 Hz to the last at or
  // below 2000 Hz.
  ASSERT_GT(csv.rows.size(), 2u);
  const double first = csv.rows.front()[0].toDouble();
  const double last = csv.rows.back()[0].toDouble();
  EXPECT_TRUE(first >= 500 && first - 1 / binsPerHertz < 500) << first;
  EXPECT_TRUE(last <= 2000 && last + 1 / binsPerHertz > 2000) << last;
  EXPECT_NEAR(static_cast<double>(csv.rows.size()), (last - first) * binsPerHertz + 1, 1e-3);
  // The marker's reading is the row's level at its frequency.
  const std::size_t row = static_cast<std::size_t>(std::lround((marker.frequency - first) * binsPerHertz));
  ASSERT_LT(row, csv.rows.size());
  EXPECT_NEAR(csv.rows[row][0].toDouble(), marker.frequency, 0.01);
  EXPECT_NEAR(csv.rows[row][1].toDouble(), marker.dB, 0.01);
  EXPECT_NEAR(marker.dB, -20 + 6, 1.5);

  // With the reference shown, a third column: here the live trace itself.
  rig.window.referenceAction(0)->trigger();
  ASSERT_TRUE(rig.app.showsReference());
  rig.panels.answer = rig.file("with-reference.csv");
  rig.window.exportDataAction()->trigger();
  const Csv withReference = readCsv(*rig.panels.answer);
  EXPECT_EQ(withReference.header, "frequency_hz,level_db,reference_db");
  ASSERT_EQ(withReference.rows.size(), csv.rows.size());
  ASSERT_EQ(withReference.rows[row].size(), 3);
  EXPECT_EQ(withReference.rows[row][2], withReference.rows[row][1]);
  EXPECT_TRUE(rig.panels.alerts.empty());
}

// With a weighting and smoothing chosen, the rows hold the levels the plot
// shows, the header says what they went through, and the marker reads the
// row at its frequency. A at 1 kHz is 0 dB and at 500 Hz -3.2 dB (IEC
// 61672-1 Table 3); smoothing keeps a flat stretch as it is.
TEST(ExportData, AWeightedSmoothedTraceIsExportedAsShown) {
  Rig rig(500, 2000);
  rig.panels.answer = rig.file("plain.csv");
  rig.window.exportDataAction()->trigger();
  const Csv plain = readCsv(*rig.panels.answer);

  rig.app.weightingPopup->selectItemWithTag(1);
  rig.app.treatmentChanged();
  rig.panels.answer = rig.file("weighted.csv");
  rig.window.exportDataAction()->trigger();
  const Csv weighted = readCsv(*rig.panels.answer);
  EXPECT_NE(weighted.comments.find("weighting: A (levels in dB(A))"), std::string::npos) << weighted.comments;
  EXPECT_EQ(weighted.comments.find("smoothing"), std::string::npos);
  ASSERT_EQ(weighted.rows.size(), plain.rows.size());
  for (std::size_t i = 0; i < plain.rows.size(); i += 37) {
    const double f = plain.rows[i][0].toDouble();
    if (plain.rows[i][1].isEmpty()) continue;
    EXPECT_NEAR(weighted.rows[i][1].toDouble() - plain.rows[i][1].toDouble(), dsp::weightingDb(dsp::Weighting::A, f),
                0.01)
        << f;
  }
  const display::MarkerCache& marker = rig.markSine();
  const std::size_t row =
      static_cast<std::size_t>(std::lround((marker.frequency - plain.rows.front()[0].toDouble()) *
                                           rig.app.trace->traceData()->binsPerHertz));
  ASSERT_LT(row, weighted.rows.size());
  EXPECT_NEAR(weighted.rows[row][1].toDouble(), marker.dB, 0.01);

  rig.app.smoothingPopup->selectItemWithTag(3);
  rig.app.treatmentChanged();
  rig.panels.answer = rig.file("smoothed.csv");
  rig.window.exportDataAction()->trigger();
  const Csv smoothed = readCsv(*rig.panels.answer);
  EXPECT_NE(smoothed.comments.find("smoothing: 1/3 octave"), std::string::npos) << smoothed.comments;
  // The sine's peak spreads over a third of an octave: lower, and its
  // neighbours 50 Hz away higher.
  EXPECT_LT(smoothed.rows[row][1].toDouble(), weighted.rows[row][1].toDouble() - 3);
  EXPECT_TRUE(rig.panels.alerts.empty());
}
