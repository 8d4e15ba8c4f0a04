#include "dsp/LobeSums.h"

#include <algorithm>
#include <cstring>
#include <cmath>
#include <limits>

namespace dsp {

namespace {

// The step in bins at which the amplitude response is searched for its
// first null.
constexpr double kNullSearchStep = 1.0 / 64;

// Four floats, one SSE register.
using Quad = float __attribute__((vector_size(16)));

Quad load(const float* p) noexcept {
  Quad q;
  std::memcpy(&q, p, sizeof q);
  return q;
}

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
    if (to < from) return;
    sum += binSum(power, from, to);
    n += to - from + 1;
  };
  take(std::max(below, span.first - width), std::min(span.first - 1, last));
  take(std::max(span.last + 1, first), std::min(above, span.last + width));
  return n > 0 ? sum / n : -1;
}

double lobeSum(const float* power, LobeSpan span) noexcept { return binSum(power, span.first, span.last); }

// Sixteen partial sums in float break the chain of additions, each waiting
// for the last, that one running sum would be, and vectorise; each adds at
// most 16 bins before the block's total goes into the double sum, so the
// sum keeps a relative error near 10⁻⁶ (below 10⁻⁵ dB) over any band.
constexpr int kLanes = 16;
constexpr int kBlock = kLanes * 16;

namespace {

// Sixteen lanes in four vectors, named one by one (in an array the compiler
// keeps them on the stack, a load and a store around every addition), and
// their total in double as a tree rather than a chain.
struct Lanes {
  Quad a{}, b{}, c{}, d{};
  void add(const float* p) noexcept {
    a += load(p);
    b += load(p + 4);
    c += load(p + 8);
    d += load(p + 12);
  }
  void addWeighted(const float* p, const float* g) noexcept {
    a += load(g) * load(p);
    b += load(g + 4) * load(p + 4);
    c += load(g + 8) * load(p + 8);
    d += load(g + 12) * load(p + 12);
  }
  double total() const noexcept {
    const Quad q = (a + b) + (c + d);
    return (double(q[0]) + double(q[1])) + (double(q[2]) + double(q[3]));
  }
};

}  // namespace

double binSum(const float* power, int first, int last) noexcept {
  double sum = 0;
  int k = first;
  while (k + kLanes - 1 <= last) {
    const int end = std::min(k + kBlock, last + 1);
    Lanes part;
    for (; k + kLanes <= end; k += kLanes) part.add(power + k);
    sum += part.total();
  }
  // The rest, fewer than sixteen, on two chains.
  double odd = 0;
  for (; k + 1 <= last; k += 2) {
    sum += power[k];
    odd += power[k + 1];
  }
  if (k <= last) sum += power[k];
  return sum + odd;
}

double weightedBinSum(const float* power, const float* gains, int first, int last) noexcept {
  double sum = 0;
  int k = first;
  while (k + kLanes - 1 <= last) {
    const int end = std::min(k + kBlock, last + 1);
    Lanes part;
    for (; k + kLanes <= end; k += kLanes) part.addWeighted(power + k, gains + k);
    sum += part.total();
  }
  for (; k <= last; ++k) sum += static_cast<double>(gains[k]) * power[k];
  return sum;
}

void BandBlocks::configure(int first, int last, bool weighted) {
  first_ = first;
  last_ = last;
  const size_t blocks = last >= first ? static_cast<size_t>((last - first) / kBlockBins + 1) : 0;
  sums_.assign(blocks, 0.0);
  weighted_.assign(weighted ? blocks : 0, 0.0);
}

template <bool FindHighest>
int BandBlocks::pass(const float* power, const float* gains) noexcept {
  if (last_ < first_) return first_;
  static_assert(kBlockBins % kLanes == 0);
  const bool weighted = gains && !weighted_.empty();
  float highest = power[first_];
  int highestBlock = 0;
  for (size_t block = 0; block < sums_.size(); ++block) {
    const int from = first_ + static_cast<int>(block) * kBlockBins;
    const int to = std::min(from + kBlockBins - 1, last_);
    // Sixteen lanes in four vectors of four, each lane adding at most
    // kBlockBins / 16 bins, as binSum's do. Named one by one rather than
    // in arrays, which the compiler keeps on the stack: a load and a store
    // around every addition.
    Quad part0{}, part1{}, part2{}, part3{};
    Quad top0 = Quad{} + power[from], top1 = top0, top2 = top0, top3 = top0;
    int k = from;
    for (; k + kLanes - 1 <= to; k += kLanes) {
      const Quad p0 = load(power + k), p1 = load(power + k + 4), p2 = load(power + k + 8), p3 = load(power + k + 12);
      part0 += p0;
      part1 += p1;
      part2 += p2;
      part3 += p3;
      if constexpr (FindHighest) {
        top0 = p0 > top0 ? p0 : top0;
        top1 = p1 > top1 ? p1 : top1;
        top2 = p2 > top2 ? p2 : top2;
        top3 = p3 > top3 ? p3 : top3;
      }
    }
    Lanes partWeighted;
    if (weighted)
      for (int w = from; w + kLanes - 1 <= to; w += kLanes) partWeighted.addWeighted(power + w, gains + w);
    const Quad sums = (part0 + part1) + (part2 + part3);
    double sum = (double(sums[0]) + sums[1]) + (double(sums[2]) + sums[3]);
    double sumWeighted = partWeighted.total();
    for (int rest = k; rest <= to; ++rest) {
      sum += power[rest];
      if (weighted) sumWeighted += static_cast<double>(gains[rest]) * power[rest];
    }
    sums_[block] = sum;
    if (weighted) weighted_[block] = sumWeighted;
    if constexpr (FindHighest) {
      const Quad top01 = top0 > top1 ? top0 : top1, top23 = top2 > top3 ? top2 : top3;
      const Quad tops = top01 > top23 ? top01 : top23;
      float blockTop = std::max(std::max(tops[0], tops[1]), std::max(tops[2], tops[3]));
      for (; k <= to; ++k) blockTop = power[k] > blockTop ? power[k] : blockTop;
      // The first block to hold the highest value holds its first bin.
      if (blockTop > highest) {
        highest = blockTop;
        highestBlock = static_cast<int>(block);
      }
    }
  }
  if constexpr (!FindHighest) return first_;
  const int from = first_ + highestBlock * kBlockBins, to = std::min(from + kBlockBins - 1, last_);
  for (int k = from; k <= to; ++k)
    if (power[k] == highest) return k;
  return from;
}

template int BandBlocks::pass<true>(const float*, const float*) noexcept;
template int BandBlocks::pass<false>(const float*, const float*) noexcept;

template <bool Weighted>
double BandBlocks::runSum(const std::vector<double>& blocks, const float* power, const float* gains, int from,
                          int to) const noexcept {
  from = std::max(from, first_);
  to = std::min(to, last_);
  if (to < from) return 0.0;
  auto direct = [&](int a, int b) { return Weighted ? weightedBinSum(power, gains, a, b) : binSum(power, a, b); };
  const int a = (from - first_) / kBlockBins, b = (to - first_) / kBlockBins;
  if (a == b) return direct(from, to);
  // The head of block a, the whole blocks between, the tail in block b.
  double sum = direct(from, first_ + (a + 1) * kBlockBins - 1);
  for (int block = a + 1; block < b; ++block) sum += blocks[static_cast<size_t>(block)];
  return sum + direct(first_ + b * kBlockBins, to);
}

double BandBlocks::sum(const float* power, int from, int to) const noexcept {
  return runSum<false>(sums_, power, nullptr, from, to);
}

double BandBlocks::weightedSum(const float* power, const float* gains, int from, int to) const noexcept {
  return runSum<true>(weighted_, power, gains, from, to);
}

}  // namespace dsp
