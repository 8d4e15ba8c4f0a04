#include "dsp/LobeSums.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace dsp {

namespace {

// The step in bins at which the amplitude response is searched for its
// first null.
constexpr double kNullSearchStep = 1.0 / 64;

}  // namespace

double powerDecibels(double ratio) noexcept {
  return ratio > 0 ? 10 * std::log10(ratio) : -std::numeric_limits<double>::infinity();
}

double mainLobeHalfWidth(const WindowResponse& response) noexcept {
  for (double x = kNullSearchStep; x < response.imageReach(); x += kNullSearchStep)
    if (response.relativeAmplitude(x) <= 0) return x;
  return response.imageReach();
}

LobeSpan LobeLayout::lobeAt(double bin) const noexcept {
  LobeSpan s;
  s.first = std::max(0, static_cast<int>(std::ceil(bin - reach)));
  s.last = std::min(bins - 1, static_cast<int>(std::floor(bin + reach)));
  return s;
}

double LobeLayout::noiseBeside(const float* power, LobeSpan span, const LobeSpan* spans, int count) const noexcept {
  // The nearest spans below and above this one bound the bins beside it.
  int below = first, above = last;
  for (int i = 0; i < count; ++i) {
    if (spans[i].last < span.first) below = std::max(below, spans[i].last + 1);
    if (spans[i].first > span.last) above = std::min(above, spans[i].first - 1);
  }
  const int width = 2 * reach;
  double sum = 0;
  int n = 0;
  auto take = [&](int from, int to) {
    for (int k = from; k <= to; ++k) {
      sum += power[k];
      ++n;
    }
  };
  take(std::max(below, span.first - width), std::min(span.first - 1, last));
  take(std::max(span.last + 1, first), std::min(above, span.last + width));
  return n > 0 ? sum / n : -1;
}

double lobeSum(const float* power, LobeSpan span) noexcept {
  double sum = 0;
  for (int k = span.first; k <= span.last; ++k) sum += power[k];
  return sum;
}

// Sixteen partial sums in float break the chain of additions, each waiting
// for the last, that one running sum would be, and vectorise; each adds at
// most 16 bins before the block's total goes into the double sum, so the
// sum keeps a relative error near 10⁻⁶ (below 10⁻⁵ dB) over any band.
constexpr int kLanes = 16;
constexpr int kBlock = kLanes * 16;

double binSum(const float* power, int first, int last) noexcept {
  double sum = 0;
  int k = first;
  while (k + kLanes - 1 <= last) {
    const int end = std::min(k + kBlock, last + 1);
    float part[kLanes] = {};
    for (; k + kLanes <= end; k += kLanes)
      for (int j = 0; j < kLanes; ++j) part[j] += power[k + j];
    double block = 0;
    for (float p : part) block += p;
    sum += block;
  }
  for (; k <= last; ++k) sum += power[k];
  return sum;
}

double weightedBinSum(const float* power, const float* gains, int first, int last) noexcept {
  double sum = 0;
  int k = first;
  while (k + kLanes - 1 <= last) {
    const int end = std::min(k + kBlock, last + 1);
    float part[kLanes] = {};
    for (; k + kLanes <= end; k += kLanes)
      for (int j = 0; j < kLanes; ++j) part[j] += gains[k + j] * power[k + j];
    double block = 0;
    for (float p : part) block += p;
    sum += block;
  }
  for (; k <= last; ++k) sum += static_cast<double>(gains[k]) * power[k];
  return sum;
}

int highestBin(const float* power, int first, int last) noexcept {
  if (last <= first) return first;
  // The highest value over sixteen lanes, then the first bin that holds it.
  float top[kLanes];
  for (float& t : top) t = power[first];
  int k = first;
  for (; k + kLanes - 1 <= last; k += kLanes)
    for (int j = 0; j < kLanes; ++j) top[j] = power[k + j] > top[j] ? power[k + j] : top[j];
  float highest = top[0];
  for (float t : top) highest = t > highest ? t : highest;
  for (; k <= last; ++k) highest = power[k] > highest ? power[k] : highest;
  for (k = first; k <= last; ++k)
    if (power[k] == highest) return k;
  return first;
}

}  // namespace dsp
