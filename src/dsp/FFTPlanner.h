#pragma once
// Where FFT plans come from. FFTW's planner is not thread-safe, so every plan
// creation, destruction and wisdom import/export happens here behind one lock.
//
// Strategy: each transform size is planned once per process and the plan is
// shared by every FFT of that size (executing a plan is thread-safe in FFTW).
// A size is planned from the wisdom file (FFTW_MEASURE quality, wisdom only)
// when the file knows it; otherwise an FFTW_ESTIMATE plan is made at once and
// the size is queued for measurement. When background planning is on, one
// thread measures the queued sizes, swaps the measured plan in (FFTs pick it
// up at their next transform) and saves the wisdom atomically (temporary file
// + rename) to <wisdom directory>/fftwf.wisdom. Superseded plans stay alive
// until the planner shuts down, because an FFT may still be executing one;
// there is at most one per size.
//
// Background planning is off until the application switches it on, so tests
// and tools never measure or write the user's cache unless they ask to.

#include <atomic>
#include <string>

struct fftwf_plan_s;

class FFTPlanner {
 public:
  // $XDG_CACHE_HOME (or ~/.cache) + "/org.specan.SpecAn"; empty when neither
  // is known.
  static std::string defaultWisdomDirectory();

  // The folder the wisdom is read from and saved to; empty means none. The
  // default is defaultWisdomDirectory(). Wisdom already imported stays.
  static void setWisdomDirectory(const std::string& directory);
  static std::string wisdomDirectory();

  // Starts (true) or stops and joins (false) the background measuring thread.
  // Stopping waits for at most the one measurement in progress.
  static void setBackgroundPlanning(bool on);
  static bool backgroundPlanning();

  // On (the default), the first size of the engine's range (2^14 … 2^19)
  // planned plans the whole range, so that the live analyzer's later
  // reconfigurations find their plans made. A run that configures once
  // (the command line's analysis of a file) turns it off and plans only the
  // sizes it uses: the range's plans and their tables are megabytes that
  // such a run would only write once and never read.
  static void setPlanningAhead(bool on);

  // Blocks until every queued size has been measured (or background planning
  // is off). For tools and benchmarks.
  static void waitForBackgroundPlanning();

  // True when the plan in use for a real transform of 2^log2n points has
  // measured quality (from wisdom or from the background thread).
  static bool hasMeasuredPlan(int log2n);

  // Stops background planning, destroys every plan and forgets the wisdom in
  // memory. Only when no FFT is in use any more (application exit); later
  // FFTs plan afresh from the wisdom file.
  static void shutdown();

 private:
  friend class FFT;
  // The plans for 2^log2n points: the real plan's slot (read it at every
  // transform: it improves when a measurement completes) and the complex plan.
  static void plansFor(int log2n, const std::atomic<fftwf_plan_s*>** real, fftwf_plan_s** complex);
};
