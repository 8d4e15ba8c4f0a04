#include "app/cli/measure/CsvOutput.h"
#include "app/cli/measure/SweepCommand.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <cstdlib>
#include <optional>

#include "app/headless/HeadlessApplication.h"
#include "app/controller/InterfaceMenus.h"
#include "app/controller/LevelOptions.h"
#include "app/controller/OptionValues.h"
#include "app/formats/JsonText.h"
#include "app/formats/ReferenceFile.h"
#include "app/cli/measure/DistortionCommand.h"
#include "app/cli/measure/IntermodulationCommand.h"
#include "app/cli/measure/LogSweepCommand.h"
#include "app/cli/measure/SweepMeasurement.h"
#include "dsp/FFTPlanner.h"
#include "dsp/OctaveSmoothing.h"
#include "endpoints/TrackingGenerator.h"
#include "platform/AtomicFile.h"
#include "platform/PropertyList.h"
#include "platform/audio/ProviderChoice.h"
#include "ui/MainThread.h"

namespace {

using namespace option_values;

const char kUsage[] =
    "Usage: specan measure [OPTION]...\n"
    "Measures a frequency response as the analyzer's tracking mode does, without\n"
    "a window: the generator's sine plays on the output and follows the analysed\n"
    "bin across the span, one bin per spectrum, and the input measures what comes\n"
    "back (with --points-per-octave, points a fraction of an octave apart instead,\n"
    "the response drawn through them). At the end one line goes to standard\n"
    "output:\n"
    "  sweep LOW-HIGH Hz, BINS bins, SECONDS s, max LEVEL at FREQ Hz, min LEVEL at FREQ Hz\n"
    "(levels in dB unless --units or --output-full-scale say otherwise)\n"
    "with \", N bins measured again after drop-outs\" when gaps in the input or the\n"
    "output met some bins (the drop-outs are counted on standard error).\n"
    "Progress goes to standard error when that is a terminal.\n"
    "\n"
    "  --audio=jack|pulse|simulated  the audio provider (default: JACK when a\n"
    "                         JACK server runs, else PulseAudio when a server\n"
    "                         answers, else the simulated devices; or SPECAN_AUDIO)\n"
    "  --input=NAME           the input device, by the name 'specan devices' shows\n"
    "                         (default: the default input)\n"
    "  --output=NAME          the output device (default: the default output)\n"
    "  --input-channel=N      the input's channel, from 1 (default 1)\n"
    "  --output-channel=N     the output's channel, from 1 (default 1)\n"
    "  --span=LOW:HIGH        the span in Hz (default 0 to 24000, within the band)\n"
    "  --rbw=HZ               resolution bandwidth: 1, 3.16, 10 (default), 31.6,\n"
    "                         100, 316 or 1000\n"
    "  --window=NAME          %s (default gaussian)\n"
    "  --axis=NAME            the image's frequency axis: linear (default) or log\n"
    "  --points-per-octave=N  with --axis=log: N points per octave (1 to 1000, never\n"
    "                         more than one per bin) instead of every bin: fewer\n"
    "                         spectra; through a sound server under load a point\n"
    "                         may read a few tenths of a dB low\n"
    "  --volume=V             the output's volume, 0 to 1 (default: as it is)\n"
    "  --csv=FILE             the response as CSV, as File > Export Data writes\n"
    "                         it; - for standard output (then no summary line)\n"
    "  --png=FILE             the plot as a PNG image, as File > Export Image\n"
    "  --size=WxH             the image's size in points, 100 to 1800 each\n"
    "  --save-reference=FILE  the response as a reference trace file\n"
    "  --reference=FILE       a reference trace file (saved from the window or with\n"
    "                         --save-reference): prints the largest deviation from\n"
    "                         it inside the span and where it is\n"
    "  --tolerance=DB         with --reference: the largest deviation allowed\n"
    "  --smoothing=1/N        fractional-octave smoothing of the CSV's and the\n"
    "                         image's response, N = 1, 2, 3, 6, 12, 24 or 48 (or\n"
    "                         off); the summary reads the unsmoothed response\n"
    "%s"
    "  --level=LEVEL          the generator's level: -6dBFS (default -12.04, a\n"
    "                         quarter of full scale), or with --output-full-scale\n"
    "                         +4dBu, -10dBV or 0.5V; at most full scale\n"
    "  --output-full-scale=LEVEL  the RMS level of a full-scale sine at the\n"
    "                         output (+4dBu, -10dBV, 1.228V); with --full-scale the\n"
    "                         response is the gain from the output to the input:\n"
    "                         0 dB where the input gets what the generator plays\n"
    "  --json                 the summary as one JSON object: lower_hz, upper_hz,\n"
    "                         bins, seconds, max and min {level_db, frequency_hz,\n"
    "                         and with --units or --output-full-scale level in the\n"
    "                         unit}, units, remeasured_bins, axis, spectra, and with\n"
    "                         --reference reference {file, worst_db, frequency_hz,\n"
    "                         within}\n"
    "\n"
    "  --distortion           instead of a sweep, the distortion of what comes\n"
    "                         back of a fixed tone at --level, read with the\n"
    "                         7-term Blackman-Harris window at the RBW asked,\n"
    "                         but at most 3.16 Hz or a fiftieth of the lowest\n"
    "                         tone where that is coarser (10 Hz at 1 kHz), once\n"
    "                         it settled (two readings in a row within 0.1 dB);\n"
    "                         one line per tone:\n"
    "    distortion FREQ Hz at LEVEL dBFS, THD DB dB, THD+N DB dB\n"
    "  --frequency=HZ         the tone (default 1000)\n"
    "  --sweep-frequency=LOW:HIGH  tones from LOW to HIGH Hz in equal ratios,\n"
    "                         --points-per-octave (default 3) or more\n"
    "  --sweep-level=FROM:TO:STEP  tones at FROM, FROM+STEP, ... up to TO dBFS\n"
    "  --band=LOW:HIGH        the measurement band in Hz (default 20:20000)\n"
    "  --limit-thd-n=DB       exit status 3 when a tone's THD+N is above DB\n"
    "                         With --distortion, --csv has a row per tone:\n"
    "                         frequency_hz, level_dbfs, thd_db, thd_percent,\n"
    "                         thd_n_db, thd_n_percent, sinad_db, snr_db,\n"
    "                         noise_db, h2_db ... h10_db; --json gives\n"
    "                         frequency_hz, level_dbfs, spectra, settled and\n"
    "                         distortion {...} (with a sweep, points [...] of\n"
    "                         them), rbw_hz (the readout's), and limit\n"
    "                         {thd_n_db, exceeded, within}\n"
    "\n"
    "  --imd=STANDARD         instead of a sweep, the intermodulation of what\n"
    "                         comes back of two tones played together, read as\n"
    "                         'specan analyze --imd' reads a file, with the\n"
    "                         window and settling of --distortion, at an RBW\n"
    "                         of at most 3.16 Hz:\n"
    "    intermodulation F1 Hz + F2 Hz at LEVEL dBFS, IMD (SMPTE) DB dB\n"
    "                         smpte: 60 Hz and 7 kHz, the low tone four times\n"
    "                         the high one's amplitude; ccif: 19 and 20 kHz of\n"
    "                         equal amplitude. --level is the composite's: the\n"
    "                         two amplitudes sum to a sine's at the level (as\n"
    "                         SMPTE RP120 sets it), so 0 dBFS never clips\n"
    "  --tones=F1:F2          other tones in Hz, F1 below F2, in the standard's\n"
    "                         ratio\n"
    "  --limit-imd=DB         exit status 3 when the IMD is above DB\n"
    "                         With --imd, --csv has one row: standard, f1_hz,\n"
    "                         f2_hz, imd_db, imd_percent, order2_db ... (the\n"
    "                         standard's orders); --json gives level_dbfs,\n"
    "                         spectra, settled, intermodulation {...} as\n"
    "                         'specan analyze --imd' and limit {imd_db, within}\n"
    "  --method=logsweep      instead of the tracking sweep (--method=tracking,\n"
    "                         the default), exponential sine sweeps at --level\n"
    "                         from two octaves below the span (default 20:20000)\n"
    "                         to twice its top, deconvolved into the impulse\n"
    "                         response: magnitude (the gain, 0 dB for a wire),\n"
    "                         phase, group delay and the harmonics H2 ... H5 of\n"
    "                         every frequency; a sweep a drop-out met is played\n"
    "                         again, never averaged in. One line:\n"
    "    logsweep LOW-HIGH Hz, N samples x SWEEPS, SECONDS s (analysis S s), ORIGIN,\n"
    "    delay D samples (MS ms) ..., max LEVEL dB at FREQ Hz, min LEVEL dB at FREQ Hz\n"
    "                         ORIGIN: \"phase relative to the impulse response's\n"
    "                         peak\", or with --reference-channel \"absolute phase\n"
    "                         from the reference channel\" (the delay then from\n"
    "                         the reference, else from the recording's start)\n"
    "  --length=N             the sweep's samples, 65536 to 1048576 (default\n"
    "                         262144, 5.5 s at 48 kHz)\n"
    "  --sweeps=N             sweeps averaged, 1 to 64 (default 1)\n"
    "  --reference-channel=N  channel N of the input device carries the output\n"
    "                         looped back past the device under test\n"
    "  --ir=FILE.wav          the linear impulse response as a 32-bit float WAV\n"
    "                         from the recording's start\n"
    "                         With --method=logsweep, --csv has the columns\n"
    "                         frequency_hz, level_db, phase_deg, group_delay_ms,\n"
    "                         h2_db ... h5_db (dB re the fundamental; empty out of\n"
    "                         reach) on a log grid of --points-per-octave (default\n"
    "                         48); --reference compares the gain with a trace's\n"
    "                         levels less the generator's level, and\n"
    "                         --save-reference stores the response as the trace\n"
    "                         the tracking sweep would read at --level (empty\n"
    "                         outside the span), for either method's --reference;\n"
    "                         --json gives\n"
    "                         method, length, sweeps, repeated_sweeps, seconds,\n"
    "                         analysis_seconds, delay_samples, delay_ms, origin\n"
    "                         (peak or reference), max, min, units, smoothing,\n"
    "                         reference. --png draws the gain (0 dB for a wire)\n"
    "                         on the log axis (--axis=linear for the linear one).\n"
    "                         --smoothing smooths the CSV and the image over\n"
    "                         the response's own spectrum; with --units the\n"
    "                         level column is level_UNIT, the input's level\n"
    "                         while the generator played --level, and with\n"
    "                         --output-full-scale the gain in volts; a\n"
    "                         --calibration file is taken out of the levels and\n"
    "                         of each harmonic at its own frequency\n"
    "  --right-scale=SCALE    what --png draws on its right-hand scale: phase\n"
    "                         (wrapped to +-180 degrees, the default), unwrapped\n"
    "                         (the phase unwrapped) or delay (the group delay, ms)\n"
    "  --help                 show this help and exit\n"
    "\n"
    "Output files are written whole or not at all, and only after a sweep that\n"
    "measured something; one that cannot be written stops the command before the\n"
    "sweep. No settings are read or written, and no display is needed.\n"
    "\n"
    "Exit status: 0 measured (and within the tolerance), 3 outside the\n"
    "tolerance or above --limit-thd-n or --limit-imd, 1 when the measurement\n"
    "failed (an unknown device, a device that vanished, no signal returned,\n"
    "bins that drop-outs kept from being measured cleanly, an output not\n"
    "written), 2 for a mistake in the options.\n";

struct Options {
  measure::Settings settings;
  option_values::LevelOptions levels;
  std::optional<double> outputFullScaleVolts;
  std::string level;  // the generator's, as given: "-6dBFS", "+4dBu"
  std::string audio, csv, png, saveReference, reference;
  std::optional<double> tolerance;
  bool json = false;
  bool window = false;  // --window given
  bool axisGiven = false;
  measure::DistortionOptions distortion;
  measure::IntermodulationOptions intermodulation;
  measure::LogSweepOptions logSweep;
};

struct Parsed {
  std::optional<Options> options;
  int status = 0;
  std::string message;
};

Parsed refuse(const std::string& argument, const std::string& cause) {
  return Parsed{std::nullopt, 2, "specan: " + argument + ": " + cause};
}

// The generator's amplitude o.level asks for into o.settings.amplitude: a
// level in dBFS, or with the output's full scale in dBu, dBV or volts; the
// cause when it is none, or above full scale.
std::optional<std::string> generatorAmplitude(Options& o) {
  std::string number = o.level;
  if (number.size() >= 4 && dsp::levelUnitFromKeyword(number.substr(number.size() - 4)) == dsp::LevelUnit::dBFS)
    number.resize(number.size() - 4);
  double amplitude = 0;
  if (const std::optional<double> dBFS = option_values::number(number)) {
    amplitude = std::pow(10.0, *dBFS / 20);
  } else {
    if (!o.outputFullScaleVolts) return "a level in dBFS, or in dBu, dBV or V with --output-full-scale";
    std::string cause;
    const std::optional<double> volts = dsp::parseFullScaleVolts(o.level, &cause);
    if (!volts) return cause;
    amplitude = *volts / *o.outputFullScaleVolts;
  }
  if (!std::isfinite(amplitude) || !(amplitude > 0) || amplitude > 1 + 1e-9)
    return std::string("the generator plays at most at full scale (0 dBFS)");
  o.settings.amplitude = amplitude;
  return std::nullopt;
}

Parsed parse(const std::vector<std::string>& arguments) {
  Options o;
  measure::Settings& s = o.settings;
  for (const std::string& a : arguments) {
    if (a == "--help" || a == "-h") {
      std::string text(sizeof kUsage + std::strlen(option_values::kLevelOptionsUsage) + 256, '\0');
      const int n = std::snprintf(text.data(), text.size(), kUsage, namesOf(interface_menus::windowItems()).c_str(),
                                  option_values::kLevelOptionsUsage);
      text.resize(std::min(text.size() - 1, static_cast<std::size_t>(std::max(n, 0))));
      return Parsed{std::nullopt, 0, text};
    }
    std::string cause;
    if (auto v = valueOf(a, "--audio")) {
      if (!platform::audio::isProviderName(*v)) return refuse(a, "the provider is jack, pulse or simulated");
      o.audio = *v;
    } else if (auto v = valueOf(a, "--input")) {
      if (v->empty()) return refuse(a, "--input needs a device name");
      s.input = *v;
    } else if (auto v = valueOf(a, "--output")) {
      if (v->empty()) return refuse(a, "--output needs a device name");
      s.output = *v;
    } else if (auto v = valueOf(a, "--input-channel"), w = valueOf(a, "--output-channel"); v || w) {
      const std::optional<int> channel = wholeNumber(v ? *v : *w);
      if (!channel || *channel < 1 || *channel > 64) return refuse(a, "the channel is a number from 1 to 64");
      (v ? s.inputChannel : s.outputChannel) = *channel;
    } else if (auto v = valueOf(a, "--span")) {
      const std::optional<Span> span = option_values::span(*v, &cause);
      if (!span) return refuse(a, cause);
      s.lowerSpan = span->lower;
      s.upperSpan = span->upper;
    } else if (auto v = valueOf(a, "--rbw")) {
      const std::optional<double> hz = number(*v);
      const std::optional<int> tag = hz ? bandwidthTag(*hz) : std::nullopt;
      if (!tag) return refuse(a, "the RBW is one of 1, 3.16, 10, 31.6, 100, 316 and 1000 Hz");
      s.bandwidthTag = *tag;
    } else if (auto v = valueOf(a, "--window")) {
      const std::optional<int> tag = tagNamed(interface_menus::windowItems(), *v);
      if (!tag) return refuse(a, "the window is " + namesOf(interface_menus::windowItems()));
      s.windowTag = *tag;
      o.window = true;
    } else if (auto v = valueOf(a, "--volume")) {
      const std::optional<double> volume = number(*v);
      if (!volume || *volume < 0 || *volume > 1) return refuse(a, "the volume is a number from 0 to 1");
      s.volume = volume;
    } else if (auto v = valueOf(a, "--csv")) {
      if (v->empty()) return refuse(a, "--csv needs a file name or -");
      o.csv = *v;
    } else if (auto v = valueOf(a, "--png")) {
      if (v->empty() || *v == "-") return refuse(a, "--png needs a file name");
      o.png = *v;
    } else if (auto v = valueOf(a, "--size")) {
      const std::optional<std::pair<int, int>> size = pageSize(*v);
      if (!size) return refuse(a, "the size is WxH in points, 100 to 1800 each (as 800x500)");
      s.width = size->first;
      s.height = size->second;
    } else if (auto v = valueOf(a, "--save-reference")) {
      if (v->empty() || *v == "-") return refuse(a, "--save-reference needs a file name");
      o.saveReference = *v;
    } else if (auto v = valueOf(a, "--reference")) {
      if (v->empty()) return refuse(a, "--reference needs a file name");
      o.reference = *v;
    } else if (auto v = valueOf(a, "--axis")) {
      if (*v == "log" || *v == "logarithmic") s.axis = display::AxisScale::logarithmic;
      else if (*v == "linear") s.axis = display::AxisScale::linear;
      else return refuse(a, "the axis is linear or log");
      o.axisGiven = true;
    } else if (auto v = valueOf(a, "--points-per-octave")) {
      const std::optional<double> n = number(*v);
      if (!n || !(*n >= 1 && *n <= 1000)) return refuse(a, "the points per octave are a number from 1 to 1000");
      s.pointsPerOctave = *n;
    } else if (auto v = valueOf(a, "--smoothing")) {
      const std::optional<int> n = octaveFraction(*v);
      if (!n || !dsp::isSmoothingFraction(*n))
        return refuse(a, "the smoothing is off, 1/1, 1/2, 1/3, 1/6, 1/12, 1/24 or 1/48 octave");
      s.smoothing = *n;
    } else if (a == "--json") {
      o.json = true;
    } else if (std::optional<std::string> refused = o.levels.take(a)) {
      if (!refused->empty()) return refuse(a, *refused);
    } else if (std::optional<std::string> refused = o.distortion.take(a)) {
      if (!refused->empty()) return refuse(a, *refused);
    } else if (std::optional<std::string> refused = o.intermodulation.take(a)) {
      if (!refused->empty()) return refuse(a, *refused);
    } else if (std::optional<std::string> refused = o.logSweep.take(a)) {
      if (!refused->empty()) return refuse(a, *refused);
    } else if (auto v = valueOf(a, "--level")) {
      if (v->empty()) return refuse(a, "--level needs a level (-6dBFS, or with --output-full-scale +4dBu)");
      o.level = *v;
    } else if (auto v = valueOf(a, "--output-full-scale")) {
      o.outputFullScaleVolts = dsp::parseFullScaleVolts(*v, &cause);
      if (!o.outputFullScaleVolts) return refuse(a, cause);
    } else if (auto v = valueOf(a, "--tolerance")) {
      const std::optional<double> db = number(*v);
      if (!db || *db < 0) return refuse(a, "the tolerance is a number of dB, 0 or more");
      o.tolerance = db;
    } else {
      return refuse(a, "unknown option (see 'specan measure --help')");
    }
  }
  if (std::optional<std::string> cause = o.levels.check())
    return refuse(std::string("--units=") + dsp::levelUnitKeyword(o.levels.unit), *cause);
  if (o.outputFullScaleVolts && !o.levels.calibration.fullScaleVolts)
    return refuse("--output-full-scale",
                  "the gain needs the input's full scale too: give --full-scale (as --full-scale=+4dBu)");
  if (o.outputFullScaleVolts && o.levels.unit != dsp::LevelUnit::dB)
    return refuse("--output-full-scale", "the response is then a gain in dB: leave out --units");
  if (!o.level.empty()) {
    if (std::optional<std::string> cause = generatorAmplitude(o)) return refuse("--level=" + o.level, *cause);
  }
  if (o.tolerance && o.reference.empty()) return refuse("--tolerance", "the tolerance needs --reference");
  if (s.width && o.png.empty()) return refuse("--size", "the size is that of the image: give --png too");
  if (o.distortion.on && o.intermodulation.on())
    return refuse("--imd", "one reading at a time: the distortion's or the intermodulation's");
  if (std::optional<std::pair<std::string, std::string>> refused = o.intermodulation.check())
    return refuse(refused->first, refused->second);
  // The intermodulation reading takes no option of the distortion's, and
  // no tone or sweep of its own but the standard's.
  if (o.intermodulation.on() && s.pointsPerOctave)
    return refuse("--points-per-octave", "not with --imd, which plays one pair of tones");
  if (std::optional<std::pair<std::string, std::string>> refused = o.distortion.check(s.pointsPerOctave))
    return refuse(refused->first, refused->second);
  if (o.distortion.on || o.intermodulation.on()) {
    // What shapes a sweep's response has no part in a distortion reading.
    const std::pair<bool, const char*> sweepOnly[] = {
        {s.lowerSpan || s.upperSpan, "--span"},  {!o.reference.empty(), "--reference"},
        {!o.saveReference.empty(), "--save-reference"}, {!o.png.empty(), "--png"},
        {s.width.has_value(), "--size"}, {s.axis != display::AxisScale::linear, "--axis"},
        {s.smoothing != 0, "--smoothing"}, {o.window, "--window"},
        {o.levels.unit != dsp::LevelUnit::dB || !o.levels.calibrationFile.empty(), "--units"}};
    for (const auto& [given, name] : sweepOnly)
      if (given)
        return refuse(name, o.distortion.on ? "not with --distortion, whose readings are relative to the fundamental"
                                            : "not with --imd, whose readings are relative to the tones");
  }
  if (std::optional<std::pair<std::string, std::string>> refused = o.logSweep.check())
    return refuse(refused->first, refused->second);
  if (o.logSweep.on) {
    // What the tracking trace alone has.
    if (o.distortion.on || o.intermodulation.on()) return refuse("--distortion", "not with --method=logsweep");
    if (o.window) return refuse("--window", "not with --method=logsweep, which reads no window's spectrum");
    // The axis is the image's alone, logarithmic unless asked otherwise.
    if (o.axisGiven && o.png.empty()) return refuse("--axis", "the axis is that of the image: give --png too");
    if (!o.axisGiven) s.axis = o.png.empty() ? display::AxisScale::linear : display::AxisScale::logarithmic;
  }
  if (s.pointsPerOctave && s.axis != display::AxisScale::logarithmic && !o.distortion.on && !o.logSweep.on)
    return refuse("--points-per-octave", "the points are those of the logarithmic axis: give --axis=log too");
  if (o.json && o.csv == "-")
    return refuse("--csv=-", "standard output takes the JSON summary of --json; write the CSV to a file");
  return Parsed{std::move(o), 0, {}};
}

// Why no file can be written at path, found out before a sweep that may
// take minutes rather than after it: a file is made beside it and removed
// again. Empty when it can.
std::string unwritable(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::is_directory(path, error)) return "is a folder";
  const fs::path folder = fs::path(path).parent_path();
  std::string probe = ((folder.empty() ? fs::path(".") : folder) / ".specan-write-check-XXXXXX").string();
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return std::string("cannot be written: ") + std::strerror(errno);
  ::close(fd);
  ::unlink(probe.c_str());
  return {};
}

class Command {
 public:
  Command(const MeasureHooks& hooks) : hooks_(hooks) {}

  void say(const std::string& line) {
    std::fprintf(hooks_.err, "specan: %s\n", line.c_str());
    std::fflush(hooks_.err);
  }

  int run(const Options& o) {
    // So does an output that could not be written at the end.
    for (const std::string* path : {&o.csv, &o.png, &o.saveReference}) {
      if (path->empty() || *path == "-") continue;
      if (const std::string problem = unwritable(*path); !problem.empty()) {
        say(*path + ": " + problem + "; nothing was measured");
        return 1;
      }
    }
    // So does a calibration file that cannot be used.
    std::string refused;
    std::optional<option_values::Levels> levels = option_values::levelsOf(o.levels, &refused);
    if (!levels) {
      say(refused);
      return 2;
    }
    if (o.outputFullScaleVolts)
      relateToGenerator(*levels, *o.levels.calibration.fullScaleVolts, *o.outputFullScaleVolts,
                        o.settings.amplitude.value_or(TrackingGenerator::kAmplitude));
    levels_ = *levels;
    // A reference that cannot be read stops the command before it plays.
    std::optional<ReferenceFile> reference;
    if (!o.reference.empty()) {
      std::string error;
      reference = readReferenceFile(o.reference, &error);
      if (!reference) {
        say(o.reference + ": not a reference trace: " + error);
        return 1;
      }
    }
    std::string audio = o.audio;
    if (audio.empty())
      if (const char* forced = std::getenv("SPECAN_AUDIO"); forced && *forced) audio = forced;
    std::shared_ptr<platform::audio::Provider> provider =
        hooks_.provider ? hooks_.provider : platform::audio::makeProvider(audio);
    if (!provider) {
      const bool known = platform::audio::isProviderName(audio);
      say(known ? platform::audio::providerMissing(audio)
                : "unknown audio provider '" + audio + "' (known: " + platform::audio::kProviderNames + ")");
      return known ? 1 : 2;
    }
    ui::ManualMainThread mainThread;
    ui::MainThread::install(&mainThread);
    platform::audio::installProvider(provider);
    std::unique_ptr<HeadlessApplication> qt;
    if (!o.png.empty()) qt = std::make_unique<HeadlessApplication>();
    const double amplitude = o.settings.amplitude.value_or(TrackingGenerator::kAmplitude);
    measure::Settings calibrated = o.settings;
    calibrated.levels = levels_;
    int status = o.logSweep.on ? measure::runLogSweepMeasurement(o.logSweep, calibrated, o.csv, o.saveReference, o.png,
                                                                 o.json, reference, o.reference, o.tolerance, hooks_)
                 : o.distortion.on ? measure::runDistortionMeasurement(o.distortion, o.settings, amplitude, o.csv,
                                                                     o.json, hooks_)
                 : o.intermodulation.on()
                     ? measure::runIntermodulationMeasurement(o.intermodulation, o.settings, amplitude, o.csv,
                                                              o.json, hooks_)
                     : measure(o, reference);
    qt.reset();
    platform::audio::installProvider(nullptr);
    FFTPlanner::shutdown();
    ui::MainThread::install(nullptr);
    return status;
  }

 private:
  int measure(const Options& o, const std::optional<ReferenceFile>& reference) {
    measure::Settings settings = o.settings;
    settings.levels = levels_;
    measure::SweepMeasurement sweep(settings, !o.png.empty());
    std::string cause;
    if (!sweep.prepare(&cause)) {
      say(cause);
      return 1;
    }
    const bool showProgress = !hooks_.step && isatty(fileno(hooks_.err));
    auto progress = [&](int done, int total, double seconds) {
      const double left = done > 0 ? seconds * (total - done) / done : 0;
      std::fprintf(hooks_.err, "\r%d of %d bins, %.0f s left   ", done, total, left);
      std::fflush(hooks_.err);
    };
    const bool measured = sweep.run(&cause, hooks_.step, showProgress ? std::function(progress) : nullptr);
    if (showProgress) std::fprintf(hooks_.err, "\r%40s\r", "");
    if (sweep.inputGaps() || sweep.outputGaps())
      std::fprintf(hooks_.err, "specan: drop-outs during the sweep: %llu on the input, %llu on the output\n",
                   static_cast<unsigned long long>(sweep.inputGaps()), static_cast<unsigned long long>(sweep.outputGaps()));
    if (!measured) {
      say(cause);
      return 1;
    }
    bool failed = false;
    std::string error;
    if (!o.png.empty() && !sweep.writeImage(o.png, &error)) {
      say(o.png + ": the image was not written: " + error);
      failed = true;
    }
    if (!o.saveReference.empty() &&
        !platform::writePropertyList(platform::PropertyValue(sweep.referenceFile()), o.saveReference, &error)) {
      say(o.saveReference + ": the reference trace was not written: " + error);
      failed = true;
    }
    if (!o.csv.empty()) {
      if (const std::string problem = measure::writeCsvOutput(o.csv, sweep.csv(), hooks_.out); !problem.empty()) {
        say(problem);
        failed = true;
      }
    }
    const measure::Reading high = sweep.maximum(), low = sweep.minimum();
    if (o.json) return jsonSummary(o, sweep, reference, failed);
    if (o.csv != "-")
      std::fprintf(hooks_.out,
                   "sweep %g-%g Hz, %d bins, %.1f s, max %s at %.2f Hz, min %s at %.2f Hz%s%s\n",
                   sweep.lowerFrequency(), sweep.upperFrequency(), sweep.bins(), sweep.seconds(),
                   option_values::summaryLevel(levels_.scale, high.level).c_str(), high.frequency,
                   option_values::summaryLevel(levels_.scale, low.level).c_str(), low.frequency,
                   sweep.remeasuredBins() > 0
                       ? (", " + std::to_string(sweep.remeasuredBins()) + " bins measured again after drop-outs").c_str()
                       : "",
                   o.settings.axis == display::AxisScale::logarithmic
                       ? (", log axis, " + std::to_string(sweep.spectra()) + " spectra").c_str()
                       : "");
    int status = failed ? 1 : 0;
    if (reference) {
      const std::optional<measure::Reading> worst = sweep.worstDeviation(*reference, &cause);
      if (!worst) {
        say(o.reference + ": " + cause);
        return 1;
      }
      const bool within = !o.tolerance || std::fabs(worst->level) <= *o.tolerance;
      std::fprintf(o.csv == "-" ? hooks_.err : hooks_.out, "reference %s: worst deviation %+.3f dB at %.2f Hz%s\n",
                   o.reference.c_str(), worst->level, worst->frequency,
                   o.tolerance ? (within ? ", within the tolerance" : ", outside the tolerance") : "");
      if (!within && status == 0) status = 3;
    }
    std::fflush(hooks_.out);
    return status;
  }

  // The summary as one JSON object; the status as the text summary's.
  int jsonSummary(const Options& o, const measure::SweepMeasurement& sweep,
                  const std::optional<ReferenceFile>& reference, bool failed) {
    const dsp::LevelScale& scale = levels_.scale;
    auto reading = [&scale](const measure::Reading& r) {
      std::string level;
      if (!scale.isDesigned()) level = ",\"level\":" + printedNumber(scale.logarithmic() ? "%.3f" : "%.6g", scale.fromDb(r.level));
      return "{\"level_db\":" + printedNumber("%.3f", r.level) + level + ",\"frequency_hz\":" + printedNumber("%.3f", r.frequency) +
             "}";
    };
    std::string line = "{\"lower_hz\":" + printedNumber("%g", sweep.lowerFrequency()) +
                       ",\"upper_hz\":" + printedNumber("%g", sweep.upperFrequency()) +
                       ",\"bins\":" + std::to_string(sweep.bins()) + ",\"seconds\":" + printedNumber("%.3f", sweep.seconds()) +
                       ",\"max\":" + reading(sweep.maximum()) + ",\"min\":" + reading(sweep.minimum()) +
                       ",\"units\":" + jsonString(dsp::levelUnitName(scale.unit())) +
                       ",\"remeasured_bins\":" + std::to_string(sweep.remeasuredBins()) + ",\"axis\":" +
                       (o.settings.axis == display::AxisScale::logarithmic ? "\"log\"" : "\"linear\"") +
                       ",\"spectra\":" + std::to_string(sweep.spectra());
    int status = failed ? 1 : 0;
    if (reference) {
      std::string cause;
      const std::optional<measure::Reading> worst = sweep.worstDeviation(*reference, &cause);
      if (!worst) {
        say(o.reference + ": " + cause);
        return 1;
      }
      const bool within = !o.tolerance || std::fabs(worst->level) <= *o.tolerance;
      line += ",\"reference\":{\"file\":" + jsonString(o.reference) + ",\"worst_db\":" + printedNumber("%.3f", worst->level) +
              ",\"frequency_hz\":" + printedNumber("%.3f", worst->frequency) + ",\"within\":" + (within ? "true" : "false") +
              "}";
      if (!within && status == 0) status = 3;
    }
    std::fputs((line + "}\n").c_str(), hooks_.out);
    std::fflush(hooks_.out);
    return status;
  }

    // The response as the gain from the output to the input: the input's
  // level in volts over the generator's (its sine's amplitude of the
  // output's full scale), so that a unity path reads 0 dB whatever the
  // output's level.
  static void relateToGenerator(option_values::Levels& levels, double inputFullScaleVolts,
                                double outputFullScaleVolts, double amplitude) {
    // A mean square of 0.5 (a full-scale sine) at the input is
    // inputFullScaleVolts RMS; the generator's sine is amplitude of full
    // scale, outputFullScaleVolts × amplitude RMS.
    const double inputDbV = 20 * std::log10(inputFullScaleVolts * std::sqrt(2.0));
    const double generatorDbV = 20 * std::log10(outputFullScaleVolts * amplitude);
    levels.scale = dsp::LevelScale::relative(inputDbV - generatorDbV);
    dsp::InputCalibration output;
    output.fullScaleVolts = outputFullScaleVolts;
    std::string outputText = option_values::calibrationText(output);
    levels.description += (levels.description.empty() ? "" : ", ") + std::string("output ") + outputText +
                          ", levels relative to the generator's";
  }

  const MeasureHooks& hooks_;
  option_values::Levels levels_;
};

}  // namespace

int runMeasureCommand(const std::vector<std::string>& arguments, const MeasureHooks& hooks) {
  Parsed parsed = parse(arguments);
  if (!parsed.options) {
    std::fputs((parsed.message + (parsed.status ? "\n" : "")).c_str(), parsed.status ? hooks.err : hooks.out);
    return parsed.status;
  }
  return Command(hooks).run(*parsed.options);
}
