#pragma once
// Sound files analysed several at a time, each in a process of its own. The
// command forks before it makes its environment (its main thread, the audio
// layer, Qt for an image), so each child starts as a fresh command would and
// no thread is running at the fork. What a child writes to standard output
// and error is kept in temporary files and copied out in the order of the
// files, so the output is that of the files one after another.

#include <functional>
#include <string>
#include <vector>

namespace analyze {

// Runs analyse(file) for each of files, at most jobs at a time, each in a
// child process; copies each child's standard error, then its standard
// output, to this process's as soon as the files before it are done. True
// when every analyse returned true; a child that cannot be started or ends
// by a signal is said as "specan: FILE: cause" and counts as failed. Call
// from the main thread, with no other thread running.
bool analyseInProcesses(const std::vector<std::string>& files, int jobs,
                        const std::function<bool(const std::string&)>& analyse);

// The processors this process may run on (at least 1).
int processorCount();

}  // namespace analyze
