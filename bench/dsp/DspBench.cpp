// Measurements of the spectrum-analysis layer, each against a baseline taken
// in the same run:
//   dsp_bench fft [--patient]   FFT::transform vs FFTW's best plan, 2^14 … 2^19
//   dsp_bench reconfigure       engine reconfiguration, every menu RBW × window
//   dsp_bench throughput FILE   normal analysis + trace averaging over a file of
//                               raw 32-bit float samples at 48 kHz (welch_compare.py
//                               runs this against scipy.signal.welch)
//   dsp_bench bands             per-trace readings of 2^18 bins: 1/6-octave smoothing
//                               and A-weighted third-octave band levels vs a copy and
//                               a sum of the same floats
//   dsp_bench distortion        DistortionAnalysis::analyse of the averaged trace vs
//                               the trace's own averaging step for the same spectrum
// FFT wisdom is read from and saved to the user's cache, as by the application.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "dsp/FFT.h"
#include "dsp/DistortionAnalysis.h"
#include "dsp/FFTPlanner.h"
#include "dsp/FrequencyWeighting.h"
#include "dsp/OctaveBands.h"
#include "dsp/OctaveSmoothing.h"
#include "dsp/PeakReading.h"
#include "dsp/PlotTrace.h"
#include "dsp/Spectrum.h"
#include "ui/MainThread.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void prepareWisdom() {
  FFTPlanner::setBackgroundPlanning(true);
  auto start = Clock::now();
  std::vector<std::unique_ptr<FFT>> ffts;
  for (int e = 14; e <= 19; ++e) ffts.push_back(std::make_unique<FFT>(e));
  std::printf("planning every engine size at once: %.2f ms\n", seconds(Clock::now() - start) * 1e3);
  bool fromWisdom = true;
  for (int e = 14; e <= 19; ++e) fromWisdom = fromWisdom && FFTPlanner::hasMeasuredPlan(e);
  FFTPlanner::waitForBackgroundPlanning();
  FFTPlanner::setBackgroundPlanning(false);
  std::printf("wisdom: %s (%s), ready after %.2f s\n", FFTPlanner::wisdomDirectory().c_str(),
              fromWisdom ? "all sizes found" : "measured now", seconds(Clock::now() - start));
}

int benchFFT(bool patient) {
  prepareWisdom();
  std::printf("per transform, best of 25 interleaved batches (median in brackets); baseline FFTW_%s r2c execute\n",
              patient ? "PATIENT" : "MEASURE");
  std::printf("%-6s %12s %12s %8s %8s\n", "size", "FFT ms", "FFTW ms", "ratio", "(median)");
  double worst = 0;
  for (int e = 14; e <= 19; ++e) {
    const int n = 1 << e;
    FFT fft(e);
    float* in = fftwf_alloc_real(n);
    fftwf_complex* out = fftwf_alloc_complex(n / 2 + 1);
    std::vector<float> power(n / 2);
    unsigned seed = 7;
    for (int i = 0; i < n; ++i) in[i] = static_cast<float>((seed = seed * 1664525u + 1013904223u) >> 8) / (1 << 24);
    std::vector<float> keep(in, in + n);
    fftwf_plan best = fftwf_plan_dft_r2c_1d(n, in, out, patient ? FFTW_PATIENT : FFTW_MEASURE);
    std::copy(keep.begin(), keep.end(), in);  // planning overwrote the array
    const int batch = std::max(4, (1 << 21) / n);
    std::vector<double> ours, theirs;
    for (int rep = 0; rep < 25; ++rep) {
      auto t0 = Clock::now();
      for (int i = 0; i < batch; ++i) {
        fft.transform(in, power.data());
        benchmark::DoNotOptimize(power.data());
        benchmark::ClobberMemory();
      }
      auto t1 = Clock::now();
      for (int i = 0; i < batch; ++i) {
        fftwf_execute(best);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
      }
      auto t2 = Clock::now();
      ours.push_back(seconds(t1 - t0) / batch);
      theirs.push_back(seconds(t2 - t1) / batch);
    }
    const double a = *std::min_element(ours.begin(), ours.end());
    const double b = *std::min_element(theirs.begin(), theirs.end());
    worst = std::max(worst, a / b);
    std::printf("2^%-4d %12.4f %12.4f %8.3f %8.3f\n", e, a * 1e3, b * 1e3, a / b, median(ours) / median(theirs));
    fftwf_destroy_plan(best);
    fftwf_free(out);
    fftwf_free(in);
  }
  std::printf("worst ratio %.3f (goal ≤ 1.15)\n", worst);
  return 0;
}

int benchReconfigure() {
  prepareWisdom();
  auto t0 = Clock::now();
  Spectrum spectrum(10, 48000, WindowShape::Gaussian);
  std::printf("engine construction (sizes already planned): %.2f ms\n",
              seconds(Clock::now() - t0) * 1e3);
  const char* names[] = {"Blackman", "Gaussian", "Hann"};
  std::printf("median reconfiguration time in ms (full span; 9 runs each, each from RBW 1000 Hz Gaussian at span 0.9)\n");
  std::printf("%-4s %9s %3s %10s %10s %10s\n", "tag", "RBW Hz", "e", names[0], names[1], names[2]);
  double worst = 0;
  for (int tag = 0; tag <= 30; ++tag) {
    const float rbw = std::pow(10.0f, tag / 10.0f);
    double times[3];
    for (int type = 0; type < 3; ++type) {
      std::vector<double> runs;
      for (int rep = 0; rep < 9; ++rep) {
        spectrum.setResolutionBandwidth(1000, 48000, WindowShape::Gaussian, 0.9f);
        auto t0 = Clock::now();
        spectrum.setResolutionBandwidth(rbw, 48000, static_cast<WindowShape>(type), 1);
        runs.push_back(seconds(Clock::now() - t0));
      }
      times[type] = median(runs) * 1e3;
      worst = std::max(worst, times[type]);
    }
    std::printf("%-4d %9.2f %3d %10.2f %10.2f %10.2f\n", tag, rbw, spectrum.fftSize(), times[0], times[1], times[2]);
  }
  std::printf("worst median %.2f ms (goal < 50 ms)\n", worst);
  return 0;
}

// Normal analysis as the controller runs it: 512-sample blocks into the
// engine, every new spectrum into the trace, the queued averaging run by the
// main loop after each block.
int benchThroughput(const char* path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<float> samples;
  file.seekg(0, std::ios::end);
  const auto bytes = static_cast<size_t>(file.tellg());
  file.seekg(0);
  samples.assign(bytes / sizeof(float), 0.0f);
  file.read(reinterpret_cast<char*>(samples.data()), static_cast<std::streamsize>(bytes));
  if (!file || samples.empty()) {
    std::fprintf(stderr, "cannot read %s\n", path);
    return 1;
  }
  prepareWisdom();
  auto trace = std::make_unique<PlotTrace>();
  auto spectrum = std::make_unique<Spectrum>(1, 48000, WindowShape::Hann);
  ui::MainThread& main = ui::MainThread::instance();
  std::vector<double> runs;
  int spectra = 0;
  for (int rep = 0; rep < 5; ++rep) {
    spectrum->clearBuffer();
    trace->setTraceAverages(1e9f);
    spectra = 0;
    auto t0 = Clock::now();
    for (size_t at = 0; at + 512 <= samples.size(); at += 512) {
      SpectrumResult* r = spectrum->compute(samples.data() + at, 512);
      if (r->validBins > 0) {
        const PlotTrace::AveragingStep step = trace->addDataSamplingRate(r, 48000);
        ui::MainThread::instance().runAsync(step.run, step.context);
        ++spectra;
      }
      main.drain();
    }
    runs.push_back(seconds(Clock::now() - t0));
  }
  const TraceData* t = trace->traceData();
  std::printf("window %d points, FFT %d, hop %d, spectra %d\n", spectrum->windowEntry(spectrum->fftSize()).windowedBins,
              spectrum->fftLength(), spectrum->fftLength() / 2, spectra);
  std::printf("specan_seconds %.6f\n", median(runs));
  // The averaged trace in mean-square units per bin, for comparison.
  std::string out = std::string(path) + ".trace";
  if (FILE* f = std::fopen(out.c_str(), "wb")) {
    std::vector<float> scaled(t->bins);
    const double bins2 = double(t->bins) * t->bins;
    for (int k = 0; k < t->bins; ++k) scaled[k] = static_cast<float>(t->averaged[k] / bins2);
    std::fwrite(scaled.data(), sizeof(float), scaled.size(), f);
    std::fclose(f);
    std::printf("trace %s\n", out.c_str());
  }
  return 0;
}

// The work done per trace shown with smoothing and band levels on, on a
// trace of 262144 bins at 48 kHz and RBW 1 Hz, against a plain copy and a
// plain sum of the same floats. Best of 25 interleaved batches.
int benchBands() {
  const int bins = 262144;
  const double binsPerHertz = bins / 24000.0;
  std::vector<float> trace(bins), out(bins), gains(bins);
  unsigned seed = 11;
  for (float& v : trace) v = 1e6f * (static_cast<float>((seed = seed * 1664525u + 1013904223u) >> 8) / (1 << 24) + 0.01f);
  dsp::fillWeightingGains(dsp::Weighting::A, binsPerHertz, bins, gains.data());
  auto t0 = Clock::now();
  dsp::OctaveSmoothing smoothing(bins);
  smoothing.configure(6, bins, binsPerHertz);
  dsp::BandAnalysis bands;
  bands.configure(3, 20, 20000, binsPerHertz, bins, 1.0);
  std::printf("configuration (smoothing + %zu third-octave bands): %.2f ms\n", bands.bands().size(),
              seconds(Clock::now() - t0) * 1e3);
  std::vector<double> levels(bands.bands().size());
  const int batch = 20;
  std::vector<double> copy, sum, smooth, measure;
  double total = 0;
  for (int rep = 0; rep < 25; ++rep) {
    auto a = Clock::now();
    for (int i = 0; i < batch; ++i) {
      std::memcpy(out.data(), trace.data(), sizeof(float) * bins);
      benchmark::DoNotOptimize(out.data());
      benchmark::ClobberMemory();
    }
    auto b = Clock::now();
    for (int i = 0; i < batch; ++i) {
      double s = 0;
      for (int k = 0; k < bins; ++k) s += trace[static_cast<size_t>(k)];
      total += s;
      benchmark::DoNotOptimize(total);
    }
    auto c = Clock::now();
    for (int i = 0; i < batch; ++i) {
      smoothing.apply(trace.data(), out.data(), bins);
      benchmark::DoNotOptimize(out.data());
      benchmark::ClobberMemory();
    }
    auto d = Clock::now();
    for (int i = 0; i < batch; ++i) {
      bands.measure(trace.data(), bins, gains.data(), levels.data());
      benchmark::DoNotOptimize(levels.data());
      benchmark::ClobberMemory();
    }
    auto e = Clock::now();
    copy.push_back(seconds(b - a) / batch);
    sum.push_back(seconds(c - b) / batch);
    smooth.push_back(seconds(d - c) / batch);
    measure.push_back(seconds(e - d) / batch);
  }
  const double tc = *std::min_element(copy.begin(), copy.end()), ts = *std::min_element(sum.begin(), sum.end());
  const double tm = *std::min_element(smooth.begin(), smooth.end());
  const double tb = *std::min_element(measure.begin(), measure.end());
  std::printf("per trace of %d bins, best of 25 batches of %d (ms)\n", bins, batch);
  std::printf("%-34s %9.4f\n", "baseline: memcpy", tc * 1e3);
  std::printf("%-34s %9.4f\n", "baseline: sum in double", ts * 1e3);
  std::printf("%-34s %9.4f  %6.1f x copy  %6.1f x sum\n", "1/6-octave smoothing", tm * 1e3, tm / tc, tm / ts);
  std::printf("%-34s %9.4f  %6.1f x copy  %6.1f x sum\n", "third-octave levels, A gains", tb * 1e3, tb / tc, tb / ts);
  std::printf("%-34s %9.4f  %6.1f x copy  %6.1f x sum\n", "both", (tm + tb) * 1e3, (tm + tb) / tc, (tm + tb) / ts);
  return total > 0 ? 0 : 1;
}

// The distortion readout on an averaged trace against the work every trace
// takes anyway: the averaging step of one spectrum (its copy into the trace,
// then the running mean), at the readout's RBWs at 48 kHz (10 Hz is what it
// takes for a 1 kHz tone, 3.16 Hz below 158 Hz), on a 1 kHz sine with
// harmonics over white noise; the fundamental searched for in the band (a
// file, the window without the generator) and given (measure --distortion,
// the generator's tone). Best of 25 interleaved batches.
int benchDistortion() {
  prepareWisdom();
  std::printf("per trace, best of 25 interleaved batches (median in brackets), ms\n");
  std::printf("%-8s %7s %10s %10s %7s %8s %10s %7s %8s %8s\n", "RBW Hz", "bins", "averaging", "searched", "ratio",
              "(median)", "given", "ratio", "(median)", "THD dB");
  double worst = 0;
  for (float rbw : {10.0f, 3.1623f, 1.0f}) {
    Spectrum spectrum(rbw, 48000, WindowShape::BlackmanHarris7);
    const int n = spectrum.fftLength();
    std::vector<float> x(static_cast<size_t>(n));
    unsigned seed = 5;
    for (int i = 0; i < n; ++i) {
      const double t = 2 * M_PI * 1000 * i / 48000.0;
      const double noise = static_cast<float>((seed = seed * 1664525u + 1013904223u) >> 8) / (1 << 24) - 0.5;
      x[static_cast<size_t>(i)] = static_cast<float>(0.5 * std::sin(t) + 5e-4 * std::sin(2 * t) + 5e-5 * std::sin(3 * t) +
                                                     1e-5 * noise);
    }
    spectrum.fill(x.data(), n);
    const SpectrumResult* r = spectrum.computeWithOverlap(x.data(), 0);
    auto trace = std::make_unique<PlotTrace>();
    trace->setTraceAverages(1e9f);
    WindowResponse response;
    response.prepare(spectrum);
    dsp::DistortionAnalysis searching, given;
    dsp::DistortionSettings atTone;
    atTone.fundamentalHz = 1000;
    if (!searching.configure(response, dsp::DistortionSettings{}) || !given.configure(response, atTone)) return 1;
    auto average = [&] {
      const PlotTrace::AveragingStep step = trace->addDataSamplingRate(r, 48000);
      if (step.run) step.run(step.context);
    };
    for (int i = 0; i < 4; ++i) average();  // past the restarts, into the running mean
    const TraceData& data = *trace->traceData();
    const int batch = std::max(4, (1 << 20) / n);
    std::vector<double> averaging, searched, known;
    for (int rep = 0; rep < 25; ++rep) {
      auto a = Clock::now();
      for (int i = 0; i < batch; ++i) {
        average();
        benchmark::ClobberMemory();
      }
      auto b = Clock::now();
      for (int i = 0; i < batch; ++i) {
        const dsp::DistortionReading reading = searching.analyse(data);
        benchmark::DoNotOptimize(reading);
      }
      auto c = Clock::now();
      for (int i = 0; i < batch; ++i) {
        const dsp::DistortionReading reading = given.analyse(data);
        benchmark::DoNotOptimize(reading);
      }
      auto d = Clock::now();
      averaging.push_back(seconds(b - a) / batch);
      searched.push_back(seconds(c - b) / batch);
      known.push_back(seconds(d - c) / batch);
    }
    const double ta = *std::min_element(averaging.begin(), averaging.end());
    const double ts = *std::min_element(searched.begin(), searched.end());
    const double tg = *std::min_element(known.begin(), known.end());
    worst = std::max({worst, ts / ta, tg / ta});
    std::printf("%-8.2f %7d %10.4f %10.4f %7.3f %8.3f %10.4f %7.3f %8.3f %8.2f\n", rbw, r->bins, ta * 1e3, ts * 1e3,
                ts / ta, median(searched) / median(averaging), tg * 1e3, tg / ta, median(known) / median(averaging),
                searching.analyse(data).thdDb);
  }
  std::printf("worst ratio %.3f (goal < 1.2)\n", worst);
  std::printf("# reproduce: taskset -c 1 build/bench/dsp/dsp_bench distortion\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  int status = 2;
  if (mode == "fft")
    status = benchFFT(argc > 2 && std::strcmp(argv[2], "--patient") == 0);
  else if (mode == "reconfigure")
    status = benchReconfigure();
  else if (mode == "throughput" && argc > 2)
    status = benchThroughput(argv[2]);
  else if (mode == "bands")
    status = benchBands();
  else if (mode == "distortion")
    status = benchDistortion();
  else
    std::fprintf(stderr, "usage: dsp_bench fft [--patient] | reconfigure | throughput FILE | bands | distortion\n");
  FFTPlanner::shutdown();
  return status;
}
