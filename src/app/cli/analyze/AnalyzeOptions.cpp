#include "app/cli/analyze/AnalyzeOptions.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "app/controller/InterfaceMenus.h"
#include "app/controller/OptionValues.h"
#include "dsp/OctaveBands.h"
#include "dsp/OctaveSmoothing.h"

namespace analyze {

namespace {

namespace fs = std::filesystem;

// Seconds of the longest file position taken: far beyond any real file, and
// a frame count at 192 kHz still fits an int64.
constexpr double kLatestSecond = 1e9;

const char kUsage[] =
    "Usage: specan analyze [OPTION]... FILE...\n"
    "Analyses sound files without a window, as the analyzer analyses its input:\n"
    "the chosen channel of each FILE goes through the spectrum engine in blocks\n"
    "of 512 samples, and every spectrum is averaged into one trace. For each FILE\n"
    "one line goes to standard output:\n"
    "  FILE: RATE Hz, SECONDS s, CHANNELS ch, peak FREQUENCY Hz LEVEL UNIT,\n"
    "  averaged over SECONDS s\n"
    "with the file's rate, length and channel count, and the sine at the highest\n"
    "peak of the trace inside the span (a bin at least as high as its neighbours;\n"
    "a slope at the span's edge is none), read as the precise peak marker reads\n"
    "it: its frequency and mean-square level wherever it falls between two bins,\n"
    "from the window's own shape (a full-scale sine reads -3.01 dB; UNIT is dB\n"
    "unless --units says otherwise). A sine too\n"
    "near 0 Hz or half the rate to be told from its image reads its bin's own\n"
    "level, followed by \"(near the band's edge, the bin's own reading)\". In\n"
    "place of the peak: 'silent' for a trace without power, 'no peak in the span'\n"
    "for a span that holds only a slope, 'no power in the span' where the trace\n"
    "holds none there.\n"
    "\n"
    "The windows overlap so that every sample weighs alike, but for those of the\n"
    "first and last window lengths, which weigh half as much on average; only\n"
    "whole windows are taken, the first from the first sample. The spectra\n"
    "together stand for the seconds 'averaged over' gives (also in the CSV),\n"
    "about a window less than the file: a steady signal reads its level, a short\n"
    "event away from the ends its energy spread over those seconds. A FILE\n"
    "shorter than one window of the RBW (in whole blocks) is refused.\n"
    "\n"
    "  --rbw=HZ         resolution bandwidth: 1, 3.16, 10 (default), 31.6, 100,\n"
    "                   316 or 1000\n"
    "  --window=NAME    blackman, gaussian (default), hann, flattop or\n"
    "                   blackman-harris-7 (seven terms, leakage below -180 dB)\n"
    "  --detector=NAME  the plot's pixel detector, for the image and the CSV's\n"
    "                   header: average, peak, minimum, rosenfell or\n"
    "                   rosenfell-average (default)\n"
    "  --span=LOW:HIGH  the span in Hz (default: the whole band, 0 to half the\n"
    "                   file's rate); either side may be left out\n"
    "  --channel=N      the channel to analyse, from 1 (default 1)\n"
    "  --averages=N     average N spectra, then go on exponentially over the\n"
    "                   last N (default: every spectrum of the file, a running\n"
    "                   mean; no 'averaged over' is given when the file has\n"
    "                   more spectra than N)\n"
    "  --from=SECONDS   start this far into the file (default 0)\n"
    "  --to=SECONDS     end this far into the file (default: its end)\n"
    "  --csv=FILE       write the trace as CSV, as File > Export Data does;\n"
    "                   - for standard output (then no summary line is printed)\n"
    "  --png=FILE       write the plot as a PNG image, as File > Export Image\n"
    "                   draws it (print colours, border), with the peak marker\n"
    "  --spectrogram=FILE  write the spectrum over time as a PNG image: time\n"
    "                   upwards in seconds from the file's start, frequency as\n"
    "                   --axis says, viridis colours from the reference level\n"
    "                   down 80 dB, each spectrum by itself, weighted and\n"
    "                   smoothed as --weighting and --smoothing say\n"
    "  --size=WxH       the image's size in points, 100 to 1800 each\n"
    "                   (default 800x500); one pixel per point\n"
    "  --axis=NAME      the image's frequency axis: linear (default) or log\n"
    "  --weighting=W    frequency weighting A, C or Z (none, the default) of\n"
    "                   the trace, the peak, the bands, the overall level and\n"
    "                   the spectrogram (IEC 61672-1, 0 dB at 1 kHz); levels\n"
    "                   read dB(A), dB(C)\n"
    "  --smoothing=1/N  fractional-octave smoothing of the CSV's and the images'\n"
    "                   traces, N = 1, 2, 3, 6, 12, 24 or 48 (or off): each bin\n"
    "                   the power average over 1/N octave around it; the peak\n"
    "                   and the levels read the unsmoothed trace\n"
    "  --bands=1/N      fractional-octave bands, N = 1, 3, 6, 12 or 24 (base\n"
    "                   ten, exact mid-band frequencies and edges of IEC\n"
    "                   61260-1, named by their nominal frequencies) inside the\n"
    "                   span; --csv then writes one row per band:\n"
    "                   nominal_hz,center_hz,lower_hz,upper_hz,level_db,resolved\n"
    "                   A band narrower than three RBWs, or cut by half the\n"
    "                   rate, cannot be read from the trace: resolved is false\n"
    ;

const char kUsageDistortion[] =
    "  --distortion     the distortion and noise of the sine at the highest peak\n"
    "                   of the measurement band, as a bench audio analyzer reads\n"
    "                   them, from a second analysis of the FILE with the\n"
    "                   blackman-harris-7 window whatever --window says, at the\n"
    "                   RBW asked for but at most 3.16 Hz: the summary line ends\n"
    "                   in ', THD LEVEL dB, THD+N LEVEL dB'. THD is the root-sum\n"
    "                   of the harmonics H2 to H10 inside the band over the\n"
    "                   fundamental; THD+N all the band's power but the\n"
    "                   fundamental's over it (the fundamental removed as a\n"
    "                   notch removes it, its lobe taken out, the noise beside it\n"
    "                   counted in its place); SINAD is -THD+N; SNR the\n"
    "                   fundamental over the band's noise with the harmonics'\n"
    "                   lobes left out, the noise weighted by --weighting. A\n"
    "                   harmonic above the band or half the rate is out of\n"
    "                   reach and counted nowhere. A FILE too short for one\n"
    "                   window of the readout's RBW fails\n"
    "  --band=LOW:HIGH  the measurement band in Hz (default 20:20000); HIGH up\n"
    "                   to half the file's rate; with --distortion only\n"
    "  --fundamental=HZ the distortion readout's fundamental: the peak nearest\n"
    "                   HZ inside the band (default: the band's highest peak);\n"
    "                   with --distortion only\n"
    "  --imd=STANDARD   the intermodulation of two tones, read as --distortion\n"
    "                   reads (its window and RBW) over 20 Hz to half the rate:\n"
    "                   the summary line ends in ', IMD (SMPTE) LEVEL dB'.\n"
    "                   smpte: a low tone of 60 Hz and a high one of 7 kHz at a\n"
    "                   quarter its amplitude; each order's sidebands f2 - n*f1\n"
    "                   and f2 + n*f1 (n = 1 to 4) summed in amplitude over f2,\n"
    "                   the orders root-summed. ccif: two tones of equal\n"
    "                   amplitude, 19 and 20 kHz; the difference tone f2 - f1\n"
    "                   and the third-order products 2*f1 - f2 and 2*f2 - f1\n"
    "                   over the two tones' amplitudes summed, root-summed. A\n"
    "                   product beyond the band or half the rate is out of reach\n"
    "                   and its order counted nowhere\n"
    "  --tones=F1:F2    the intermodulation readout's tones in Hz (default the\n"
    "                   standard's), F1 below F2; with --imd only\n"
    ;

const char kUsageTail[] =
    "  --json           one JSON object per FILE on its own line in place of\n"
    "                   the summary line: file, sampling_rate_hz, seconds,\n"
    "                   channels, peak {frequency_hz, level_db} (null without\n"
    "                   one), overall_level_db (the span's mean-square level),\n"
    "                   weighting, averaged_seconds, and with --bands a bands\n"
    "                   array of {center_hz, nominal_hz, lower_hz, upper_hz,\n"
    "                   level_db, resolved}; a level without power is null.\n"
    "                   units names the unit (dB by default); with --units\n"
    "                   beside each level_db (which stays in dB) a level, and\n"
    "                   overall_level, in the unit. With --distortion a\n"
    "                   distortion object: fundamental_hz, fundamental_db,\n"
    "                   thd_db, thd_percent, thd_n_db, thd_n_percent, sinad_db,\n"
    "                   snr_db, noise_db (mean square, weighted by --weighting),\n"
    "                   harmonics [{order, frequency_hz, level_db (relative to\n"
    "                   the fundamental; null out of reach, or with no more\n"
    "                   power than the noise beside it), in_band}]; null\n"
    "                   without a fundamental resolved in the band. With --imd an\n"
    "                   intermodulation object: standard, f1_hz, f2_hz, imd_db,\n"
    "                   imd_percent, products [{order, frequency_hz, level_db\n"
    "                   (relative to the standard's reference), in_band}],\n"
    "                   orders [{order, level_db, percent, in_band}]; null\n"
    "                   without the two tones resolved\n"
    "  -j N, --jobs=N   analyse N FILEs at a time, each in a process of its own\n"
    "                   (default: the number of processors); the lines and\n"
    "                   messages still come in the order of the FILEs\n"
    "  --recursive      a FILE that is a folder stands for the sound files in\n"
    "                   it and in its folders (by the endings .wav, .wave, .aif,\n"
    "                   .aiff, .aifc, .caf, .flac, .ogg, .oga, .opus, .mp3, .m4a,\n"
    "                   .mp4, .w64, .rf64 and .au), in the order of their paths\n"
    "  --help           show this help and exit\n"
    "\n"
    "With several FILEs, --csv and --png name a folder: an existing one, or a\n"
    "name ending in '/', which is made when missing. Each FILE's outputs go\n"
    "there, named after it without its extension, with .csv or .png added\n"
    "(take1.wav gives take1.csv); FILEs that would share a name are refused.\n"
    "--csv=- takes a single FILE. A folder works for a single FILE too.\n"
    "\n"
    "A FILE's sampling rate must be at least four times the RBW and at least\n"
    "20 Hz (the band then holds the narrowest span, 10 Hz), as 40 Hz at the\n"
    "default RBW; a lower one is refused. Only regular files are read.\n"
    "\n"
    "Only whole blocks of 512 samples are analysed. Every output file is\n"
    "written whole or not at all. A FILE that cannot be analysed is reported on\n"
    "standard error as 'specan: FILE: cause', and the other FILEs are still\n"
    "analysed. No settings are read or written, and no display is needed.\n"
    "\n"
    "Non-finite samples (NaN, infinite, or beyond 1e8, which the spectrum's\n"
    "arithmetic cannot hold) are analysed as silence, and a block of nothing\n"
    "else is left out, as the analyzer does with its live input; they are\n"
    "reported as 'specan: FILE: N non-finite samples', and the FILE counts as\n"
    "failed unless they are at most one in a million of the channel's samples\n"
    "read.\n"
    "\n"
    "Exit status: 0 when every FILE was analysed, 1 when any failed, 2 for a\n"
    "mistake in the options.\n";

Parsed refuse(const std::string& argument, const std::string& cause) {
  return Parsed{std::nullopt, 2, "specan: " + argument + ": " + cause};
}

bool isSoundFileName(const fs::path& path) {
  std::string ending = path.extension().string();
  for (char& c : ending) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* known : {".wav", ".wave", ".aif", ".aiff", ".aifc", ".caf", ".flac", ".ogg", ".oga", ".opus",
                            ".mp3", ".m4a", ".mp4", ".w64", ".rf64", ".au"})
    if (ending == known) return true;
  return false;
}

// The sound files under folder, in the order of their paths; nullopt with
// the cause when the folder cannot be read.
std::optional<std::vector<std::string>> soundFilesIn(const std::string& folder, std::string* cause) {
  std::vector<std::string> found;
  std::error_code error;
  for (fs::recursive_directory_iterator at(folder, error), end; !error && at != end; at.increment(error)) {
    std::error_code ignored;
    if (at->is_regular_file(ignored) && isSoundFileName(at->path())) found.push_back(at->path().string());
  }
  if (error) {
    *cause = "cannot read the folder: " + error.message();
    return std::nullopt;
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace

const char* usage() {
  static const std::string text =
      std::string(kUsage) + kUsageDistortion + option_values::kLevelOptionsUsage + kUsageTail;
  return text.c_str();
}

Parsed parse(const std::vector<std::string>& arguments) {
  using option_values::bandwidthTag;
  using option_values::formatted;
  using option_values::namesOf;
  using option_values::number;
  using option_values::tagNamed;
  using option_values::valueOf;
  using option_values::wholeNumber;
  Options o;
  bool optionsEnd = false;
  bool bandGiven = false;
  bool recursive = false;
  const auto jobsOf = [&](const std::string& value) {
    const std::optional<int> jobs = wholeNumber(value);
    if (!jobs || *jobs < 1 || *jobs > 1024) return false;
    o.jobs = *jobs;
    return true;
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (!optionsEnd && (a == "-j" || (a.starts_with("-j") && a.size() > 2) || a.starts_with("--jobs="))) {
      const bool separate = a == "-j";
      if (separate && i + 1 == arguments.size()) return refuse(a, "the number of files at a time is missing");
      const std::string value = separate ? arguments[++i] : a.substr(a[1] == 'j' ? 2 : 7);
      if (!jobsOf(value)) return refuse(separate ? a + " " + value : a, "the files at a time are 1 to 1024");
      continue;
    }
    if (optionsEnd || a.empty() || a[0] != '-' || a == "-") {
      o.files.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnd = true;
    } else if (a == "--help" || a == "-h") {
      return Parsed{std::nullopt, 0, usage()};
    } else if (auto value = valueOf(a, "--rbw")) {
      const std::optional<double> hz = number(*value);
      const std::optional<int> tag = hz ? bandwidthTag(*hz) : std::nullopt;
      if (!tag) return refuse(a, "the RBW is one of 1, 3.16, 10, 31.6, 100, 316 and 1000 Hz");
      o.bandwidthTag = *tag;
    } else if (auto value = valueOf(a, "--window")) {
      const std::optional<int> tag = tagNamed(interface_menus::windowItems(), *value);
      if (!tag) return refuse(a, "the window is " + namesOf(interface_menus::windowItems()));
      o.windowTag = *tag;
    } else if (auto value = valueOf(a, "--detector")) {
      const std::optional<int> tag = tagNamed(interface_menus::detectorItems(), *value);
      if (!tag) return refuse(a, "the detector is " + namesOf(interface_menus::detectorItems()));
      o.detectorTag = *tag;
    } else if (auto value = valueOf(a, "--span")) {
      std::string cause;
      const std::optional<option_values::Span> span = option_values::span(*value, &cause);
      if (!span) return refuse(a, cause);
      o.lowerSpan = span->lower;
      o.upperSpan = span->upper;
    } else if (auto value = valueOf(a, "--channel")) {
      const std::optional<int> channel = wholeNumber(*value);
      if (!channel || *channel < 1 || *channel > 64) return refuse(a, "the channel is a number from 1 to 64");
      o.channel = *channel;
    } else if (auto value = valueOf(a, "--averages")) {
      const std::optional<double> averages = number(*value);
      if (!averages || *averages < 1 || *averages > 1e9) return refuse(a, "the averages are a number from 1 to 1e9");
      o.averages = averages;
    } else if (auto value = valueOf(a, "--from")) {
      const std::optional<double> seconds = number(*value);
      if (!seconds || *seconds < 0 || *seconds > kLatestSecond) return refuse(a, "the start is a time in seconds, 0 or more");
      o.from = *seconds;
    } else if (auto value = valueOf(a, "--to")) {
      const std::optional<double> seconds = number(*value);
      if (!seconds || *seconds <= 0 || *seconds > kLatestSecond) return refuse(a, "the end is a time in seconds above 0");
      o.to = seconds;
    } else if (auto value = valueOf(a, "--csv")) {
      if (value->empty()) return refuse(a, "--csv needs a file name, a folder or -");
      o.csv = *value;
    } else if (auto value = valueOf(a, "--png")) {
      if (value->empty() || *value == "-") return refuse(a, "--png needs a file name or a folder");
      o.png = *value;
    } else if (auto value = valueOf(a, "--spectrogram")) {
      if (value->empty() || *value == "-") return refuse(a, "--spectrogram needs a file name or a folder");
      o.spectrogram = *value;
    } else if (auto value = valueOf(a, "--size")) {
      const std::optional<std::pair<int, int>> size = option_values::pageSize(*value);
      if (!size) return refuse(a, "the size is WxH in points, 100 to 1800 each (as 800x500)");
      o.width = size->first;
      o.height = size->second;
    } else if (auto value = valueOf(a, "--axis")) {
      if (*value == "log" || *value == "logarithmic") o.axis = display::AxisScale::logarithmic;
      else if (*value == "linear") o.axis = display::AxisScale::linear;
      else return refuse(a, "the axis is linear or log");
    } else if (auto value = valueOf(a, "--weighting")) {
      const std::optional<dsp::Weighting> weighting = dsp::weightingFromName(*value);
      if (!weighting) return refuse(a, "the weighting is A, C or Z");
      o.weighting = *weighting;
    } else if (auto value = valueOf(a, "--bands")) {
      const std::optional<int> n = option_values::octaveFraction(*value);
      if (!n || !dsp::isBandFraction(*n)) return refuse(a, "the bands are 1/1, 1/3, 1/6, 1/12 or 1/24 octave");
      o.bands = *n;
    } else if (auto value = valueOf(a, "--smoothing")) {
      const std::optional<int> n = option_values::octaveFraction(*value);
      if (!n || !dsp::isSmoothingFraction(*n))
        return refuse(a, "the smoothing is off, 1/1, 1/2, 1/3, 1/6, 1/12, 1/24 or 1/48 octave");
      o.smoothing = *n;
    } else if (a == "--recursive") {
      recursive = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--distortion") {
      o.distortion = true;
    } else if (auto value = valueOf(a, "--band")) {
      std::string cause;
      const std::optional<option_values::Span> band = option_values::span(*value, &cause);
      if (!band) return refuse(a, "the band is LOW:HIGH in Hz, HIGH above LOW, LOW from 0 (either may be left out)");
      if (band->lower) o.bandLower = *band->lower;
      if (band->upper) o.bandUpper = *band->upper;
      if (!(o.bandUpper > o.bandLower)) return refuse(a, "the band's upper limit must lie above its lower limit");
      bandGiven = true;
    } else if (auto value = valueOf(a, "--fundamental")) {
      const std::optional<double> hz = option_values::number(*value);
      if (!hz || !(*hz > 0)) return refuse(a, "the fundamental is a frequency in Hz above 0");
      o.fundamental = *hz;
    } else if (auto value = valueOf(a, "--imd")) {
      if (*value == "smpte") o.imd = dsp::IntermodulationStandard::Smpte;
      else if (*value == "ccif") o.imd = dsp::IntermodulationStandard::Ccif;
      else return refuse(a, "the intermodulation standard is smpte or ccif");
    } else if (auto value = valueOf(a, "--tones")) {
      std::string cause;
      const std::optional<option_values::Span> tones = option_values::span(*value, &cause);
      if (!tones || !tones->lower || !tones->upper || !(*tones->lower > 0))
        return refuse(a, "the tones are F1:F2 in Hz, F1 above 0 and below F2");
      o.lowTone = *tones->lower;
      o.highTone = *tones->upper;
    } else if (std::optional<std::string> refused = o.levels.take(a)) {
      if (!refused->empty()) return refuse(a, *refused);
    } else {
      return refuse(a, "unknown option (see 'specan analyze --help')");
    }
  }
  if (std::optional<std::string> cause = o.levels.check())
    return refuse(std::string("--units=") + dsp::levelUnitKeyword(o.levels.unit), *cause);
  if (recursive) {
    std::vector<std::string> files;
    for (const std::string& file : o.files) {
      std::error_code ignored;
      if (!fs::is_directory(file, ignored)) {
        files.push_back(file);
        continue;
      }
      std::string cause;
      std::optional<std::vector<std::string>> inside = soundFilesIn(file, &cause);
      if (!inside) return refuse(file, cause);
      files.insert(files.end(), inside->begin(), inside->end());
    }
    o.files = std::move(files);
  }
  if (o.files.empty()) return refuse("analyze", "no sound file given (see 'specan analyze --help')");
  if (bandGiven && !o.distortion)
    return refuse("--band", "the band is the distortion readout's: give --distortion too");
  if (o.fundamental > 0 && !o.distortion)
    return refuse("--fundamental", "the fundamental is the distortion readout's: give --distortion too");
  if (o.fundamental > 0 && !(o.fundamental >= o.bandLower && o.fundamental <= o.bandUpper))
    return refuse("--fundamental=" + formatted(o.fundamental), "the fundamental must lie inside the band (" +
                                                                  formatted(o.bandLower) + " to " +
                                                                  formatted(o.bandUpper) + " Hz)");
  if (o.lowTone > 0 && !o.imd)
    return refuse("--tones", "the tones are the intermodulation readout's: give --imd too");
  if (o.to && !(*o.to > o.from))
    return refuse("--to=" + formatted(*o.to), "the end must lie after the start (" + formatted(o.from) + " s)");
  if (o.width && o.png.empty() && o.spectrogram.empty())
    return refuse("--size", "the size is that of the image: give --png or --spectrogram too");
  if (o.json && o.csv == "-")
    return refuse("--csv=-", "standard output takes the JSON lines of --json; write the CSV to a file");
  if (o.csv == "-" && o.files.size() > 1)
    return refuse("--csv=-", "standard output takes the CSV of a single file; name a folder for several");
  return Parsed{std::move(o), 0, {}};
}

}  // namespace analyze
