/* A small C host: waits for a device, uploads a settings package, downloads the device's archive
 * back and unpacks it, and reads the device's file version.
 *
 *   quillon-c-host-example <package folder> <work folder> [TCP port]
 *
 * The device's archive goes to settings.zip in the work folder, which must exist, and is unpacked
 * there. The host listens for the device on TCP port 8234, or on the port given (0: a free one);
 * it opens no serial port. Exit status 0 when everything worked, 1 otherwise. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <quillon/quillon_c.h>

/* A progress bar on standard error. Called on the thread that started the transfer, so it needs no
 * lock. */
static void show_progress(int percent, void* user)
{
    const char* what = user;
    int filled = percent / 5, i;
    fprintf(stderr, "\r%-8s [", what);
    for (i = 0; i < 20; ++i)
        fputc(i < filled ? '#' : ' ', stderr);
    fprintf(stderr, "] %3d%%%s", percent, percent == 100 ? "\n" : "");
    fflush(stderr);
}

/* Says what went wrong when result is a failure; whether it is not. */
static int worked(int result, const char* what)
{
    if (result != QUILLON_OK)
        fprintf(stderr, "\n%s failed: %s: %s\n", what, quillon_strerror(result), quillon_last_error());
    return result == QUILLON_OK;
}

int main(int argc, char** argv)
{
    quillon_link_settings settings;
    quillon_host* host = NULL;
    char archive[4096];
    int port = 0, version = 0, ok;

    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: %s <package folder> <work folder> [TCP port]\n", argv[0]);
        return 2;
    }
    if (snprintf(archive, sizeof archive, "%s/settings.zip", argv[2]) >= (int)sizeof archive) {
        fprintf(stderr, "the work folder's path is too long\n");
        return 2;
    }
    if (strcmp(quillon_version(), QUILLON_VERSION_STRING) != 0)
        fprintf(stderr, "warning: built against Quillon %s, running with %s\n", QUILLON_VERSION_STRING,
                quillon_version());

    quillon_link_settings_init(&settings);
    if (argc == 4)
        settings.port = atoi(argv[3]);
    if (!worked(quillon_open(&settings, &host), "opening the host"))
        return 1;
    if (worked(quillon_listening_port(host, &port), "asking for the port"))
        fprintf(stderr, "waiting for the device on TCP port %d\n", port);

    ok = worked(quillon_wait_for_device(host, 30000, NULL), "waiting for the device") &&
         worked(quillon_upload(host, argv[1], 0, 120000, show_progress, "upload"), "the upload") &&
         worked(quillon_download(host, archive, argv[2], 0, 120000, show_progress, "download"),
                "the download") &&
         worked(quillon_read_version(host, 0, &version), "reading the file version");
    if (ok)
        printf("uploaded %s, downloaded %s and unpacked it; file version %d\n", argv[1], archive, version);

    quillon_close(host);
    return ok ? 0 : 1;
}
