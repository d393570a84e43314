// The C functions: each checks its arguments and its handle, runs the operation on the Host behind
// the handle, and turns the outcome into a code and the calling thread's last error. Nothing thrown
// gets past this file: a C caller cannot catch it.
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "capi/Host.h"
#include "protocol/DeviceRecord.h"
#include "quillon/quillon_c.h"
#include "support/base/Diagnostics.h"

namespace {

using quillon::capi::Host;
using quillon::capi::Result;
namespace fs = std::filesystem;

thread_local std::string lastError;
// Set while this thread runs one of the host's callbacks, from which only quillon_cancel may be
// called: anything else would wait for the very operation that is calling back.
thread_local bool inCallback = false;
// Set while this thread runs the log callback, from which not even quillon_cancel may be called:
// the library logs from a link thread that may hold what a cancel waits for.
thread_local bool inLogCallback = false;

struct CallbackScope {
    explicit CallbackScope(bool log = false) : log_(log)
    {
        inCallback = true;
        inLogCallback = log_;
    }
    ~CallbackScope()
    {
        inCallback = false;
        inLogCallback = false;
    }

private:
    bool log_;
};

int Finish(const Result& result)
{
    if (!result.ok())
        lastError = result.message;
    return result.code;
}

int Fail(int code, std::string message) { return Finish(Result::Fail(code, std::move(message))); }

// The host behind a handle, with what keeps its operations one at a time and lets close wait for
// the one running.
struct OpenHost {
    std::mutex operation;  // held by the operation running, and by close while it ends the host
    std::mutex alive;      // held by close while it ends the host, and by calls that need no operation
    std::unique_ptr<Host> host;

    // Runs f on the host, if it is still there, without waiting for the operation under way.
    template <typename F>
    int Now(F&& f)
    {
        std::lock_guard lock(alive);
        if (!host)
            return Fail(QUILLON_E_HANDLE, "the host handle is not open");
        f(*host);
        return QUILLON_OK;
    }
};

// The open hosts by handle. A handle is a number that is never used twice, not an address, so a
// handle kept after close can be refused, however the memory has been reused since.
class HostTable {
public:
    static HostTable& Get()
    {
        // Never destroyed: a program that exits with a host open must not have its links stopped by
        // a static destructor, after Windows has already ended their threads (the join would wait
        // forever) or while they still run elsewhere. The system ends the links with the process.
        static HostTable* const table = new HostTable;
        return *table;
    }

    // Starts a host and gives it a handle; QUILLON_E_BUSY while one is open, as the device and its
    // links are process-wide. Opens and closes take turns: a transfer object that starts while
    // another is still going would find the links' shared state changing under it.
    Result Open(const quillon::capi::HostSettings& settings, quillon_host** handle)
    {
        std::lock_guard turn(lifetime_);
        if (!Empty())
            return Result::Fail(QUILLON_E_BUSY, "a host is open already: close it first");
        std::unique_ptr<Host> opened;
        Result result = Host::Open(settings, opened);
        if (!result.ok())
            return result;
        auto entry = std::make_shared<OpenHost>();
        entry->host = std::move(opened);
        std::lock_guard lock(mutex_);
        const std::uintptr_t id = nextId_++;
        hosts_.emplace(id, std::move(entry));
        *handle = reinterpret_cast<quillon_host*>(id);
        return Result::Ok();
    }

    // Takes the host out of the table, so that no new call finds it, cancels what runs on it, and
    // ends it once that has returned.
    int Close(quillon_host* handle)
    {
        std::lock_guard turn(lifetime_);
        std::shared_ptr<OpenHost> entry;
        {
            std::lock_guard lock(mutex_);
            const auto it = hosts_.find(reinterpret_cast<std::uintptr_t>(handle));
            if (it == hosts_.end())
                return Fail(QUILLON_E_HANDLE, "the host handle is not open");
            entry = std::move(it->second);
            hosts_.erase(it);
        }
        entry->Now([](Host& h) { h.Cancel(); });
        std::lock_guard operation(entry->operation);
        std::lock_guard alive(entry->alive);
        entry->host.reset();
        return QUILLON_OK;
    }

    std::shared_ptr<OpenHost> Find(quillon_host* handle)
    {
        std::lock_guard lock(mutex_);
        const auto it = hosts_.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == hosts_.end() ? nullptr : it->second;
    }

private:
    bool Empty()
    {
        std::lock_guard lock(mutex_);
        return hosts_.empty();
    }

    std::mutex lifetime_;  // held by an open or a close for its whole run
    std::mutex mutex_;     // guards the table, for the moment of a look-up
    std::map<std::uintptr_t, std::shared_ptr<OpenHost>> hosts_;
    // Far from the small numbers a host might pass by mistake for a handle.
    std::uintptr_t nextId_ = 0x5100;
};

// Runs op(host) with the host's operation lock held: QUILLON_E_HANDLE for a handle that is not
// open, QUILLON_E_BUSY while another operation runs on it or from inside a callback.
template <typename Op>
int WithHost(quillon_host* handle, Op&& op)
{
    if (inCallback)
        return Fail(QUILLON_E_BUSY, "only quillon_cancel may be called from inside a callback");
    const auto entry = HostTable::Get().Find(handle);
    if (!entry)
        return Fail(QUILLON_E_HANDLE, "the host handle is not open");
    std::unique_lock lock(entry->operation, std::try_to_lock);
    if (!lock.owns_lock())
        return Fail(QUILLON_E_BUSY, "another operation is running on this host");
    if (!entry->host)
        return Fail(QUILLON_E_HANDLE, "the host handle is not open");  // closed while this call came in
    try {
        return Finish(op(*entry->host));
    } catch (const std::bad_alloc&) {
        return Fail(QUILLON_E_INTERNAL, "out of memory");
    } catch (const std::exception& error) {
        return Fail(QUILLON_E_INTERNAL, error.what());
    }
}

// The same for what needs no host.
template <typename Op>
int Guarded(Op&& op)
{
    try {
        return Finish(op());
    } catch (const std::bad_alloc&) {
        return Fail(QUILLON_E_INTERNAL, "out of memory");
    } catch (const std::exception& error) {
        return Fail(QUILLON_E_INTERNAL, error.what());
    }
}

bool ValidKind(int kind, int highest) { return kind >= 0 && kind <= highest; }

Result Missing(const char* what) { return Result::Fail(QUILLON_E_ARGUMENT, std::string(what) + " is NULL"); }

// Copies text into a caller's buffer of size bytes, NUL included.
Result CopyOut(const std::string& text, char* buffer, std::size_t size, const char* what)
{
    if (!buffer)
        return Missing(what);
    if (text.size() >= size)
        return Result::Fail(QUILLON_E_ARGUMENT, std::string(what) + " has room for " + std::to_string(size) +
                                                    " bytes; " + std::to_string(text.size() + 1) +
                                                    " are needed");
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return Result::Ok();
}

quillon::capi::Progress ProgressOf(quillon_progress_fn progress, void* user)
{
    if (!progress)
        return {};
    return [progress, user](int percent) {
        CallbackScope scope;
        progress(percent, user);
    };
}

}  // namespace

extern "C" {

const char* quillon_strerror(int result)
{
    switch (result) {
    case QUILLON_OK:
        return "success";
    case QUILLON_E_ARGUMENT:
        return "an argument is invalid";
    case QUILLON_E_HANDLE:
        return "the host handle is not open";
    case QUILLON_E_BUSY:
        return "busy: another operation or another host is under way";
    case QUILLON_E_LINK:
        return "the link to the device cannot be set up";
    case QUILLON_E_NO_DEVICE:
        return "no device";
    case QUILLON_E_REFUSED:
        return "the device refused the request";
    case QUILLON_E_NO_ANSWER:
        return "the device did not answer";
    case QUILLON_E_BROKEN_OFF:
        return "the transfer broke off";
    case QUILLON_E_TIMEOUT:
        return "the time-out passed";
    case QUILLON_E_CANCELLED:
        return "cancelled";
    case QUILLON_E_FILE:
        return "a file or folder cannot be read or written";
    case QUILLON_E_ARCHIVE:
        return "the archive is not a zip archive, or does not unpack";
    case QUILLON_E_PACKAGE:
        return "the settings package is incomplete";
    case QUILLON_E_INTERNAL:
        return "an internal failure (out of memory?)";
    default:
        return "an unknown result code";
    }
}

const char* quillon_last_error(void) { return lastError.c_str(); }

int quillon_set_log(quillon_log_fn fn, int max_level, void* user)
{
    if (max_level < QUILLON_LOG_ERROR || max_level > QUILLON_LOG_DEBUG)
        return Fail(QUILLON_E_ARGUMENT, "max_level is not a log level");
    if (inCallback)
        return Fail(QUILLON_E_BUSY, "the log cannot be changed from inside a callback");
    using quillon::diag::Level;
    if (!fn) {
        quillon::diag::SetSink({});
        return QUILLON_OK;
    }
    quillon::diag::SetSink(
        [fn, user](Level level, std::string_view message) {
            const std::string text(message);
            CallbackScope scope(true);
            fn(static_cast<int>(level), text.c_str(), user);
        },
        static_cast<Level>(max_level));
    return QUILLON_OK;
}

void quillon_link_settings_init(quillon_link_settings* settings)
{
    if (!settings)
        return;
    *settings = quillon_link_settings{};
    settings->size = sizeof(quillon_link_settings);
    settings->listen_tcp = 1;
    settings->listen_address = "0.0.0.0";
    settings->port = quillon::LinkSettings::kDefaultPort;
}

int quillon_open(const quillon_link_settings* settings, quillon_host** host)
{
    if (!host)
        return Finish(Missing("host"));
    if (inCallback)
        return Fail(QUILLON_E_BUSY, "a host cannot be opened from inside a callback");
    quillon_link_settings given;
    quillon_link_settings_init(&given);
    if (settings) {
        // The fields this header has: a caller built against an older header has fewer, a newer
        // one more, and neither is read past what the caller said it has.
        if (settings->size < offsetof(quillon_link_settings, serial_port_count) + sizeof(size_t))
            return Fail(QUILLON_E_ARGUMENT,
                        "settings->size is not that of quillon_link_settings: set it with "
                        "quillon_link_settings_init");
        std::memcpy(&given, settings, sizeof given);
    }
    if ((given.allowed_peer_count > 0 && !given.allowed_peers) ||
        (given.serial_port_count > 0 && !given.serial_ports))
        return Fail(QUILLON_E_ARGUMENT, "a list in the settings is NULL but has a count");
    quillon::capi::HostSettings wanted;
    wanted.tcp.listen = given.listen_tcp != 0;
    wanted.tcp.listenAddress = given.listen_address ? given.listen_address : "0.0.0.0";
    wanted.tcp.port = given.port;
    for (std::size_t i = 0; i < given.allowed_peer_count; ++i) {
        if (!given.allowed_peers[i])
            return Fail(QUILLON_E_ARGUMENT, "an allowed peer is NULL");
        wanted.tcp.allowedPeers.emplace_back(given.allowed_peers[i]);
    }
    wanted.everySerialPort = given.search_every_serial_port != 0;
    for (std::size_t i = 0; i < given.serial_port_count; ++i) {
        if (!given.serial_ports[i])
            return Fail(QUILLON_E_ARGUMENT, "a serial port name is NULL");
        wanted.serialPorts.emplace_back(given.serial_ports[i]);
    }
    return Guarded([&] { return HostTable::Get().Open(wanted, host); });
}

int quillon_close(quillon_host* host)
{
    if (inCallback)
        return Fail(QUILLON_E_BUSY, "a host cannot be closed from inside a callback");
    return HostTable::Get().Close(host);
}

int quillon_cancel(quillon_host* host)
{
    if (inLogCallback)
        return Fail(QUILLON_E_BUSY, "a transfer cannot be cancelled from inside the log callback");
    const auto entry = HostTable::Get().Find(host);
    if (!entry)
        return Fail(QUILLON_E_HANDLE, "the host handle is not open");
    // Without the operation's lock, which the operation to be cancelled holds.
    return entry->Now([](Host& h) { h.Cancel(); });
}

int quillon_listening_port(quillon_host* host, int* port)
{
    if (!port)
        return Finish(Missing("port"));
    if (inCallback)
        return Fail(QUILLON_E_BUSY, "only quillon_cancel may be called from inside a callback");
    const auto entry = HostTable::Get().Find(host);
    if (!entry)
        return Fail(QUILLON_E_HANDLE, "the host handle is not open");
    return entry->Now([port](Host& h) { *port = h.ListeningPort(); });
}

int quillon_wait_for_device(quillon_host* host, long timeout_ms, int* link)
{
    if (timeout_ms < 0)
        return Fail(QUILLON_E_ARGUMENT, "timeout_ms is negative");
    return WithHost(host, [&](Host& h) {
        int found = 0;
        Result result = h.WaitForDevice(std::chrono::milliseconds(timeout_ms), found);
        if (result.ok() && link)
            *link = found;
        return result;
    });
}

int quillon_serial_port(quillon_host* host, char* name, std::size_t size)
{
    if (inCallback)
        return Fail(QUILLON_E_BUSY, "only quillon_cancel may be called from inside a callback");
    const auto entry = HostTable::Get().Find(host);
    if (!entry)
        return Fail(QUILLON_E_HANDLE, "the host handle is not open");
    Result result;
    const int open = entry->Now([&](Host& h) {
        std::string port;
        result = h.SerialPortName(port);
        if (result.ok())
            result = CopyOut(port, name, size, "name");
    });
    return open != QUILLON_OK ? open : Finish(result);
}

int quillon_upload(quillon_host* host, const char* source, int kind, long timeout_ms,
                   quillon_progress_fn progress, void* user)
{
    if (!source)
        return Finish(Missing("source"));
    if (!ValidKind(kind, 255))
        return Fail(QUILLON_E_ARGUMENT, "kind " + std::to_string(kind) + " is not 0 to 255");
    if (timeout_ms < 0)
        return Fail(QUILLON_E_ARGUMENT, "timeout_ms is negative");
    return WithHost(host, [&](Host& h) {
        return h.Upload(fs::path(source), kind, std::chrono::milliseconds(timeout_ms),
                        ProgressOf(progress, user));
    });
}

int quillon_download(quillon_host* host, const char* archive, const char* folder, int kind, long timeout_ms,
                     quillon_progress_fn progress, void* user)
{
    if (!archive)
        return Finish(Missing("archive"));
    if (!folder)
        return Finish(Missing("folder"));
    if (!ValidKind(kind, 255))
        return Fail(QUILLON_E_ARGUMENT, "kind " + std::to_string(kind) + " is not 0 to 255");
    if (timeout_ms < 0)
        return Fail(QUILLON_E_ARGUMENT, "timeout_ms is negative");
    return WithHost(host, [&](Host& h) {
        return h.Download(fs::path(archive), fs::path(folder), kind, std::chrono::milliseconds(timeout_ms),
                          ProgressOf(progress, user));
    });
}

int quillon_read_version(quillon_host* host, int kind, int* version)
{
    if (!version)
        return Finish(Missing("version"));
    if (!ValidKind(kind, 2))
        return Fail(QUILLON_E_ARGUMENT, "kind " + std::to_string(kind) + " is not 0, 1 or 2");
    return WithHost(host, [&](Host& h) { return h.ReadVersion(kind, *version); });
}

int quillon_write_version(quillon_host* host, int kind, int version)
{
    if (!ValidKind(kind, 2))
        return Fail(QUILLON_E_ARGUMENT, "kind " + std::to_string(kind) + " is not 0, 1 or 2");
    if (version < 0)
        return Fail(QUILLON_E_ARGUMENT, "version " + std::to_string(version) + " is negative");
    return WithHost(host, [&](Host& h) { return h.WriteVersion(kind, version); });
}

int quillon_write_record(quillon_host* host, const char* name)
{
    if (!name)
        return Finish(Missing("name"));
    const std::size_t length = std::strlen(name);
    if (length != quillon::kDeviceNameSize)
        return Fail(QUILLON_E_ARGUMENT, "name has " + std::to_string(length) +
                                            " characters; a device name has " +
                                            std::to_string(quillon::kDeviceNameSize));
    return WithHost(host, [&](Host& h) { return h.WriteRecord(name); });
}

int quillon_probe(quillon_host* host)
{
    return WithHost(host, [](Host& h) { return h.Probe(); });
}

int quillon_device_directory(quillon_host* host, const char* folder, int* existed, char* name,
                             std::size_t size)
{
    if (!folder)
        return Finish(Missing("folder"));
    return WithHost(host, [&](Host& h) {
        bool there = false;
        std::string directory;
        Result result = h.DeviceDirectory(fs::path(folder), there, directory);
        if (!result.ok())
            return result;
        if (name)
            if (Result copied = CopyOut(directory, name, size, "name"); !copied.ok())
                return copied;
        if (existed)
            *existed = there ? 1 : 0;
        return result;
    });
}

int quillon_pack(const char* folder, const char* archive)
{
    if (!folder || !archive)
        return Finish(Missing(!folder ? "folder" : "archive"));
    return Guarded([&] { return quillon::capi::PackFolder(fs::path(folder), fs::path(archive)); });
}

int quillon_unpack(const char* archive, const char* folder)
{
    if (!folder || !archive)
        return Finish(Missing(!archive ? "archive" : "folder"));
    return Guarded([&] { return quillon::capi::UnpackInto(fs::path(archive), fs::path(folder)); });
}

int quillon_check(const char* folder, char* problems, std::size_t size)
{
    if (!folder)
        return Finish(Missing("folder"));
    return Guarded([&] {
        std::vector<std::string> lines;
        Result result = quillon::capi::CheckFolder(fs::path(folder), lines);
        if (problems && size > 0) {
            // Whole lines only, as many as fit.
            std::string text;
            for (const auto& line : lines) {
                if (text.size() + line.size() + 1 >= size)
                    break;
                text += line + "\n";
            }
            std::memcpy(problems, text.c_str(), text.size() + 1);
        }
        return result;
    });
}

int quillon_repair(const char* root, const char* package, int* created)
{
    if (!root || !package)
        return Finish(Missing(!root ? "root" : "package"));
    return Guarded([&] {
        bool made = false;
        Result result = quillon::capi::RepairInto(fs::path(root), fs::path(package), made);
        if (result.ok() && created)
            *created = made ? 1 : 0;
        return result;
    });
}

}  // extern "C"
