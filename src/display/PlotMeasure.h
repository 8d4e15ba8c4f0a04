#pragma once
// What the measurements read beside the marker (SharedData::measure).

#include <cstdint>

namespace display {

// Made at every drawing from the marker's record.
struct MeasureReadout {
  uint8_t precise = 0;   // frequency and dB are the peak reading's, not the bin's
  uint8_t uncertain = 0; // the peak reading could not tell the sine from its image
                         // near 0 Hz or the Nyquist frequency: frequency and dB are the bin's
  float frequency = 0;   // Hz
  float dB = 0;
  uint8_t delta = 0;     // the marker's difference to the anchor
  float deltaFrequency = 0;
  float deltaDB = 0;
  uint8_t noise = 0;     // the noise density around the marker
  float noiseDB = 0;     // dB/Hz
};

}  // namespace display
