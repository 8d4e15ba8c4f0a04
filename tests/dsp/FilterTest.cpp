// The decimating FIR filter: gain, settling, streaming across blocks,
// decimation counts and the gain array.
#include "dsp/Filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "platform/Log.h"

namespace {

using std::numbers::pi;

std::vector<float> sine(int n, double cyclesPerSample, double amplitude = 1.0) {
  std::vector<float> x(n);
  for (int i = 0; i < n; ++i) x[i] = static_cast<float>(amplitude * std::sin(2 * pi * cyclesPerSample * i));
  return x;
}

// Runs a signal through a filter in blocks of `block` samples.
std::vector<float> run(Filter& f, const std::vector<float>& x, int block) {
  std::vector<float> y;
  std::vector<float> out(block);
  for (size_t at = 0; at < x.size(); at += block) {
    int c = static_cast<int>(std::min<size_t>(block, x.size() - at));
    int got = f.filter(x.data() + at, out.data(), c);
    y.insert(y.end(), out.begin(), out.begin() + got);
  }
  return y;
}

double rms(const std::vector<float>& y, size_t from) {
  double sum = 0;
  for (size_t i = from; i < y.size(); ++i) sum += double(y[i]) * y[i];
  return std::sqrt(sum / double(y.size() - from));
}

TEST(FilterInit, PlainInitIsRefusedWithItsLogLine) {
  std::string logged;
  platform::setLogSink([](std::string_view line, void* ctx) { static_cast<std::string*>(ctx)->append(line); },
                       &logged);
  // The caller logs the refusal's line.
  const Filter::Refusal refused = Filter::init();
  EXPECT_EQ(refused.filter, nullptr);
  platform::log("%s", refused.logLine);
  platform::resetLogSink();
  EXPECT_EQ(logged, "bad init for Filter\n");
}

TEST(FilterResponse, UnityAtZeroHertzSettlingAfterLengthMinusOne) {
  for (int length : {3, 31, 64, 257}) {
    Filter f(0.1f, length);
    EXPECT_EQ(f.filterLength(), length);
    double sum = 0;
    for (int i = 0; i < length; ++i) sum += f.taps()[i];
    EXPECT_NEAR(sum, 1.0, 1e-6) << length;
    std::vector<float> ones(2048, 1.0f);
    auto y = run(f, ones, 512);
    ASSERT_EQ(y.size(), 2048u);
    for (int m = length - 1; m < 2048; ++m) ASSERT_NEAR(y[m], 1.0, 1e-5) << "length " << length << " m " << m;
    // Before that it still sees the silence the history starts with.
    EXPECT_LT(y[length / 2 - 1], 0.9f) << length;
  }
}

TEST(FilterResponse, PassesBelowAndStopsAboveTheCutOff) {
  Filter f(0.1f, 101);
  auto pass = run(f, sine(8192, 0.02), 512);
  EXPECT_NEAR(rms(pass, 200), std::sqrt(0.5), 0.01);
  Filter g(0.1f, 101);
  auto stop = run(g, sine(8192, 0.25), 512);
  EXPECT_LT(20 * std::log10(rms(stop, 200) / std::sqrt(0.5)), -60);
}

TEST(FilterStreaming, BlockSizeDoesNotChangeTheOutput) {
  // Different block sizes hit the history compaction at different places.
  auto x = sine(20000, 0.013, 0.7);
  for (auto& v : x) v += 0.1f;
  Filter a(0.05f, 200), b(0.05f, 200), c(0.05f, 200);
  auto ya = run(a, x, 4096), yb = run(b, x, 100), yc = run(c, x, 10000);  // 10000 > one history
  ASSERT_EQ(ya.size(), x.size());
  ASSERT_EQ(yb.size(), x.size());
  ASSERT_EQ(yc.size(), x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    ASSERT_FLOAT_EQ(ya[i], yb[i]) << i;
    ASSERT_FLOAT_EQ(ya[i], yc[i]) << i;
  }
}

TEST(FilterDecimation, KeepsEveryRthOutputAndCountsThem) {
  auto x = sine(4096, 0.01);
  Filter plain(0.1f, 63), decimating(0.1f, 63, 4);
  EXPECT_EQ(decimating.decimationRatio(), 4);
  std::vector<float> full(512), out(128 + 8, -99.0f);
  for (int at = 0; at < 4096; at += 512) {
    plain.filter(x.data() + at, full.data(), 512);
    ASSERT_EQ(decimating.filter(x.data() + at, out.data(), 512), 128);
    for (int j = 0; j < 128; ++j) ASSERT_FLOAT_EQ(out[j], full[4 * j]) << at + j;
  }
  // A block that is not a multiple of the ratio writes only the outputs it counts.
  std::fill(out.begin(), out.end(), -99.0f);
  EXPECT_EQ(decimating.filter(x.data(), out.data(), 510), 127);
  EXPECT_EQ(out[127], -99.0f);

  // A period longer than the 4096-sample history: the history grows to hold
  // one period instead of being written past its end.
  auto long_ = sine(20000, 0.001);
  Filter plainLong(0.001f, 63), sparse(0.001f, 63, 5000);
  std::vector<float> fullLong(10000), two(2);
  for (int at = 0; at < 20000; at += 10000) {
    plainLong.filter(long_.data() + at, fullLong.data(), 10000);
    ASSERT_EQ(sparse.filter(long_.data() + at, two.data(), 10000), 2);
    EXPECT_FLOAT_EQ(two[0], fullLong[0]) << at;
    EXPECT_FLOAT_EQ(two[1], fullLong[5000]) << at;
  }
}

TEST(FilterGain, ArrayMultipliesEveryOutputBlock) {
  std::vector<float> gains(256);
  for (int i = 0; i < 256; ++i) gains[i] = i / 256.0f;
  Filter plain(0.2f, 33), shaped(0.2f, 33, 2, gains.data());
  Filter plainDecimated(0.2f, 33, 2);
  auto x = sine(1024, 0.03);
  std::vector<float> a(256), b(256);
  for (int at = 0; at < 1024; at += 512) {
    ASSERT_EQ(plainDecimated.filter(x.data() + at, a.data(), 512), 256);
    ASSERT_EQ(shaped.filter(x.data() + at, b.data(), 512), 256);
    for (int m = 0; m < 256; ++m) ASSERT_FLOAT_EQ(b[m], a[m] * gains[m]);
  }
}

TEST(FilterLength, OneOrTwoTapsPassTheSignalThrough) {
  // Such lengths are all window ends, where the Nuttall window is zero.
  for (int length : {1, 2}) {
    Filter f(0.1f, length);
    auto x = sine(512, 0.1);
    auto y = run(f, x, 512);
    // The output lags by one sample, like every length.
    for (int i = 1; i < 512; ++i) ASSERT_FLOAT_EQ(y[i], x[i - 1]) << length;
  }
}

}  // namespace
