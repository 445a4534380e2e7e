// --trace: every frame the updater sends and every byte it reads, time-stamped, in hex, with the
// command's name. Costs nothing when off: the line calls it only through a pointer it tests.
#pragma once
#include <string>

// Opens the file and hooks the line. False with the reason when the file cannot be written.
bool CLI_StartTrace(const std::string& path, std::string* pError);
