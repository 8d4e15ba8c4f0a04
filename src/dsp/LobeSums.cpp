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

}  // namespace dsp
