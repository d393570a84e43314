/* A C host of the C interface, compiled as C: it calls every function the header declares and
 * checks what each returns, while CInterfaceTest plays the device and checks the files it leaves.
 *
 *   CInterfaceProgram <scenario> <work folder> <pseudo-terminal path | tcp> [<operation> <code>]
 *
 * The work folder holds what the harness made: "package" (a settings package whose ORI file takes
 * many blocks), "download.zip" and "downloaded" (what a failed download must leave as it was).
 * Over TCP the host listens on a free loopback port and says "listening on port N" on standard
 * error, for the harness to start the device against. Exit status 0 when every check held,
 * otherwise 1 after a line naming the check that failed. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quillon_c.h"

/* quillon_cancel called on a thread of its own, which the caller waits for. */
typedef struct cancel_call {
    quillon_host* host;
    int result;
} cancel_call;

#if defined(_WIN32)
#include <direct.h>
#include <windows.h>
typedef DWORD thread_id;
static thread_id current_thread(void) { return GetCurrentThreadId(); }
static int same_thread(thread_id a, thread_id b) { return a == b; }
static int make_folder(const char* path) { return _mkdir(path); }
static DWORD WINAPI cancel_thread(LPVOID call)
{
    ((cancel_call*)call)->result = quillon_cancel(((cancel_call*)call)->host);
    return 0;
}
static int run_cancel_thread(cancel_call* call)
{
    HANDLE thread = CreateThread(NULL, 0, cancel_thread, call, 0, NULL);
    return thread != NULL && WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0 && CloseHandle(thread);
}
#else
#include <pthread.h>
#include <sys/stat.h>
typedef pthread_t thread_id;
static thread_id current_thread(void) { return pthread_self(); }
static int same_thread(thread_id a, thread_id b) { return pthread_equal(a, b); }
static int make_folder(const char* path) { return mkdir(path, 0777); }
static void* cancel_thread(void* call)
{
    ((cancel_call*)call)->result = quillon_cancel(((cancel_call*)call)->host);
    return NULL;
}
static int run_cancel_thread(cancel_call* call)
{
    pthread_t thread;
    return pthread_create(&thread, NULL, cancel_thread, call) == 0 && pthread_join(thread, NULL) == 0;
}
#endif

static int cancel_from_another_thread(quillon_host* host)
{
    cancel_call call;
    call.host = host;
    call.result = QUILLON_E_INTERNAL;
    run_cancel_thread(&call);
    return call.result;
}

static const char* work;
static char path_buffer[4][1024];

/* work/name, in one of four buffers used in turn. */
static const char* in_work(const char* name)
{
    static int next;
    char* path = path_buffer[next++ % 4];
    snprintf(path, sizeof path_buffer[0], "%s/%s", work, name);
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

/* What a transfer's progress callback saw; cancel says whether it cancels at the first value: from
 * inside the callback (1) or from another thread (2). */
typedef struct progress_record {
    quillon_host* host;
    thread_id caller;
    int cancel, cancel_result;
    int last, calls, off_thread, not_rising;
} progress_record;

static void on_progress(int percent, void* user)
{
    progress_record* record = user;
    record->off_thread |= !same_thread(record->caller, current_thread());
    record->not_rising |= percent <= record->last || percent > 100;
    record->last = percent;
    record->calls++;
    if (record->cancel)
        record->cancel_result =
            record->cancel == 1 ? quillon_cancel(record->host) : cancel_from_another_thread(record->host);
    record->cancel = 0;
}

static progress_record watch(quillon_host* host, int cancel)
{
    progress_record record = {NULL, current_thread(), 0, 1, -1, 0, 0, 0};
    record.host = host;
    record.cancel = cancel;
    return record;
}

static void check_progress(const progress_record* record, int complete)
{
    REQUIRE(record->calls > 0 && !record->off_thread && !record->not_rising);
    REQUIRE((record->last == 100) == complete);
}

static void on_log(int level, const char* message, void* user)
{
    fprintf(stderr, "%s log %d: %s\n", (const char*)user, level, message);
}

static quillon_host* open_host(const char* pty)
{
    quillon_link_settings settings;
    quillon_host* host = NULL;
    int port = -1, link = -1;
    quillon_link_settings_init(&settings);
    settings.listen_address = "127.0.0.1";
    settings.port = 0;
    if (strcmp(pty, "tcp") != 0) {
        settings.listen_tcp = 0;
        settings.serial_ports = &pty;
        settings.serial_port_count = 1;
    }
    EXPECT(quillon_open(&settings, &host), QUILLON_OK);
    EXPECT(quillon_listening_port(host, &port), QUILLON_OK);
    REQUIRE(settings.listen_tcp ? port > 0 : port == 0);
    if (port > 0)
        fprintf(stderr, "listening on port %d\n", port);
    EXPECT(quillon_wait_for_device(host, 20000, &link), QUILLON_OK);
    EXPECT(link, settings.listen_tcp ? QUILLON_LINK_TCP : QUILLON_LINK_SERIAL);
    return host;
}

/* No device: what needs none, and what a host without one answers. */
static void local(void)
{
    quillon_link_settings settings;
    quillon_host *host = NULL, *second = NULL;
    char problems[256];
    int created = -1, port = -1;
    REQUIRE(strcmp(quillon_version(), QUILLON_VERSION_STRING) == 0);
    REQUIRE(*quillon_strerror(QUILLON_E_REFUSED) && *quillon_strerror(12345) && !*quillon_last_error());
    EXPECT(quillon_set_log(on_log, QUILLON_LOG_DEBUG, "local"), QUILLON_OK);

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
    EXPECT(quillon_check(in_work("unpacked"), NULL, 0), QUILLON_E_PACKAGE);
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
    EXPECT(quillon_open(NULL, NULL), QUILLON_E_ARGUMENT);
    settings.size = sizeof settings;
    EXPECT(quillon_open(&settings, &host), QUILLON_OK);
    EXPECT(quillon_open(&settings, &second), QUILLON_E_BUSY);
    EXPECT(quillon_listening_port(host, &port), QUILLON_OK);
    REQUIRE(port > 0);
    EXPECT(quillon_wait_for_device(host, 50, NULL), QUILLON_E_NO_DEVICE);
    EXPECT(quillon_probe(host), QUILLON_E_NO_DEVICE);
    EXPECT(quillon_upload(host, in_work("package"), 0, 1000, NULL, NULL), QUILLON_E_NO_DEVICE);
    EXPECT(quillon_cancel(host), QUILLON_OK);
    EXPECT(quillon_close(host), QUILLON_OK);
    EXPECT(quillon_close(host), QUILLON_E_HANDLE);
    EXPECT(quillon_probe(host), QUILLON_E_HANDLE);
    EXPECT(quillon_set_log(NULL, QUILLON_LOG_ERROR, NULL), QUILLON_OK);
}

/* Every device function once, as a host uses them. */
static void device(const char* pty)
{
    quillon_host* host;
    char name[64];
    int version = -1, existed = -1;
    progress_record progress;
    EXPECT(quillon_set_log(on_log, QUILLON_LOG_INFO, "device"), QUILLON_OK);
    host = open_host(pty);
    EXPECT(quillon_serial_port(host, name, sizeof name),
           strcmp(pty, "tcp") ? QUILLON_OK : QUILLON_E_NO_DEVICE);
    REQUIRE(strcmp(pty, "tcp") == 0 || strcmp(name, pty) == 0);
    EXPECT(quillon_probe(host), QUILLON_OK);
    EXPECT(quillon_write_version(host, 2, 7), QUILLON_OK);
    EXPECT(quillon_read_version(host, 2, &version), QUILLON_OK);
    EXPECT(version, 7);
    EXPECT(quillon_write_record(host, "QUILLONC0001"), QUILLON_OK);
    EXPECT(quillon_device_directory(host, work, &existed, name, sizeof name), QUILLON_OK);
    REQUIRE(existed == 0 && strcmp(name, "QUILLONC0001") == 0);
    EXPECT(quillon_device_directory(host, work, &existed, NULL, 0), QUILLON_OK);
    EXPECT(existed, 1);

    progress = watch(host, 0);
    EXPECT(quillon_upload(host, in_work("package"), 3, 20000, on_progress, &progress), QUILLON_OK);
    check_progress(&progress, 1);
    progress = watch(host, 0);
    REQUIRE(make_folder(in_work("unpacked")) == 0);
    EXPECT(quillon_download(host, in_work("unpacked.zip"), in_work("unpacked"), 3, 20000, on_progress,
                            &progress),
           QUILLON_OK);
    check_progress(&progress, 1);

    EXPECT(quillon_upload(host, NULL, 0, 0, NULL, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_upload(host, in_work("package"), 256, 0, NULL, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_download(host, NULL, work, 0, 0, NULL, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_download(host, in_work("x.zip"), NULL, 0, 0, NULL, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_download(host, in_work("x.zip"), work, -1, 0, NULL, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_read_version(host, 3, &version), QUILLON_E_ARGUMENT);
    EXPECT(quillon_read_version(host, 0, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_write_version(host, 0, -1), QUILLON_E_ARGUMENT);
    EXPECT(quillon_write_record(host, "SHORT"), QUILLON_E_ARGUMENT);
    EXPECT(quillon_write_record(host, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_device_directory(host, NULL, NULL, NULL, 0), QUILLON_E_ARGUMENT);
    EXPECT(quillon_listening_port(host, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_serial_port(host, NULL, 8), QUILLON_E_ARGUMENT);
    EXPECT(quillon_pack(NULL, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_unpack(NULL, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_check(NULL, NULL, 0), QUILLON_E_ARGUMENT);
    EXPECT(quillon_repair(NULL, NULL, NULL), QUILLON_E_ARGUMENT);
    EXPECT(quillon_close(host), QUILLON_OK);
}

/* A cancelled upload, then a cancelled download: each returns QUILLON_E_CANCELLED, and the host
 * goes on working. */
static void cancel(const char* pty)
{
    quillon_host* host = open_host(pty);
    progress_record progress = watch(host, 1);
    EXPECT(quillon_upload(host, in_work("package"), 1, 20000, NULL, NULL), QUILLON_OK);
    EXPECT(quillon_upload(host, in_work("package"), 0, 20000, on_progress, &progress), QUILLON_E_CANCELLED);
    EXPECT(progress.cancel_result, QUILLON_OK);
    check_progress(&progress, 0);
    progress = watch(host, 2);
    EXPECT(quillon_download(host, in_work("download.zip"), in_work("downloaded"), 1, 20000, on_progress,
                            &progress),
           QUILLON_E_CANCELLED);
    EXPECT(progress.cancel_result, QUILLON_OK);
    check_progress(&progress, 0);
    EXPECT(quillon_probe(host), QUILLON_OK);
    EXPECT(quillon_close(host), QUILLON_OK);
}

/* One operation against a device that makes it fail, and the code it must give. */
static void fails(const char* pty, const char* operation, int code)
{
    quillon_host* host;
    int version = 0;
    EXPECT(quillon_pack(in_work("package"), in_work("served.zip")), QUILLON_OK);
    host = open_host(pty);
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
    if (argc < 4 || (strcmp(argv[1], "fails") == 0 && argc != 6)) {
        fprintf(stderr,
                "usage: %s local|device|cancel|fails <work folder> <pty path>|tcp [<operation> <code>]\n",
                argv[0]);
        return 2;
    }
    work = argv[2];
    if (strcmp(argv[1], "local") == 0)
        local();
    else if (strcmp(argv[1], "device") == 0)
        device(argv[3]);
    else if (strcmp(argv[1], "cancel") == 0)
        cancel(argv[3]);
    else
        fails(argv[3], argv[4], atoi(argv[5]));
    fprintf(stderr, "all checks held\n");
    return 0;
}
