#pragma once
// `specan measure`: one frequency-response sweep of the tracking generator
// from the command line, with the window's controller (SweepMeasurement.h):
// the response as CSV and PNG, a summary line, and pass or fail against a
// stored reference.
//
// Exit status: 0 done (and within the tolerance), 3 outside the tolerance,
// 1 when the measurement failed (unknown or vanished device, no signal, an
// output not written), 2 for a mistake in the options.

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::audio {
class Provider;
}

struct MeasureHooks {
  // The provider to measure on (tests: a stepped simulated one); none: the
  // one --audio or SPECAN_AUDIO names, else the usual choice.
  std::shared_ptr<platform::audio::Provider> provider;
  // Called while the sweep runs instead of waiting (a stepped provider
  // advances its devices there).
  std::function<void()> step;
  std::FILE* out = stdout;
  std::FILE* err = stderr;
};

int runMeasureCommand(const std::vector<std::string>& arguments, const MeasureHooks& hooks = {});
