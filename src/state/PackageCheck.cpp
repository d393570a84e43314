// The settings package check: CSysconfig_SET::CheckSETExist and its helper GetChildString.

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "state/DescriptionFile.h"
#include "state/Sysconfig_SET.h"
#include "support/fs/DirectoryHandle.h"
#include "support/fs/Paths.h"

namespace {

// "CheckSetInfo.TXT": replaced by a run with a failing test, so a run that passes leaves an
// earlier report alone. The new report is written beside it under a fresh name and renamed over it
// at the end, so that a link planted at the report's name is replaced rather than written through,
// and a run cut short leaves the earlier report whole. Lines end in CR LF on every platform: the
// report has always been a Windows text file, and the tools that read it expect one.
class CheckReport {
public:
    explicit CheckReport(std::string path) : path_(std::move(path)) {}
    CheckReport(const CheckReport&) = delete;
    CheckReport& operator=(const CheckReport&) = delete;
    ~CheckReport()
    {
        if (file_) {
            file_.reset();
            quillon::RemoveFile(temporary_);
        }
    }

    void Add(std::string_view message)
    {
        passed_ = false;
        // A report that cannot be created loses this line; the next one tries again.
        if (!file_)
            file_ = quillon::CreateFileBeside(path_, temporary_);
        if (!file_)
            return;
        // Written as bytes, never through a format: a "%" in a serial number stays as it is.
        std::fwrite(message.data(), 1, message.size(), file_.get());
        std::fwrite("\r\n", 1, 2, file_.get());
    }

    // Puts the report in place; true when every test passed.
    bool Finish()
    {
        if (file_ && !(quillon::CloseFile(std::move(file_)) && quillon::RenameReplacing(temporary_, path_)))
            quillon::RemoveFile(temporary_);
        return passed_;
    }

private:
    std::string path_;
    std::string temporary_;
    quillon::FilePtr file_;
    bool passed_ = true;
};

// A package holds its own files: a serial that climbs out of the folder ("..", under either
// separator) names nothing in it, whatever happens to lie outside. Empty parts are harmless, the
// join keeps a leading separator below the folder.
bool NamesAFileInside(std::string_view name)
{
    for (const std::string_view part : quillon::SplitRelativePath(name)) {
        if (!part.empty() && !quillon::IsPlainPathComponent(part))
            return false;
    }
    return true;
}

}  // namespace

bool CSysconfig_SET::CheckSETExist(std::string directory)
{
    using namespace quillon;

    CheckReport report(JoinPath(directory, kCheckReportFileName));
    const std::string descriptionPath = JoinPath(directory, kDescriptionFileName);
    if (!PathExists(descriptionPath))
        report.Add("No DeviceSet.DST file");

    // A description that cannot be opened reads as empty lines, so every later test fails too. One
    // that is a link is not read: the report would show any file's first lines.
    const FilePtr description = DirectoryHandle::Open(directory).OpenForReading(kDescriptionFileName);
    const std::string deviceSerial = ReadDeviceSerial(description.get());
    if (deviceSerial.empty())
        report.Add("DeviceSet.DST file have not device sn");
    const std::string bdbSerial = ReadTextLine(description.get());
    if (bdbSerial.empty())
        report.Add("DeviceSet.DST file have not bdb sn");

    // Serial numbers name files; one written on Windows may hold a backslash between folders.
    const auto requireFile = [&](const std::string& serial, const char* extension) {
        const std::string name = serial + extension;
        if (!NamesAFileInside(name) || !PathExists(JoinRelativePath(directory, name)))
            report.Add("No " + name + " file");
    };
    requireFile(deviceSerial, ".ORI");
    requireFile(deviceSerial, ".RGF");
    requireFile(bdbSerial, ".bdb");
    // The 5th and 6th characters name the device kind; these kinds carry a second device file.
    const std::string kind = GetChildString(deviceSerial, 4, 5);
    if (kind == "UX" || kind == "UK" || kind == "BP")
        requireFile(deviceSerial, "_B.ORI");

    return report.Finish();
}

std::string CSysconfig_SET::GetChildString(std::string text, int first, int last)
{
    // Positions outside the text contribute nothing; 64-bit so that extreme bounds cannot overflow.
    const long long begin = first < 0 ? 0 : first;
    const long long end =
        last < static_cast<long long>(text.size()) ? last : static_cast<long long>(text.size()) - 1;
    std::string child;
    for (long long i = begin; i <= end; ++i)
        child.push_back(text[static_cast<std::size_t>(i)]);
    return child;
}
