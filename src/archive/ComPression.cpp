#include "archive/ComPression.h"

#include <utility>

#include "archive/ZipArchive.h"

CComPression::CComPression() = default;
CComPression::CComPression(const CComPression& other) = default;
CComPression& CComPression::operator=(const CComPression& other) = default;
CComPression::~CComPression() = default;

void CComPression::Setzipfilespath(std::string dir) { PackingFolder = std::move(dir); }
void CComPression::SetUnzipfilespath(std::string dir) { UnpackingFolder = std::move(dir); }

int CComPression::ComPress(std::vector<std::string> files, std::string zipPath)
{
    return quillon::PackFiles(PackingFolder, files, zipPath).ok ? 0 : -1;
}

int CComPression::UnComPress(std::string zipPath)
{
    return quillon::UnpackArchive(zipPath, UnpackingFolder).ok ? 0 : -1;
}
