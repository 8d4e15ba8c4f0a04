#pragma once
// `specan measure` run in the test's process on a provider of the test's,
// its standard output and error collected: what the measure tests share.

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/measure/SweepCommand.h"

namespace measure_run {

struct Outcome {
  int status = 0;
  std::string out, err;
};

// The whole of a temporary file, which is closed.
inline std::string slurp(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, n);
  std::fclose(file);
  return text;
}

// The command with args on provider, step called where it would wait (a
// stepped provider advances its devices there).
inline Outcome run(const std::vector<std::string>& args, std::shared_ptr<platform::audio::Provider> provider,
                   std::function<void()> step) {
  MeasureHooks hooks;
  hooks.provider = std::move(provider);
  hooks.step = std::move(step);
  hooks.out = std::tmpfile();
  hooks.err = std::tmpfile();
  Outcome o;
  o.status = runMeasureCommand(args, hooks);
  o.out = slurp(hooks.out);
  o.err = slurp(hooks.err);
  return o;
}

}  // namespace measure_run
