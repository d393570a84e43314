#include "transfer/DeviceRequests.h"

#include <array>
#include <cstring>

#include "protocol/DeviceRecord.h"
#include "support/base/Text.h"
#include "support/fs/Paths.h"
#include "transfer/PendingOp.h"
#include "transfer/Quillon.h"

namespace quillon {

RequestEnd ReadDeviceVersion(CQuillon& quillon, int kind, int& version)
{
    const int read = quillon.ReadFileVersion(static_cast<char>(kind));
    if (read != -1) {
        version = read;
        return RequestEnd::Done;
    }
    // A refusal ends the operation on the transfer object's side; silence leaves it pending.
    return CSysconfig_SET::get()->PendingOp.load() == pending::kNone ? RequestEnd::Refused
                                                                     : RequestEnd::NoAnswer;
}

RequestEnd WriteDeviceVersion(CQuillon& quillon, int kind, int version)
{
    if (quillon.WriteFileVersion(static_cast<char>(kind), version) == 0)
        return RequestEnd::Done;
    // The transfer object tells a refusal from silence only by the time it takes; a probe tells which.
    return quillon.JudgeIsAvailable() ? RequestEnd::Refused : RequestEnd::NoAnswer;
}

RequestEnd WriteDeviceRecord(CQuillon& quillon, const std::string& name)
{
    std::array<char, kDeviceNameSize> bytes{};
    std::memcpy(bytes.data(), name.data(), std::min(name.size(), bytes.size()));
    quillon.WriteDeviceMsg(bytes.data());
    // The record is not acknowledged; a probe behind it shows the device took the line's traffic.
    return quillon.JudgeIsAvailable() ? RequestEnd::Done : RequestEnd::NoAnswer;
}

DeviceDirectoryOutcome MakeDeviceDirectory(CQuillon& quillon, const std::string& folder)
{
    DeviceDirectoryOutcome directory;
    const int result = quillon.CheckDeviceSETDir(WidePath(folder));
    const std::string reported = CSysconfig_SET::get()->DeviceDirName.load();
    directory.reported = reported.substr(0, kDeviceNameSize);
    // The transfer object's own reading of the name: the folder it made, or why it made none. The
    // name as it went to the file system: the C++ library's own conversion depends on the locale.
    const std::optional<std::wstring> name =
        directory.reported.size() == kDeviceNameSize ? FolderNameFrom(directory.reported) : std::nullopt;
    if (name)
        directory.folderName = NarrowPath(*name);
    if (reported.empty())
        directory.end = DeviceDirectoryOutcome::End::NoAnswer;
    else if (reported.size() < kDeviceNameSize)
        directory.end = DeviceDirectoryOutcome::End::ShortName;
    else if (!name)
        directory.end = DeviceDirectoryOutcome::End::BadName;
    else if (result == -1)
        directory.end = DeviceDirectoryOutcome::End::CannotCreate;
    else {
        directory.end = DeviceDirectoryOutcome::End::Done;
        directory.existed = result == 1;
    }
    return directory;
}

}  // namespace quillon
