#pragma once
// `specan analyze [OPTION]... FILE...`: sound files analysed on the
// analyzer's own controller without a window (FileAnalysis.h), with a
// summary line per file, and the trace's CSV and the plot's image written
// where the options say. The options are in AnalyzeOptions.h, the help text
// with them.
//
// Needs no display: the Qt application is made, on the offscreen platform,
// only when an image is asked for. Reads and writes no settings. The other
// files of a batch are analysed when one fails.

#include <string>
#include <vector>

// Runs the command with the arguments that follow "analyze" and returns the
// exit status: 0 when every file was analysed and its outputs written, 1
// when any was not, 2 for a mistake in the options (nothing analysed).
// Main thread, once per process, before any other use of the audio layer.
int runAnalyzeCommand(const std::vector<std::string>& arguments);
