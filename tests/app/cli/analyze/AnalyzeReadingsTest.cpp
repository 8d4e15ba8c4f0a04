// What `specan analyze` reads where a reading is easy to get wrong: a
// constant and a tone at half the rate, the edges of a span, and silence.
// The real executable, on float WAVE files of 48 kHz made here.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "app/SpecanRun.h"
#include "support/TempFolder.h"
#include "support/WaveFile.h"

namespace {

constexpr double kRate = 48000;
constexpr std::size_t kLength = 5 * 48000;
constexpr double kSineFrequency = 341 * kRate / 16384;  // on a bin at RBW 10 Hz

struct Reading {
  Result run;
  Summary summary;
  bool parsed = false;
};

Reading analyse(const testsupport::TempFolder& folder, const std::string& name, const std::vector<float>& samples,
                std::vector<std::string> options = {}) {
  testsupport::writeWave(folder.file(name), {samples}, kRate, true);
  options.push_back(folder.file(name));
  options.insert(options.begin(), "analyze");
  Reading r;
  r.run = specan(options, folder.file("config"), folder);
  const std::vector<Summary> lines = parseSummaries(r.run.out);
  r.parsed = lines.size() == 1;
  if (r.parsed) r.summary = lines[0];
  return r;
}

std::vector<float> sine(double frequency, double amplitude) {
  std::vector<float> x(kLength);
  for (std::size_t i = 0; i < x.size(); ++i)
    x[i] = float(amplitude * std::sin(2 * M_PI * frequency * double(i) / kRate));
  return x;
}

const std::string kEdgeNote = "(near the band's edge, the bin's own reading)";

// One-sided spectra give a tone the energy of +f and −f together; a
// constant has no image, so 0 Hz reads it with half that weight, and reads
// its mean square (welch's one-sided density does the same). Energy at half
// the rate belongs at the top of the band, never at 0 Hz.
TEST(AnalyzeReadings, AConstantReadsItsMeanSquareAtZeroAndHalfTheRateReadsAtTheTopOfTheBand) {
  testsupport::TempFolder folder;
  const Reading dc = analyse(folder, "dc.wav", std::vector<float>(kLength, 0.25f));
  ASSERT_EQ(dc.run.status, 0) << dc.run.err;
  ASSERT_TRUE(dc.parsed) << dc.run.out;
  EXPECT_EQ(dc.summary.frequency, 0.0);
  EXPECT_NEAR(dc.summary.level, 10 * std::log10(0.25 * 0.25), 0.01);  // -12.04 dB
  EXPECT_NE(dc.run.out.find(kEdgeNote), std::string::npos) << dc.run.out;

  std::vector<float> alternating(kLength);
  for (std::size_t i = 0; i < kLength; ++i) alternating[i] = i % 2 ? -0.25f : 0.25f;
  for (const auto& [name, samples] : {std::pair{"nyquist.wav", alternating}, {"23999.wav", sine(23999, 0.25)}}) {
    const Reading top = analyse(folder, name, samples);
    ASSERT_EQ(top.run.status, 0) << top.run.err;
    ASSERT_TRUE(top.parsed) << top.run.out;
    EXPECT_GT(top.summary.frequency, 23990) << name;
    EXPECT_NE(top.run.out.find(kEdgeNote), std::string::npos) << top.run.out;
  }
  // A tone well inside the band carries no such note.
  const Reading tone = analyse(folder, "tone.wav", sine(kSineFrequency, 0.5));
  EXPECT_EQ(tone.run.out.find(kEdgeNote), std::string::npos) << tone.run.out;
}

// A peak is a bin at least as high as its neighbours: the slope of a tone
// outside the span, where it crosses the span's edge, is none.
TEST(AnalyzeReadings, ASlopeAtTheSpansEdgeIsNoPeak) {
  testsupport::TempFolder folder;
  const std::vector<float> tone = sine(kSineFrequency, 0.5);
  const double bin = kRate / 16384;
  for (const auto& [span, low, high] : {std::tuple{"--span=1010:20000", 1010.0, 20000.0}, {"--span=0:990", 0.0, 990.0}}) {
    const Reading r = analyse(folder, "tone.wav", tone, {span});
    ASSERT_EQ(r.run.status, 0) << r.run.err;
    ASSERT_TRUE(r.parsed) << r.run.out;
    EXPECT_GT(std::abs(r.summary.frequency - low), 2 * bin) << span << ": " << r.run.out;
    EXPECT_GT(std::abs(r.summary.frequency - high), 2 * bin) << span << ": " << r.run.out;
  }
  // Three bins on the tone's falling flank hold no peak at all.
  const Reading flank = analyse(folder, "tone.wav", tone, {"--span=1004:1010"});
  EXPECT_EQ(flank.run.status, 0) << flank.run.err;
  EXPECT_NE(flank.run.out.find(", no peak in the span"), std::string::npos) << flank.run.out;
  // The tone inside the span is still its peak.
  const Reading inside = analyse(folder, "tone.wav", tone, {"--span=900:1100"});
  ASSERT_TRUE(inside.parsed) << inside.run.out;
  EXPECT_NEAR(inside.summary.frequency, kSineFrequency, 0.01);
  EXPECT_NEAR(inside.summary.level, 10 * std::log10(0.125), 0.01);
}

TEST(AnalyzeReadings, DigitalSilenceReadsSilentAndNoLevel) {
  testsupport::TempFolder folder;
  const Reading r = analyse(folder, "zero.wav", std::vector<float>(kLength, 0.0f));
  EXPECT_EQ(r.run.status, 0) << r.run.err;
  EXPECT_FALSE(r.parsed);
  EXPECT_NE(r.run.out.find(", silent\n"), std::string::npos) << r.run.out;
  // After the file's name (a temporary folder's name may hold "dB").
  const std::string reading = r.run.out.substr(std::min(r.run.out.find(".wav: "), r.run.out.size()));
  EXPECT_EQ(reading.find("dB"), std::string::npos) << r.run.out;
}

}  // namespace
