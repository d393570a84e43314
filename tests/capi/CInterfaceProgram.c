// A C host of the C interface, compiled as C: it calls every function the header declares and checks
// what each returns, while CInterfaceTest plays the device and checks the files it leaves.
//
//   CInterfaceProgram local|device|cancel|fails <work folder> <pseudo-terminal path>|tcp [<operation> <code>]
//
// The work folder holds what the harness made: "package" (a settings package whose ORI file takes
// many blocks), "download.zip" and "downloaded" (what a failed download must leave as they were);
// the device serves "served.zip" for a kind never uploaded.
// Over TCP the host listens on a free loopback port and names it on standard error for the harness
// to start the device against. Exit status 0 when every check held, otherwise 1 after a line naming
// the check that failed.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <quillon/quillon_c.h>

#if defined(_WIN32)
#include <direct.h>
#include <windows.h>
typedef DWORD thread_id;
#define current_thread GetCurrentThreadId
#define same_thread(a, b) ((a) == (b))
#define make_folder(path) _mkdir(path)
#define THREAD_FUNCTION DWORD WINAPI
#else
#include <pthread.h>
#include <sys/stat.h>
typedef pthread_t thread_id;
#define current_thread pthread_self
#define same_thread pthread_equal
#define make_folder(path) mkdir(path, 0777)
#define THREAD_FUNCTION void*
#endif

static int thread_cancel_result;

static THREAD_FUNCTION cancel_thread(void* host)
{
    thread_cancel_result = quillon_cancel(host);
    return 0;
}

// quillon_cancel on a thread of its own, which the caller waits for; what it returned there.
static int cancel_from_another_thread(quillon_host* host)
{
    thread_cancel_result = QUILLON_E_INTERNAL;
#if defined(_WIN32)
    HANDLE thread = CreateThread(NULL, 0, cancel_thread, host, 0, NULL);
    if (thread != NULL && WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0)
        CloseHandle(thread);
#else
    pthread_t thread;
    if (pthread_create(&thread, NULL, cancel_thread, host) == 0)
        pthread_join(thread, NULL);
#endif
    return thread_cancel_result;
}

static const char* work;
static const char* pty;  // NULL over TCP

// work/name, in one of four buffers used in turn.
static const char* in_work(const char* name)
{
    static char paths[4][1024];
    static int next;
    char* path = paths[next++ % 4];
    snprintf(path, sizeof paths[0], "%s/%s", work, name);
    return path;
}

static void check(const char* what, int got, int want)
{
    if (got == want)
        return;
    fprintf(stderr, "FAILED: %s gave %d (%s), want %d; last error: %s\n", what, got, quillon_strerror(got),
            want, quillon_last_error());
    exit(1);
}
#define EXPECT(call, want) check(#call, (call), (want))
#define REQUIRE(condition) check(#condition, (condition) != 0, 1)

// What a transfer's progress callback saw. At the first value it cancels when asked: from inside the
// callback (1), or from another thread (2) while the callback waits.
typedef struct progress_record {
    quillon_host* host;
    thread_id caller;
    int cancel, cancel_result, last, off_thread, not_rising;
} progress_record;
#define PROGRESS(host, cancel)                                                                               \
    {                                                                                                        \
        host, current_thread(), cancel, QUILLON_E_INTERNAL, -1, 0, 0                                         \
    }

static void on_progress(int percent, void* user)
{
    progress_record* record = user;
    record->off_thread |= !same_thread(record->caller, current_thread());
    record->not_rising |= percent <= record->last || percent > 100;
    record->last = percent;
    if (record->cancel)
        record->cancel_result =
            record->cancel == 1 ? quillon_cancel(record->host) : cancel_from_another_thread(record->host);
    record->cancel = 0;
}

static void check_progress(const progress_record* record, int complete)
{
    REQUIRE(record->last >= 0 && !record->off_thread && !record->not_rising);
    EXPECT(record->last == 100, complete);
}

static void on_log(int level, const char* message, void* user)
{
    fprintf(stderr, "%s log %d: %s\n", (const char*)user, level, message);
}

static quillon_host* open_host(void)
{
    quillon_link_settings settings;
    quillon_host* host = NULL;
    int port = -1, link = -1;
    quillon_link_settings_init(&settings);
    settings.listen_address = "127.0.0.1";
    settings.port = 0;
    settings.listen_tcp = pty == NULL;
    settings.serial_ports = &pty;
    settings.serial_port_count = pty != NULL;
    EXPECT(quillon_open(&settings, &host), QUILLON_OK);
    EXPECT(quillon_listening_port(host, &port), QUILLON_OK);
    EXPECT(port > 0, pty == NULL);
    fprintf(stderr, "listening on port %d\n", port);
    EXPECT(quillon_wait_for_device(host, 20000, &link), QUILLON_OK);
    EXPECT(link, pty ? QUILLON_LINK_SERIAL : QUILLON_LINK_TCP);
    return host;
}

// No device: the packages on disk, and what a host without a device answers.
static void local(void)
{
    quillon_link_settings settings;
    quillon_host *host = NULL, *second = NULL;
    char problems[64];
    int created = -1;
    REQUIRE(strcmp(quillon_version(), QUILLON_VERSION_STRING) == 0);
    REQUIRE(*quillon_strerror(QUILLON_E_REFUSED) && *quillon_strerror(12345) && !*quillon_last_error());
    EXPECT(quillon_pack(in_work("package"), in_work("packed.zip")), QUILLON_OK);
    EXPECT(quillon_pack(in_work("missing"), in_work("packed.zip")), QUILLON_E_FILE);
    REQUIRE(*quillon_last_error());
    REQUIRE(make_folder(in_work("unpacked")) == 0);
    EXPECT(quillon_unpack(in_work("packed.zip"), in_work("unpacked")), QUILLON_OK);
    EXPECT(quillon_unpack(in_work("package/DeviceSet.DST"), in_work("unpacked")), QUILLON_E_ARCHIVE);
    EXPECT(quillon_check(in_work("unpacked"), problems, sizeof problems), QUILLON_OK);
    REQUIRE(remove(in_work("unpacked/AB12XY345678.RGF")) == 0);
    EXPECT(quillon_check(in_work("unpacked"), problems, sizeof problems), QUILLON_E_PACKAGE);
    REQUIRE(strcmp(problems, "No AB12XY345678.RGF file\n") == 0);
    REQUIRE(make_folder(in_work("root")) == 0);
    EXPECT(quillon_repair(in_work("root"), in_work("package"), &created), QUILLON_OK);
    EXPECT(created, 1);
    EXPECT(quillon_repair(in_work("root"), in_work("package"), &created), QUILLON_OK);
    EXPECT(created, 0);

    quillon_link_settings_init(&settings);
    settings.listen_address = "127.0.0.1";
    settings.port = 0;
    settings.size = 0;
    EXPECT(quillon_open(&settings, &host), QUILLON_E_ARGUMENT);
    settings.size = sizeof settings;
    EXPECT(quillon_open(&settings, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_open(&settings, &host), QUILLON_OK);
    EXPECT(quillon_open(&settings, &second), QUILLON_E_BUSY);
    EXPECT(quillon_wait_for_device(host, 50, NULL), QUILLON_E_NO_DEVICE);
    EXPECT(quillon_probe(host), QUILLON_E_NO_DEVICE);
    EXPECT(quillon_upload(host, in_work("package"), 0, 1000, NULL, NULL), QUILLON_E_NO_DEVICE);
    EXPECT(quillon_close(host), QUILLON_OK);
    EXPECT(quillon_close(host), QUILLON_E_HANDLE);
    EXPECT(quillon_probe(host), QUILLON_E_HANDLE);
}

// Every device function, as a host uses them, and the arguments each refuses.
static void device(void)
{
    quillon_host* host;
    char name[64];
    int version = -1, existed = -1;
    progress_record upload = PROGRESS(NULL, 0), download = PROGRESS(NULL, 0);
    EXPECT(quillon_set_log(on_log, QUILLON_LOG_DEBUG, "device"), QUILLON_OK);
    host = open_host();
    EXPECT(quillon_serial_port(host, name, sizeof name), pty ? QUILLON_OK : QUILLON_E_NO_DEVICE);
    REQUIRE(!pty || strcmp(name, pty) == 0);
    EXPECT(quillon_probe(host), QUILLON_OK);
    EXPECT(quillon_write_version(host, 2, 7), QUILLON_OK);
    EXPECT(quillon_read_version(host, 2, &version), QUILLON_OK);
    EXPECT(version, 7);
    EXPECT(quillon_write_record(host, "QUILLONC0001"), QUILLON_OK);
    EXPECT(quillon_device_directory(host, work, &existed, name, sizeof name), QUILLON_OK);
    REQUIRE(existed == 0 && strcmp(name, "QUILLONC0001") == 0);
    EXPECT(quillon_device_directory(host, work, &existed, NULL, 0), QUILLON_OK);
    EXPECT(existed, 1);
    EXPECT(quillon_upload(host, in_work("package"), 3, 20000, on_progress, &upload), QUILLON_OK);
    check_progress(&upload, 1);
    REQUIRE(make_folder(in_work("unpacked")) == 0);
    EXPECT(quillon_download(host, in_work("unpacked.zip"), in_work("unpacked"), 3, 20000, on_progress,
                            &download),
           QUILLON_OK);
    check_progress(&download, 1);

    EXPECT(quillon_upload(host, NULL, 0, 0, NULL, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_upload(host, in_work("package"), 256, 0, NULL, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_download(host, in_work("x.zip"), NULL, 0, 0, NULL, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_download(host, in_work("x.zip"), work, -1, 0, NULL, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_read_version(host, 3, &version), QUILLON_E_ARGUMENT);
    EXPECT(quillon_read_version(host, 0, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_write_record(host, "SHORT"), QUILLON_E_ARGUMENT);
    EXPECT(quillon_device_directory(host, NULL, NULL, NULL, 0), QUILLON_E_ARGUMENT);
    EXPECT(quillon_pack(NULL, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_close(host), QUILLON_OK);
    EXPECT(quillon_set_log(NULL, QUILLON_LOG_ERROR, NULL), QUILLON_OK);
}

// An upload cancelled from its progress callback, a download cancelled from another thread: both
// return QUILLON_E_CANCELLED, and the host goes on working.
static void cancel(void)
{
    quillon_host* host;
    progress_record upload, download;
    host = open_host();
    upload = (progress_record)PROGRESS(host, 1);
    download = (progress_record)PROGRESS(host, 2);
    EXPECT(quillon_upload(host, in_work("package"), 0, 20000, on_progress, &upload), QUILLON_E_CANCELLED);
    EXPECT(upload.cancel_result, QUILLON_OK);
    check_progress(&upload, 0);
    EXPECT(quillon_download(host, in_work("download.zip"), in_work("downloaded"), 1, 20000, on_progress,
                            &download),
           QUILLON_E_CANCELLED);
    EXPECT(download.cancel_result, QUILLON_OK);
    check_progress(&download, 0);
    EXPECT(quillon_probe(host), QUILLON_OK);
    EXPECT(quillon_close(host), QUILLON_OK);
}

// One operation against a device that makes it fail, and the code it must give.
static void fails(const char* operation, int code)
{
    quillon_host* host;
    int version = 0;
    host = open_host();
    if (strcmp(operation, "upload") == 0)
        EXPECT(quillon_upload(host, in_work("package"), 0, 20000, NULL, NULL), code);
    else if (strcmp(operation, "download") == 0)
        EXPECT(quillon_download(host, in_work("download.zip"), in_work("downloaded"), 0, 20000, NULL, NULL),
               code);
    else if (strcmp(operation, "read-version") == 0)
        EXPECT(quillon_read_version(host, 0, &version), code);
    else if (strcmp(operation, "write-version") == 0)
        EXPECT(quillon_write_version(host, 0, 1), code);
    else
        EXPECT(quillon_probe(host), code);
    REQUIRE(*quillon_last_error());
    EXPECT(quillon_close(host), QUILLON_OK);
}

int main(int argc, char** argv)
{
    if (argc < 4 || (strcmp(argv[1], "fails") == 0) != (argc == 6))
        return 2;
    work = argv[2];
    pty = strcmp(argv[3], "tcp") != 0 ? argv[3] : NULL;
    if (strcmp(argv[1], "local") == 0)
        local();
    else if (strcmp(argv[1], "device") == 0)
        device();
    else if (strcmp(argv[1], "cancel") == 0)
        cancel();
    else
        fails(argv[4], atoi(argv[5]));
    return 0;
}
