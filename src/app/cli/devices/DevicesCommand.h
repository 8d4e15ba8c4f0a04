#pragma once
// `specan devices`: every input and output device of the audio provider with
// the name a stored setting uses, its channels, offered sampling rates and
// sources, the default devices marked; as text or, with --json, as JSON.

#include <cstdio>
#include <string>
#include <vector>

// Runs the command with the arguments after "devices"; returns the exit
// status (0, or 2 after a usage mistake, 1 when the provider is not there).
int runDevicesCommand(const std::vector<std::string>& args, std::FILE* out = stdout, std::FILE* err = stderr);
