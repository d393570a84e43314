// A small host program: waits for a device, uploads a settings package, downloads the device's
// archive back and unpacks it.
//
//   quillon-host-example <package folder> <work folder>
//
// Exit status 0 when both transfers completed, 1 otherwise.
#include <Quillon.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Polls until done() holds or the time is up.
template <typename Done>
bool WaitUntil(Done&& done, std::chrono::seconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <package folder> <work folder>\n", argv[0]);
        return 2;
    }
    const fs::path package = argv[1];
    const fs::path work = argv[2];
    CSysconfig_SET* registry = CSysconfig_SET::get();

    // Register the callback before the links start; it runs on the library's threads.
    registry->SetDeviceOnline([](int state, int link) {
        if (state == 1)
            std::fprintf(stderr, "device online on %s\n", link == 1 ? "TCP" : "serial");
    });

    // Listens on TCP port 8234 and searches the serial ports. A host on a shared network narrows the
    // TCP link with quillon::LinkSettings (<LinkSettings.h>): CQuillon quillon(settings);
    CQuillon quillon;
    if (!WaitUntil([&] { return registry->GetSeriOrTcp() != -1; }, 10s)) {
        std::fprintf(stderr, "no device within 10 s\n");
        return 1;
    }

    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(package))
        if (entry.is_regular_file())
            files.push_back(entry.path().filename().string());
    const std::string upload = (work / "upload.zip").string();
    if (quillon.ComPressSet(package.string(), files, upload) != 0 || quillon.WriteSettoHard(upload, 0) != 0) {
        std::fprintf(stderr, "upload failed\n");
        return 1;
    }
    std::printf("uploaded %zu files\n", files.size());

    const fs::path unpacked = work / "unpacked";
    fs::create_directories(unpacked);
    quillon.SetUnzipfloderpath(unpacked.string());
    quillon.ReadSetFromHard((work / "download.zip").string(), 0);
    if (!WaitUntil([&] { return registry->GetReadfinish() || registry->PendingOp.load() == -1; }, 30s) ||
        registry->PendingOp.load() == -1) {
        std::fprintf(stderr, "download failed\n");
        return 1;
    }
    std::printf("downloaded and unpacked into %s\n", unpacked.string().c_str());
    return 0;
}
