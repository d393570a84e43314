#include "support/serial/DiagnosticFiles.h"

namespace quillon {

std::string DiagnosticFilePath(const std::string& name) { return "C:\\testData\\" + name; }

std::FILE* OpenDiagnosticFile(const std::string& name)
{
    return std::fopen(DiagnosticFilePath(name).c_str(), "w");
}

}  // namespace quillon
