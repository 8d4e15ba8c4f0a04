#pragma once
// The CSV of distortion readings, one row per tone, as `specan measure
// --distortion --csv` and the window's exported distortion sweep write it:
//
//   frequency_hz,level_dbfs,thd_db,thd_percent,thd_n_db,thd_n_percent,
//   sinad_db,snr_db,noise_db,h2_db,…,h10_db
//
// A cell without a reading is empty: every cell of a tone without a
// fundamental, THD without a harmonic in reach, a harmonic out of reach.
// Levels in dB relative to the fundamental (noise_db: the band's noise
// relative to full scale, as the reading has it).

#include <string>

#include "dsp/DistortionAnalysis.h"

std::string distortionCsvHeader();
std::string distortionCsvRow(double frequencyHz, double levelDbfs, const dsp::DistortionReading& reading);
