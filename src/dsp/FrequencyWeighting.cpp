#include "dsp/FrequencyWeighting.h"

#include <cmath>
#include <limits>

namespace dsp {

namespace {

// The poles squared, as the expressions use them, and the unnormalised
// responses' power gains at 1 kHz.
struct Poles {
  double f1, f2, f3, f4;
  double a1000, c1000;
};

// The C expression's power gain before normalisation at ff = f² Hz²:
// (f4²·f² / ((f² + f1²)(f² + f4²)))².
double cGain(const Poles& p, double ff) noexcept {
  const double h = p.f4 * ff / ((ff + p.f1) * (ff + p.f4));
  return h * h;
}

// The A expression's: (f4²·f⁴ / ((f² + f1²)·√(f² + f2²)·√(f² + f3²)·(f² + f4²)))².
double aGain(const Poles& p, double ff) noexcept {
  const double h = p.f4 * ff * ff / ((ff + p.f1) * (ff + p.f4));
  return h * h / ((ff + p.f2) * (ff + p.f3));
}

const Poles& poles() noexcept {
  static const Poles table = [] {
    const double fr = 1000.0, fL = std::pow(10.0, 1.5), fH = std::pow(10.0, 3.9), fA = std::pow(10.0, 2.45);
    const double d = std::sqrt(0.5);
    const double b = (fr * fr + fL * fL * fH * fH / (fr * fr) - d * (fL * fL + fH * fH)) / (1.0 - d);
    const double c = fL * fL * fH * fH;
    const double root = std::sqrt(b * b - 4.0 * c);
    Poles p{};
    p.f1 = (-b - root) / 2.0;  // f1² and f4²: the roots of x² + b·x + c
    p.f4 = (-b + root) / 2.0;
    const double s5 = std::sqrt(5.0);
    p.f2 = std::pow((3.0 - s5) / 2.0 * fA, 2);
    p.f3 = std::pow((3.0 + s5) / 2.0 * fA, 2);
    p.a1000 = aGain(p, fr * fr);
    p.c1000 = cGain(p, fr * fr);
    return p;
  }();
  return table;
}

}  // namespace

double weightingPowerGain(Weighting weighting, double f) noexcept {
  if (weighting != Weighting::A && weighting != Weighting::C) return 1.0;
  if (!(f > 0)) return 0.0;
  const Poles& p = poles();
  return weighting == Weighting::A ? aGain(p, f * f) / p.a1000 : cGain(p, f * f) / p.c1000;
}

double weightingDb(Weighting weighting, double f) noexcept {
  if (weighting != Weighting::A && weighting != Weighting::C) return 0.0;
  if (!(f > 0)) return -std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(weightingPowerGain(weighting, f));
}

Weighting weightingOf(int number) noexcept {
  switch (number) {
    case static_cast<int>(Weighting::A):
      return Weighting::A;
    case static_cast<int>(Weighting::C):
      return Weighting::C;
    default:
      return Weighting::Z;
  }
}

const char* weightingName(Weighting weighting) noexcept {
  switch (weighting) {
    case Weighting::A:
      return "A";
    case Weighting::C:
      return "C";
    default:
      return "Z";
  }
}

const char* levelUnit(Weighting weighting) noexcept {
  switch (weighting) {
    case Weighting::A:
      return "dB(A)";
    case Weighting::C:
      return "dB(C)";
    default:
      return "dB";
  }
}

std::optional<Weighting> weightingFromName(std::string_view name) noexcept {
  if (name.size() != 1) return std::nullopt;
  switch (name[0]) {
    case 'a':
    case 'A':
      return Weighting::A;
    case 'c':
    case 'C':
      return Weighting::C;
    case 'z':
    case 'Z':
      return Weighting::Z;
    default:
      return std::nullopt;
  }
}

void fillWeightingGains(Weighting weighting, double binsPerHertz, int bins, float* gains) noexcept {
  for (int k = 0; k < bins; ++k) gains[k] = static_cast<float>(weightingPowerGain(weighting, k / binsPerHertz));
}

}  // namespace dsp
