// Listing files that the serial port search leaves for device engineers, in a folder that exists
// only on machines set up for testing. Where the folder is missing, nothing is written.
#pragma once

#include <cstdio>
#include <string>

namespace quillon {

// The path of a diagnostic file of that name: C:\testData\<name> on Windows, /testData/<name>
// elsewhere.
std::string DiagnosticFilePath(const std::string& name);

// Opens the diagnostic file for writing, emptied; nullptr when its folder does not exist.
std::FILE* OpenDiagnosticFile(const std::string& name);

}  // namespace quillon
