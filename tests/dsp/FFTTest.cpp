// The FFT's scaling, on which the engine's window normalisation and the
// display's dB scale rest, and the planner's wisdom handling.
#include "dsp/FFT.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <vector>

#include "QuietPlanner.h"
#include "dsp/FFTPlanner.h"

namespace {

using std::numbers::pi;

// Relative tolerance of single-precision FFT results against the exact value.
constexpr double kRelative = 1e-5;

std::vector<float> cosine(int n, int bin, double amplitude, double phase = 0) {
  std::vector<float> x(n);
  for (int i = 0; i < n; ++i) x[i] = static_cast<float>(amplitude * std::cos(2 * pi * bin * i / n + phase));
  return x;
}

// A constant reads its square as a cosine of the same mean square reads it
// (2·X[k]²-scaled against 4·|X[k]|²), and a block alternating at half the
// rate, which has no element of its own, never reads at 0 Hz.
TEST(FFTScaling, AConstantReadsItsSquareAndHalfTheRateNeverReadsAtZero) {
  for (int log2n : {3, 10, 14}) {
    FFT fft(log2n);
    const int n = fft.length();
    ASSERT_EQ(n, 1 << log2n);
    const double c = 0.75;
    // A cosine of amplitude c·√2 (mean square c²) on a bin gives (c·√2·n)².
    const double sameMeanSquare = 2 * std::pow(n * c, 2);
    std::vector<float> power(n / 2);

    std::vector<float> constant(n, static_cast<float>(c));
    fft.transform(constant.data(), power.data());
    EXPECT_NEAR(power[0], sameMeanSquare, sameMeanSquare * kRelative) << "N=" << n;
    for (int k = 1; k < n / 2; ++k) ASSERT_NEAR(power[k], 0, sameMeanSquare * 1e-10) << "N=" << n << " k=" << k;

    std::vector<float> alternating(n);
    for (int i = 0; i < n; ++i) alternating[i] = static_cast<float>(i % 2 ? -c : c);
    fft.transform(alternating.data(), power.data());
    for (int k = 0; k < n / 2; ++k) ASSERT_NEAR(power[k], 0, sameMeanSquare * 1e-10) << "N=" << n << " k=" << k;
  }
}

TEST(FFTScaling, CosineOnABinGivesAmplitudeTimesLengthSquared) {
  FFT fft(12);
  const int n = fft.length();
  std::vector<float> power(n / 2);
  for (int bin : {1, 37, n / 4, n / 2 - 1}) {
    const double a = 0.3;
    auto x = cosine(n, bin, a, 0.4);
    fft.transform(x.data(), power.data());
    const double expected = std::pow(a * n, 2);
    EXPECT_NEAR(power[bin], expected, expected * kRelative) << "bin " << bin;
    double elsewhere = 0;
    for (int k = 0; k < n / 2; ++k) {
      if (k != bin) elsewhere += power[k];
    }
    EXPECT_LT(elsewhere, expected * 1e-8) << "bin " << bin;
  }
}

TEST(FFTScaling, UnalignedInputGivesTheSameSpectrum) {
  FFT fft(11);
  const int n = fft.length();
  auto x = cosine(n, 5, 1.0, 1.0);
  std::vector<float> shifted(n + 1);
  std::copy(x.begin(), x.end(), shifted.begin() + 1);  // 4-byte offset: not SIMD-aligned
  std::vector<float> a(n / 2), b(n / 2);
  fft.transform(x.data(), a.data());
  fft.transform(shifted.data() + 1, b.data());
  for (int k = 0; k < n / 2; ++k) ASSERT_FLOAT_EQ(a[k], b[k]);
  // The input is left as it was.
  for (int i = 0; i < n; ++i) ASSERT_EQ(shifted[i + 1], x[i]);
}

TEST(FFTComplex, HalvesAreSwappedAroundZeroFrequency) {
  FFT fft(8);
  const int n = fft.length();
  const double expected = double(n) * n;
  // A constant lands in the middle; e^(−2πi·3n/N), frequency −3, three below it.
  std::vector<float> re(n, 0.6f), im(n, -0.8f), power(n);
  fft.transformReal(re.data(), im.data(), power.data());
  EXPECT_NEAR(power[n / 2], expected, expected * kRelative);
  EXPECT_LT(power[n / 2 - 1] + power[0] + power[n - 1], expected * 1e-8);
  for (int i = 0; i < n; ++i) {
    re[i] = static_cast<float>(std::cos(2 * pi * 3 * i / n));
    im[i] = static_cast<float>(-std::sin(2 * pi * 3 * i / n));
  }
  fft.transformReal(re.data(), im.data(), power.data());
  EXPECT_NEAR(power[n / 2 - 3], expected, expected * kRelative);
  EXPECT_LT(power[n / 2 + 3], expected * 1e-8);
}

// Each planner test owns a temporary wisdom folder and leaves the planner as
// the other tests expect it: no background thread, no wisdom folder.
class PlannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("specan-wisdom-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    FFTPlanner::shutdown();
    FFTPlanner::setWisdomDirectory(dir.string());
  }
  void TearDown() override {
    FFTPlanner::shutdown();
    FFTPlanner::setWisdomDirectory("");
    std::filesystem::remove_all(dir);
  }
  std::filesystem::path dir;
};

TEST_F(PlannerTest, MeasuresInTheBackgroundSavesAndReusesTheWisdom) {
  const int log2n = 9;
  std::vector<float> power(1 << (log2n - 1));
  auto x = cosine(1 << log2n, 3, 1.0);
  {
    FFT fft(log2n);  // no wisdom yet: estimated at once
    EXPECT_FALSE(FFTPlanner::hasMeasuredPlan(log2n));
    FFTPlanner::setBackgroundPlanning(true);
    FFTPlanner::waitForBackgroundPlanning();
    EXPECT_TRUE(FFTPlanner::hasMeasuredPlan(log2n));
    // The measured plan is picked up by the existing object.
    fft.transform(x.data(), power.data());
    EXPECT_NEAR(power[3], std::pow(1 << log2n, 2), std::pow(1 << log2n, 2) * kRelative);
  }
  FFTPlanner::setBackgroundPlanning(false);
  const auto file = dir / "fftwf.wisdom";
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_GT(std::filesystem::file_size(file), 0u);
  // No temporary file is left behind.
  int entries = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 1);

  // A fresh start (plans and in-memory wisdom gone) finds the size in the file.
  FFTPlanner::shutdown();
  EXPECT_FALSE(FFTPlanner::hasMeasuredPlan(log2n));
  FFT again(log2n);
  EXPECT_TRUE(FFTPlanner::hasMeasuredPlan(log2n));
  again.transform(x.data(), power.data());
  EXPECT_NEAR(power[3], std::pow(1 << log2n, 2), std::pow(1 << log2n, 2) * kRelative);
}

TEST_F(PlannerTest, DamagedWisdomFileStillGivesWorkingPlans) {
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "fftwf.wisdom") << "(fftw-3.3.10 fftwf_wisdom #x1234 garbage";
  FFT fft(7);
  EXPECT_FALSE(FFTPlanner::hasMeasuredPlan(7));
  std::vector<float> x(128, 1.0f), power(64);
  fft.transform(x.data(), power.data());
  EXPECT_NEAR(power[0], 2.0 * 128 * 128, 2.0 * 128 * 128 * kRelative);
}

TEST_F(PlannerTest, StopsAndResumesWithTheQueueIntact) {
  // Queue several sizes, stop at once, start again: every size gets measured.
  FFTPlanner::setBackgroundPlanning(true);
  std::vector<std::unique_ptr<FFT>> ffts;
  for (int log2n = 4; log2n <= 9; ++log2n) ffts.push_back(std::make_unique<FFT>(log2n));
  FFTPlanner::setBackgroundPlanning(false);
  EXPECT_FALSE(FFTPlanner::backgroundPlanning());
  FFTPlanner::setBackgroundPlanning(true);
  FFTPlanner::waitForBackgroundPlanning();
  for (int log2n = 4; log2n <= 9; ++log2n) EXPECT_TRUE(FFTPlanner::hasMeasuredPlan(log2n)) << log2n;
}

}  // namespace
