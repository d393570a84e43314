/* Quillon's C interface: moves a device's settings package between the device and this computer,
 * callable from C, from any Windows compiler and from any language with a C foreign-function
 * interface.
 *
 *   #include <quillon/quillon_c.h>
 *
 *   quillon_host* host;
 *   if (quillon_open(NULL, &host) != QUILLON_OK) ...           TCP port 8234, no serial port
 *   if (quillon_wait_for_device(host, 30000, NULL) != QUILLON_OK) ...
 *   int result = quillon_upload(host, "package", 0, 60000, show_progress, NULL);
 *   if (result != QUILLON_OK)
 *       fprintf(stderr, "%s: %s\n", quillon_strerror(result), quillon_last_error());
 *   quillon_close(host);
 *
 * Conventions:
 * - Every function that can fail returns QUILLON_OK (0) or one of the negative codes below;
 *   quillon_strerror names a code, quillon_last_error says what went wrong in the calling thread's
 *   last failed call. Out-parameters are written only on success.
 * - Strings are NUL-terminated. Paths are narrow strings as the system names files: its own
 *   bytes on POSIX systems (UTF-8 on today's), the ANSI code page on Windows.
 * - Handles are opaque. A handle that was closed, or never opened, is refused with
 *   QUILLON_E_HANDLE: using one after quillon_close, or closing it twice, is an error, not a crash.
 * - The device and its links are process-wide: one host is open at a time in a process.
 * - Operations on a host block the calling thread until they end; one runs at a time on a host
 *   (another thread that starts one meanwhile gets QUILLON_E_BUSY). quillon_cancel and
 *   quillon_close may be called from any thread at any time, except from inside a callback.
 * - Callbacks must not call back into this interface, except quillon_cancel from a progress
 *   callback; a call that should not come from a callback is refused with QUILLON_E_BUSY.
 */
#ifndef QUILLON_C_H
#define QUILLON_C_H

#include <stddef.h>

#include "quillon_c_version.h" /* QUILLON_VERSION_MAJOR, _MINOR, _PATCH and QUILLON_VERSION_STRING */

#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(QUILLON_BUILDING_LIBRARY)
#define QUILLON_C_API __declspec(dllexport)
#elif defined(QUILLON_STATIC)
#define QUILLON_C_API
#else
#define QUILLON_C_API __declspec(dllimport)
#endif
#else
#define QUILLON_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Results ---------------------------------------------------------------------------------- */

enum quillon_result {
    QUILLON_OK = 0,
    QUILLON_E_ARGUMENT = -1,   /* an argument is invalid: a null pointer, a kind out of range,
                                  a device name of the wrong length, a settings size unknown */
    QUILLON_E_HANDLE = -2,     /* the host handle is not open: closed already, or never opened */
    QUILLON_E_BUSY = -3,       /* another operation runs on the host, another host is open, or
                                  the call came from inside a callback */
    QUILLON_E_LINK = -4,       /* the link cannot be set up: settings refused, port taken */
    QUILLON_E_NO_DEVICE = -5,  /* no device came within the wait, or none is linked */
    QUILLON_E_REFUSED = -6,    /* the device refused the request */
    QUILLON_E_NO_ANSWER = -7,  /* the device did not answer the request */
    QUILLON_E_BROKEN_OFF = -8, /* a transfer broke off: the device stopped acknowledging or
                                  sending, or sent a damaged block */
    QUILLON_E_TIMEOUT = -9,    /* the transfer's time-out passed before it ended */
    QUILLON_E_CANCELLED = -10, /* quillon_cancel or quillon_close ended the operation */
    QUILLON_E_FILE = -11,      /* a local file or folder cannot be read or written, or an archive
                                  changed while it was uploaded (the device keeps what it had) */
    QUILLON_E_ARCHIVE = -12,   /* not a zip archive, a damaged one, or one that does not unpack
                                  into the folder */
    QUILLON_E_PACKAGE = -13,   /* the settings package is incomplete */
    QUILLON_E_INTERNAL = -14   /* out of memory, or a fault in the library */
};

/* A sentence naming the code ("the device refused the request"); never NULL, also for unknown
 * codes. The text is static. Thread-safe. */
QUILLON_C_API const char* quillon_strerror(int result);

/* What went wrong in the calling thread's last call that failed, with the names and reasons
 * involved ("cannot pack /data/pkg: AB12.ORI cannot be read: Permission denied"); "" when the
 * thread has had no failure. Valid until the thread's next call into this interface. Thread-safe. */
QUILLON_C_API const char* quillon_last_error(void);

/* The library's version, "MAJOR.MINOR.PATCH", as built; compare with QUILLON_VERSION_STRING to
 * find a host running against another build than it was compiled with. Thread-safe. */
QUILLON_C_API const char* quillon_version(void);

/* ---- Diagnostics ------------------------------------------------------------------------------ */

enum quillon_log_level {
    QUILLON_LOG_ERROR = 0,   /* something failed that the caller will hear of, with the reason */
    QUILLON_LOG_WARNING = 1, /* something was refused or went wrong and was handled */
    QUILLON_LOG_INFO = 2,    /* a device came or went */
    QUILLON_LOG_DEBUG = 3    /* the protocol's traffic, line by line */
};

/* Receives one diagnostic message, without its line end. Called on whichever thread logs: the
 * link threads and the threads that call into this interface. message is valid for the call only. */
typedef void (*quillon_log_fn)(int level, const char* message, void* user);

/* Sends the library's diagnostics at levels up to max_level to fn, process-wide, instead of
 * standard output, where they go without a callback. fn NULL goes back to standard output.
 * Thread-safe; once it returns, the callback it replaced is no longer called. */
QUILLON_C_API int quillon_set_log(quillon_log_fn fn, int max_level, void* user);

/* ---- Opening a host --------------------------------------------------------------------------- */

enum quillon_link { QUILLON_LINK_SERIAL = 0, QUILLON_LINK_TCP = 1 };

/* Where, and from whom, the library takes the device. Fill it with quillon_link_settings_init,
 * then change what differs: the size field tells the library which fields the host knows of, so
 * that a host built against this header keeps working with later versions. The settings are
 * copied by quillon_open; the strings need live only as long as that call. */
typedef struct quillon_link_settings {
    size_t size;                      /* sizeof(quillon_link_settings), set by the init */
    int listen_tcp;                   /* nonzero (default): listen for the device on TCP */
    const char* listen_address;       /* local address: "0.0.0.0" (default, every IPv4 interface),
                                         "::" or one interface's address */
    int port;                         /* 8234 by default; 0 takes a free port (quillon_listening_port) */
    const char* const* allowed_peers; /* addresses and networks that may connect ("10.0.0.5",
                                         "192.168.7.0/24", "fd00::/8"); NULL: anyone */
    size_t allowed_peer_count;
    int search_every_serial_port;    /* nonzero: search every serial port of the computer */
    const char* const* serial_ports; /* otherwise search only these ("/dev/ttyUSB0", "COM3");
                                        none by default, so no serial port is opened unasked */
    size_t serial_port_count;
} quillon_link_settings;

/* The defaults above. Thread-safe. */
QUILLON_C_API void quillon_link_settings_init(quillon_link_settings* settings);

typedef struct quillon_host quillon_host;

/* Starts the links that settings name (NULL: the defaults) and returns the host in *host.
 * QUILLON_E_LINK when the settings are refused or the TCP port cannot be listened on,
 * QUILLON_E_BUSY when a host is open already. Thread-safe. */
QUILLON_C_API int quillon_open(const quillon_link_settings* settings, quillon_host** host);

/* Cancels the operation running on the host, if any, waits for it to return, stops the links and
 * frees the host. The handle is refused from then on. Thread-safe; not from inside a callback. */
QUILLON_C_API int quillon_close(quillon_host* host);

/* The TCP port the host listens on, 0 when it does not listen. Thread-safe. */
QUILLON_C_API int quillon_listening_port(quillon_host* host, int* port);

/* Waits up to timeout_ms milliseconds for a device on either link; *link (may be NULL) then says
 * which: QUILLON_LINK_TCP or QUILLON_LINK_SERIAL. Returns at once when a device is linked already.
 * The first link a device shows up on carries every operation until the host closes.
 * QUILLON_E_NO_DEVICE when none came. An operation: one at a time on a host. */
QUILLON_C_API int quillon_wait_for_device(quillon_host* host, long timeout_ms, int* link);

/* The serial port that carries the device ("/dev/ttyUSB0"), copied into name (size bytes, NUL
 * included). QUILLON_E_NO_DEVICE when the device is not on a serial port; QUILLON_E_ARGUMENT when
 * name is too small. Thread-safe. */
QUILLON_C_API int quillon_serial_port(quillon_host* host, char* name, size_t size);

/* ---- Transfers -------------------------------------------------------------------------------- */

/* Progress of a transfer in percent: rising, each value once, ending at 100 when the transfer
 * completes. Called on the thread that called quillon_upload or quillon_download, from inside that
 * call, so that the host needs no lock for what it does here. */
typedef void (*quillon_progress_fn)(int percent, void* user);

/* Sends source to the device as file kind `kind` (0 to 255): a zip archive, or a settings package
 * folder, which is checked and packed first (QUILLON_E_PACKAGE when incomplete). Returns once the
 * device has taken the last block and still answers. timeout_ms bounds the whole transfer (0: no
 * bound; the transfer still ends when the device stops acknowledging for a second). progress may
 * be NULL. An operation: one at a time on a host. */
QUILLON_C_API int quillon_upload(quillon_host* host, const char* source, int kind, long timeout_ms,
                                 quillon_progress_fn progress, void* user);

/* Brings the device's archive of kind `kind` (0 to 255) into the file archive and unpacks it into
 * folder, which must exist. The archive is replaced only once the download is whole and unpacked;
 * on any failure both are left as they were. timeout_ms bounds the whole transfer (0: no bound; the
 * transfer still ends when the device stops sending for five seconds). progress may be NULL. An operation:
 * one at a time on a host. */
QUILLON_C_API int quillon_download(quillon_host* host, const char* archive, const char* folder, int kind,
                                   long timeout_ms, quillon_progress_fn progress, void* user);

/* Ends the upload or download running on the host; it returns QUILLON_E_CANCELLED, having left
 * nothing half-written: the archive and folder of a download are as they were. Nothing happens
 * when no transfer runs. Thread-safe, also from a progress callback. */
QUILLON_C_API int quillon_cancel(quillon_host* host);

/* ---- Device requests -------------------------------------------------------------------------- */

/* The device's version of file kind `kind` (0, 1 or 2) into *version. Takes about two seconds. An operation:
 * one at a time on a host. */
QUILLON_C_API int quillon_read_version(quillon_host* host, int kind, int* version);

/* Stores version (0 or more) for file kind `kind` (0, 1 or 2) on the device. An operation: one at a time on a
 * host. */
QUILLON_C_API int quillon_write_version(quillon_host* host, int kind, int version);

/* Writes the device record: name (exactly 12 characters, such as the device serial number) with
 * this computer's current date and time, in UTC. The device does not answer it. An operation: one at a time
 * on a host. */
QUILLON_C_API int quillon_write_record(quillon_host* host, const char* name);

/* QUILLON_OK when the device answers a probe within half a second, QUILLON_E_NO_ANSWER if not. An operation:
 * one at a time on a host. */
QUILLON_C_API int quillon_probe(quillon_host* host);

/* Asks the device for its directory name and makes sure a folder of that name exists in folder;
 * *existed (may be NULL) says whether it was there already. The name goes into name (size bytes,
 * NUL included; name may be NULL). Takes one and a half seconds or more. An operation: one at a time on a
 * host. */
QUILLON_C_API int quillon_device_directory(quillon_host* host, const char* folder, int* existed, char* name,
                                           size_t size);

/* ---- Packages on disk (no host needed; thread-safe on different folders) ---------------------- */

/* Packs the settings package in folder into a new zip archive, which replaces archive only once it
 * is whole. Packs the regular files directly in folder; a link among them is refused. */
QUILLON_C_API int quillon_pack(const char* folder, const char* archive);

/* Unpacks archive into folder, which must exist: every entry, or nothing at all. */
QUILLON_C_API int quillon_unpack(const char* archive, const char* folder);

/* Checks the settings package in folder: QUILLON_OK when complete, QUILLON_E_PACKAGE when a piece
 * is missing. The problems, one line each ending in '\n', go into problems (size bytes, NUL
 * included; cut at a line when too small; may be NULL). An incomplete package also gets them in
 * "CheckSetInfo.TXT" inside the folder, when it can be written there. */
QUILLON_C_API int quillon_check(const char* folder, char* problems, size_t size);

/* Copies the package in folder package into a folder under root named after the device serial
 * number its description names, unless that folder exists already; *created (may be NULL) says
 * whether it was made now. */
QUILLON_C_API int quillon_repair(const char* root, const char* package, int* created);

#ifdef __cplusplus
}
#endif

#endif /* QUILLON_C_H */
