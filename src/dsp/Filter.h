#pragma once
// A low-pass FIR filter for blocks of float samples: windowed-sinc taps
// (Nuttall window, unity gain at 0 Hz), streaming history across blocks,
// optional decimation by an integer ratio and an optional gain array
// multiplied into every output block. Nothing is allocated per block.

struct FirState {
  int length;           // taps
  float* coefficients;  // taps in reverse order
  float* history;       // length + 4096 floats (or + one decimation period if longer):
                        // the last length inputs, then the block
  int position;         // start of the current history window
};

class Filter {
 public:
  static constexpr int kMaxBlock = 4096;

  // A filter needs its bandwidth and length: the plain initialiser is refused.
  Filter() = delete;
  // The plain initialiser's answer: no filter, and the line its caller logs.
  struct Refusal {
    Filter* filter = nullptr;
    const char* logLine = "bad init for Filter\n";
  };
  static Refusal init();

  // bandwidth: cut-off as a fraction of the sampling rate (0 … 0.5); length:
  // taps (1 or 2 give a pass-through tap); ratio ≤ 1: no decimation (a ratio
  // above 4096 widens the history to one period); window: gain
  // array of at least the output block length, not owned, may be null.
  Filter(float bandwidth, int length, int decimationRatio = 1, const float* window = nullptr);
  ~Filter();
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  // Filters one block, returns the number of outputs written: count, or
  // count / ratio when decimating (the phase restarts with every block). Blocks
  // longer than 4096 samples are processed in pieces. No allocation.
  int filter(const float* in, float* out, int count) noexcept;

  int filterLength() const noexcept { return n; }
  float bandwidth() const noexcept { return bandwidth_; }
  int decimationRatio() const noexcept { return decimationRatio_; }
  const float* taps() const noexcept;  // in filter order (not reversed), n values

 private:
  int filterPiece(const float* in, float* out, int count) noexcept;

  FirState* fir = nullptr;
  int n = 0;
  int decimationRatio_ = 1;
  float bandwidth_ = 0;
  const float* window = nullptr;
  float* forwardTaps = nullptr;
  int blockCapacity = kMaxBlock;  // block samples the history holds after the taps
};
