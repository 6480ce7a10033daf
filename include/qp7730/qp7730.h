/*
 * qp7730.h - a C interface to the QP7730 e-paper display controller.
 *
 * The library opens the controller once and then loads pictures, fills and refreshes on
 * demand. It runs the same code as the qp7730 command-line tool: the same discovery, the
 * same picture decoding, fitting and grey conversion as "qp7730 -load" (and other fits on
 * request, qp7730_fit), the same area transfer and flash upgrade. A refresh is checked more
 * strictly than "qp7730 -display" checks it: clipped to the panel, never moved, in a mode
 * the controller has (qp7730_display).
 *
 * Conventions
 *   - Every function that can fail returns an int: QP7730_OK (0) or a negative
 *     QP7730_ERR_* code. qp7730_strerror() names a code; qp7730_last_message() gives the
 *     details of the calling thread's last failure.
 *   - The library never prints, never ends the process and lets no C++ exception out.
 *   - A request that is refused (QP7730_ERR_ARGUMENT, QP7730_ERR_FILE, QP7730_ERR_PICTURE,
 *     QP7730_ERR_FILE_REFUSED, QP7730_ERR_UNSUPPORTED, QP7730_ERR_BUSY) sends nothing to
 *     the controller.
 *   - Pointers: the library never keeps a pointer the caller passes beyond the call, and
 *     never frees one. Texts it returns are owned by the library; how long each stays
 *     valid is stated with its function.
 *
 * Threads and handles
 *   - One process holds at most one open controller at a time (the command code keeps
 *     the open device in process-wide state). qp7730_open while one is open returns
 *     QP7730_ERR_BUSY and leaves the open one untouched. Open, use, close, open again is
 *     fine.
 *   - Opening takes the controller's run lock, the same lock every run of the qp7730 tool
 *     takes: while the library holds the controller, a tool run on it waits its turn (up
 *     to QP7730_LOCK_WAIT seconds) and then gives up without sending anything; the other
 *     way round, qp7730_open waits up to lock_wait_seconds. Closing releases the lock.
 *   - A handle may be used from any thread. Calls on it are serialised: a call made while
 *     another thread's call is running waits for it to finish. qp7730_close waits the
 *     same way; after it returns the handle is gone and must not be used by any thread.
 *   - The upgrade's progress callback runs on the thread that called qp7730_upgrade. A
 *     library call made from inside the callback returns QP7730_ERR_BUSY.
 *   - qp7730_version, qp7730_strerror and qp7730_last_message may be called at any time
 *     from any thread.
 *
 * Coordinates are pixels of the panel, (0, 0) at the top left. The controller's image
 * buffer holds one byte of grey (0 black .. 255 white) per panel pixel; loading and
 * filling write to that buffer, and only qp7730_display shows it on the panel.
 */
#ifndef QP7730_QP7730_H
#define QP7730_QP7730_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(QP7730_BUILDING_SHARED)
#define QP7730_API __declspec(dllexport)
#elif defined(QP7730_SHARED)
#define QP7730_API __declspec(dllimport)
#else
#define QP7730_API
#endif
#elif defined(__GNUC__)
#define QP7730_API __attribute__((visibility("default")))
#else
#define QP7730_API
#endif

/* Version of this interface. The major number changes when a program built against an
 * earlier version could break; the minor number when functions or codes are added. */
#define QP7730_VERSION_MAJOR 1
#define QP7730_VERSION_MINOR 2
#define QP7730_VERSION_PATCH 0
#define QP7730_VERSION (QP7730_VERSION_MAJOR * 10000 + QP7730_VERSION_MINOR * 100 + QP7730_VERSION_PATCH)

/* The version of the library in use, in the form of QP7730_VERSION. A program can compare
 * it with the QP7730_VERSION it was built with: the majors must be equal. */
QP7730_API int qp7730_version(void);

/* Result codes. */
#define QP7730_OK 0
#define QP7730_ERR_ARGUMENT (-1)      /* an argument is refused: null pointer or handle, empty or
                                         negative rectangle, a display mode the controller lacks,
                                         unknown upgrade type, pixel format or fit, row stride too
                                         small */
#define QP7730_ERR_NOT_FOUND (-2)     /* no controller answered at the route (or on any route) */
#define QP7730_ERR_BUSY (-3)          /* the controller is held: already open in this process,
                                         held by another program past the lock wait, or a call
                                         from inside the progress callback */
#define QP7730_ERR_IO (-4)            /* a command failed on its way to or in the controller */
#define QP7730_ERR_FILE (-5)          /* a file that cannot be opened or read */
#define QP7730_ERR_PICTURE (-6)       /* a file or pixels that give no picture: not BMP, JPEG,
                                         PNG, GIF or TIFF, damaged, or of a size that is
                                         refused */
#define QP7730_ERR_FILE_REFUSED (-7)  /* an upgrade file of the wrong kind: firmware not ".bin" or
                                         without the firmware header, waveform not ".wbf", or
                                         longer than the flash can take at its address */
#define QP7730_ERR_UNSUPPORTED (-8)   /* the controller or this build cannot do it (no waveform
                                         support in the firmware; a route not built in) */
#define QP7730_ERR_NO_MEMORY (-9)     /* host memory could not be had */
#define QP7730_ERR_VERIFY (-10)       /* upgrade: the flash did not read back as written; the
                                         firmware header was left invalid (see qp7730_upgrade) */
#define QP7730_ERR_INTERNAL (-11)     /* an unexpected failure inside the library */

/* A short English text for a result code; "unknown error" for codes not listed above.
 * Static storage: never freed, never null. */
QP7730_API const char* qp7730_strerror(int code);

/* Details of this thread's last call into the library when it failed. A failure that
 * has a cause of its own is told in one line of words, with the system's error name and
 * number where there is one ("photo.jpg: cannot open the file: No such file or directory
 * (ENOENT, 2)", "reading the status of command 0x94 failed: Connection reset by peer
 * (ECONNRESET, 104); the controller is gone"); a refusal gives the texts the tool would
 * have printed, one per line (for instance "Wrong FW Header!"). Empty after a call that
 * succeeded. Owned by the library, one per thread; valid until this thread's next call
 * into the library. Never null. */
QP7730_API const char* qp7730_last_message(void);

/* An open controller. Opaque; created by qp7730_open, freed by qp7730_close. */
typedef struct qp7730 qp7730;

/* Lock wait that stands for the tool's own rule: QP7730_LOCK_WAIT seconds when set to a
 * number, else 30. */
#define QP7730_LOCK_WAIT_DEFAULT (-1)

/* One controller attached to this machine, as qp7730_list finds it. Texts are
 * terminated, empty when not known. */
typedef struct qp7730_entry {
    char route[256];   /* what qp7730_open takes to open this one */
    char kind[16];     /* "usb", "drive" or "emulator" */
    int usb_bus;       /* USB: the bus number; 0 otherwise */
    char usb_port[32]; /* USB: the ports from the root hub to the device, "4.2" */
    char drive[32];    /* the disk the system made of it, "/dev/sdb" (when usb-storage holds it) */
    char identity[29]; /* the INQUIRY identity the system recorded ("Generic Storage RamDisc 1.00") */
} qp7730_entry;

/* Lists the controllers attached, in the order qp7730_open(NULL, ...) tries them: on USB
 * every device with the controller's ids, each drive whose recorded identity is the
 * controller's, and the emulator at its usual address when a socket is there. Nothing is
 * sent to any of them, no drive is opened and nothing is claimed, so a controller that
 * another program uses is listed too. *count receives the number found; the first
 * min(*count, capacity) are written to entries (which may be NULL when capacity is 0).
 * Errors: ARGUMENT (count NULL, or entries NULL with capacity). */
QP7730_API int qp7730_list(qp7730_entry* entries, unsigned capacity, unsigned* count);

/* Opens the controller and reads its system information and version texts.
 *   route: NULL or "" searches like the tool: USB, then the emulator at its usual address
 *     (QP7730_EMULATOR, ...), then the drives. Otherwise one route only:
 *       "usb"                      the first controller on USB that can be claimed (where built)
 *       "usb:BUS-PORTS"            the controller at that place on USB, as qp7730_list names it
 *       "/dev/sdX", "X:" or "X"    that drive
 *       "tcp:HOST:PORT"            an emulator over loopback TCP
 *       any other text             the path of an emulator socket
 *   lock_wait_seconds: how long to wait when another program holds the controller; 0
 *     not at all, QP7730_LOCK_WAIT_DEFAULT the tool's rule.
 *   controller: receives the handle (NULL on failure). The caller owns it and releases
 *     it with qp7730_close.
 * Reading the version texts goes through the first 16 bytes of the controller's image
 * buffer; open puts back what they held.
 * Errors: ARGUMENT, NOT_FOUND, BUSY, IO (system information not read in full),
 * UNSUPPORTED, NO_MEMORY. */
QP7730_API int qp7730_open(const char* route, int lock_wait_seconds, qp7730** controller);

/* qp7730_open, with a way to stop the wait for the run lock from another thread (or a
 * signal handler): while *cancel (may be NULL) is non-zero, the wait ends within 20 ms and
 * the open returns QP7730_ERR_BUSY ("waiting for the controller was cancelled"), leaving
 * nothing open and no lock held. The library only reads *cancel, and only during the
 * call. */
QP7730_API int qp7730_open_cancellable(const char* route, int lock_wait_seconds, const volatile int* cancel,
                                       qp7730** controller);

/* Closes the controller, releases its run lock and frees the handle. NULL is accepted.
 * QP7730_OK; QP7730_ERR_BUSY from inside the progress callback (nothing is closed);
 * QP7730_ERR_ARGUMENT for a pointer that is not the open handle. */
QP7730_API int qp7730_close(qp7730* controller);

/* What the controller reported when it was opened. */
typedef struct qp7730_info {
    uint32_t panel_width;          /* pixels */
    uint32_t panel_height;         /* pixels */
    uint32_t image_buffer_address; /* controller memory address of the image buffer */
    uint32_t waveform_address;     /* flash address of the waveform; 0xFFFFFFFF: none */
    char firmware_version[17];     /* text at flash 0x120, up to its first zero byte */
    char lut_version[17];          /* text at flash 0x130, likewise */
    char location[256];            /* where it was found: "emulator PATH", "/dev/sdb", ... */
} qp7730_info;

/* Copies the information into *info (caller's memory). Sends nothing. */
QP7730_API int qp7730_get_info(qp7730* controller, qp7730_info* info);

/* The rectangle a load wrote to the image buffer. */
typedef struct qp7730_area {
    int32_t x, y, width, height;
} qp7730_area;

/* Loads a picture file (BMP, JPEG, PNG, GIF or TIFF, recognised by content) into the image buffer
 * at (x, y). The picture is decoded, fitted and converted to grey exactly as
 * "qp7730 -load" does: larger than the panel in either direction, it is stretched to the
 * panel's size; otherwise it keeps its size. What lies past the panel's right or bottom
 * edge is not sent. At (0, 0) the controller gets the very commands of "qp7730 -load".
 * loaded (may be NULL) receives the rectangle written (width 0 when none).
 * Errors: ARGUMENT (negative x or y), FILE, PICTURE, NO_MEMORY, IO. */
QP7730_API int qp7730_load_file(qp7730* controller, const char* path, int32_t x, int32_t y, qp7730_area* loaded);

/* How a picture is fitted (qp7730_fit.fit). */
#define QP7730_FIT_STRETCH 0 /* the tool's rule: larger than the panel in either direction, the picture
                                is stretched to the panel's size (aspect not kept); otherwise it keeps
                                its size, at (x, y) */
#define QP7730_FIT_CONTAIN 1 /* the whole picture, aspect kept, scaled up or down to the largest size
                                inside the box and centred in it; the rest of the box is filled with
                                the clear grey (white when clear is negative) */
#define QP7730_FIT_COVER 2   /* aspect kept, scaled up or down to cover the box, cut to it around the
                                centre */

/* Options of the qp7730_load_*_fit functions. NULL stands for QP7730_FIT_DEFAULTS, which
 * loads exactly as the functions without options do. */
typedef struct qp7730_fit {
    int fit;         /* QP7730_FIT_STRETCH, QP7730_FIT_CONTAIN or QP7730_FIT_COVER */
    int orient;      /* 0, or a sum of the QP7730_ORIENT_* flags below: how the picture is
                        turned before it is fitted */
    int clear;       /* 0..255: the rest of the panel, outside what the picture (or contain's
                        box) covers, is filled with this grey too, and the rectangle written is
                        the whole panel; negative: the rest is left as it is */
    int32_t width;   /* contain and cover: the box at (x, y), cut to the panel; 0: to the */
    int32_t height;  /*   panel's right or bottom edge. Not used by stretch. */
} qp7730_fit;
#define QP7730_FIT_DEFAULTS {QP7730_FIT_STRETCH, 0, -1, 0, 0}

/* qp7730_fit.orient: first a picture file (or its bytes) is turned upright as its EXIF
 * orientation says (JPEG APP1, PNG eXIf, TIFF's Orientation tag) when QP7730_ORIENT_EXIF is
 * given; then any picture (also pixels) is turned clockwise by at most one of the rotations,
 * then mirrored left to right with QP7730_ORIENT_MIRROR. The fit then fills its box with the
 * turned picture. Other bits are refused (ARGUMENT). Interface 1.1 took any non-zero value as
 * QP7730_ORIENT_EXIF; 1.2 takes 1 so, and the other values as these flags. */
#define QP7730_ORIENT_EXIF 1
#define QP7730_ORIENT_ROTATE_90 2
#define QP7730_ORIENT_ROTATE_180 4
#define QP7730_ORIENT_ROTATE_270 6
#define QP7730_ORIENT_MIRROR 8

/* qp7730_load_file with options. Errors: as qp7730_load_file; ARGUMENT also for an unknown
 * fit, unknown orient bits, a clear grey above 255, a negative box side, or (x, y) off the
 * panel with contain, cover or a clear grey. */
QP7730_API int qp7730_load_file_fit(qp7730* controller, const char* path, int32_t x, int32_t y,
                                    const qp7730_fit* fit, qp7730_area* loaded);

/* Loads a picture file's bytes held in memory (size bytes at data: a whole BMP, JPEG,
 * PNG, GIF or TIFF file), decoded by the same decoders as a file and within the same
 * bounds on memory and work, fitted as fit says (NULL: as qp7730_load_file). The library only reads data,
 * and only during the call.
 * Errors: ARGUMENT (data NULL with size, fit as above), PICTURE, NO_MEMORY, IO. */
QP7730_API int qp7730_load_encoded(qp7730* controller, const void* data, size_t size, int32_t x, int32_t y,
                                   const qp7730_fit* fit, qp7730_area* loaded);

/* Pixel layouts of caller pictures, one pixel after the other within a row. */
#define QP7730_PIXELS_GREY8 1  /* one byte of grey */
#define QP7730_PIXELS_RGB24 2  /* red, green, blue */
#define QP7730_PIXELS_RGBA32 3 /* red, green, blue, alpha (laid over white: a transparent pixel is white) */
#define QP7730_PIXELS_BGR24 4  /* blue, green, red */
#define QP7730_PIXELS_BGRA32 5 /* blue, green, red, alpha (laid over white) */

/* Loads a picture held in the caller's memory, through the same fitting and grey
 * conversion as a decoded file (qp7730_load_file): a width x height picture whose rows
 * start `stride` bytes apart (at least width x the pixel size), in one of the
 * QP7730_PIXELS_* layouts. The library only reads `pixels`, and only during the call.
 * Errors: ARGUMENT, PICTURE (a size the decoders would refuse), NO_MEMORY, IO. */
QP7730_API int qp7730_load_picture(qp7730* controller, const void* pixels, int32_t width, int32_t height,
                                   size_t stride, int format, int32_t x, int32_t y, qp7730_area* loaded);

/* qp7730_load_picture with options (fit NULL: as qp7730_load_picture; QP7730_ORIENT_EXIF
 * does not apply: pixels carry no EXIF). Errors: as qp7730_load_picture and qp7730_load_file_fit. */
QP7730_API int qp7730_load_picture_fit(qp7730* controller, const void* pixels, int32_t width, int32_t height,
                                       size_t stride, int format, int32_t x, int32_t y, const qp7730_fit* fit,
                                       qp7730_area* loaded);

/* Writes 8-bit grey pixels as they are (no fitting, no conversion) to the rectangle of
 * width x height at (x, y): pixel (i, j) of the rectangle is pixels[j * stride + i]. What
 * lies past the panel's right or bottom edge is not sent. loaded as above.
 * Errors: ARGUMENT (null pixels, negative x or y, empty size, stride below width), IO. */
QP7730_API int qp7730_load_pixels(qp7730* controller, const uint8_t* pixels, int32_t width, int32_t height,
                                  size_t stride, int32_t x, int32_t y, qp7730_area* loaded);

/* Fills the rectangle of width x height at (x, y) with one grey value, as
 * "qp7730 -load PIXEL X Y W H" does: what lies past the panel's edge is not sent.
 * Errors: ARGUMENT (negative x or y, empty size), NO_MEMORY, IO. */
QP7730_API int qp7730_fill(qp7730* controller, int32_t x, int32_t y, int32_t width, int32_t height, uint8_t grey);

/* Display modes. The controller numbers its modes itself and reports how many it has
 * (qp7730_display_modes); these are the first three, with what qp7730-emu does for each
 * with the rectangle's image buffer bytes v:
 *   QP7730_MODE_CLEAR   0  clears the rectangle to white (qp7730-emu: every pixel 255)
 *   QP7730_MODE_MONO    1  two levels, the quick update for text and lines (qp7730-emu:
 *                          v < 128 black, else white)
 *   QP7730_MODE_GREY16  2  16 grey levels, the full update for pictures (qp7730-emu:
 *                          (v >> 4) x 17); the mode of the examples and of Python's default
 * qp7730-emu reports 5 modes: also 3, 16 levels without flashing, and 4, two levels, the
 * quickest (the table of its modes and levels: emu/display_modes.h in the sources). */
#define QP7730_MODE_CLEAR 0
#define QP7730_MODE_MONO 1
#define QP7730_MODE_GREY16 2

/* *count receives how many display modes the controller has: modes 0 to *count - 1 are
 * taken by qp7730_display. It is what the controller reports in its system information
 * (word 9), or 16 when that word is 0 or above 256 (a controller that does not say).
 * Sends nothing. */
QP7730_API int qp7730_display_modes(qp7730* controller, unsigned* count);

/* Refreshes the rectangle of the panel from the image buffer in a display mode. The
 * rectangle is clipped to the panel: what lies past the right or bottom edge is not
 * refreshed, and nothing else is (unlike "qp7730 -display", which moves a rectangle that
 * reaches past an edge to x = 0 or y = 0). wait: non-zero asks the controller to finish
 * the refresh before it answers.
 * Errors: ARGUMENT (negative x or y, empty size, a rectangle with no pixel on the panel,
 * a mode the controller does not have: negative, or qp7730_display_modes or more), IO. */
QP7730_API int qp7730_display(qp7730* controller, int32_t x, int32_t y, int32_t width, int32_t height, int mode,
                              int wait);

/* Dithering of the pictures the qp7730_load_file*, qp7730_load_encoded and
 * qp7730_load_picture* functions load (not qp7730_load_pixels, which writes pixels as they
 * are, nor fills): after the fit and the grey conversion, the picture is dithered to the
 * levels display mode `mode` shows, so that a refresh in that mode shows its tones as
 * patterns of those levels. The levels of each mode (emu/display_modes.h): mode 0 shows
 * white (no dithering), 1 and 4 two levels (0 and 255), 2 and 3 sixteen (0, 17, .., 255);
 * other modes of a controller sixteen. The methods:
 *   QP7730_DITHER_NONE       the grey values as they are (the default, the tool's bytes)
 *   QP7730_DITHER_ORDERED    the 4 x 4 Bayer matrix: pixel (x, y) of grey v becomes level
 *                            floor((32 v + (2 B[y % 4][x % 4] + 1) q) / (32 q)) x q, q the
 *                            levels' step (17 or 255), B = {{0,8,2,10},{12,4,14,6},
 *                            {3,11,1,9},{15,7,13,5}}
 *   QP7730_DITHER_DIFFUSION  Floyd-Steinberg, rows from the top, each from the left: a pixel
 *                            takes v + floor((e + 8) / 16) cut to 0..255 (e: the errors it
 *                            received, in sixteenths), becomes the nearest level (halves
 *                            up), and passes the difference on 7 x right, 3 x down left,
 *                            5 x down, 1 x down right
 * A grey that is a level stays as it is. The setting stays until changed.
 * Errors: ARGUMENT (unknown method, a mode the controller does not have). */
#define QP7730_DITHER_NONE 0
#define QP7730_DITHER_ORDERED 1
#define QP7730_DITHER_DIFFUSION 2
QP7730_API int qp7730_set_dither(qp7730* controller, int method, int mode);

/* Changed-area updates. With on non-zero, the handle remembers what its loads and fills
 * put in the image buffer (nothing else writes there while it is open: it holds the run
 * lock), and each later load or fill sends only the smallest rectangle that holds every
 * pixel differing from what the buffer is known to hold; nothing when none differs. The
 * loads' `loaded` then receives the rectangle sent (width 0: nothing changed). What the
 * controller writes there itself (qp7730_library_load, qp7730_library_load_many, the
 * staging of qp7730_upgrade) is forgotten, so the next load sends its whole rectangle
 * again; so is a transfer that failed. It starts knowing nothing: the first load sends
 * all of itself. Off (the default) forgets all and sends every load whole, exactly as
 * "qp7730 -load" does. Memory: two bytes per panel pixel while on.
 * Errors: NO_MEMORY. */
QP7730_API int qp7730_changes_only(qp7730* controller, int on);

/* Refreshes, in a display mode, the smallest rectangle holding everything the handle's
 * loads and fills sent to the image buffer since the last refresh that covered it (by
 * qp7730_display or this call), and all of the panel after qp7730_library_load,
 * qp7730_library_load_many or qp7730_upgrade. Nothing is sent when nothing was written.
 * refreshed (may be NULL) receives the rectangle (width 0: none). Works with changed-area
 * updates on or off. Errors: ARGUMENT (a mode the controller does not have), IO. */
QP7730_API int qp7730_display_changes(qp7730* controller, int mode, int wait, qp7730_area* refreshed);

/* Panel power and VCOM, as "qp7730 -pmic" does, in one command.
 *   power: 0 off, 1 on (other values up to 255 go to the controller as they are),
 *     negative to leave the power as it is.
 *   vcom: 0..65535 to set VCOM, negative to leave it.
 *   vcom_reported (may be NULL): receives the VCOM value the controller answers with.
 * Errors: ARGUMENT (both left, or a value out of range), IO. */
QP7730_API int qp7730_power(qp7730* controller, int power, int vcom, unsigned* vcom_reported);

/* One stored picture of the controller's image library. */
typedef struct qp7730_library_image {
    uint16_t index;          /* its index in the library */
    uint16_t bits_per_pixel; /* of the stored pixels */
    uint16_t width, height;  /* in pixels */
    uint32_t data_offset;    /* where its pixels lie in the library */
} qp7730_library_image;

/* The most pictures one list request returns. */
#define QP7730_LIBRARY_LIST_MAX 255
/* The most pictures one qp7730_library_load_many request loads. */
#define QP7730_LIBRARY_LOAD_MAX 10922

/* Reads the image library's header and list of stored pictures. *count receives the
 * number of pictures the library holds; the first min(*count, capacity,
 * QP7730_LIBRARY_LIST_MAX) of them are written to images (which may be NULL when
 * capacity is 0, and then only the header is read).
 * Errors: ARGUMENT (count NULL, or images NULL with capacity), IO (a reply that did not
 * arrive whole). */
QP7730_API int qp7730_library_list(qp7730* controller, qp7730_library_image* images, unsigned capacity,
                                   unsigned* count);

/* Has the controller load stored picture `index` into its image buffer; show it with
 * qp7730_display. word1 to word3 go to the controller unchanged, their meaning is its own
 * (qp7730-emu reads x, y and a reserved word); width and height give the size to load
 * (qp7730-emu: 0 is the picture's own).
 * Errors: IO (also when the controller refuses the picture or its place). */
QP7730_API int qp7730_library_load(qp7730* controller, uint16_t index, uint16_t word1, uint16_t word2,
                                   uint16_t word3, uint16_t width, uint16_t height);

/* Has the controller load n stored pictures in one request. groups holds n groups of
 * three words, each beginning with a picture's index; the other two are the
 * controller's (qp7730-emu reads x and y). The library only reads groups.
 * Errors: ARGUMENT (groups NULL with n above 0, or n above QP7730_LIBRARY_LOAD_MAX), IO. */
QP7730_API int qp7730_library_load_many(qp7730* controller, const uint16_t* groups, unsigned n);

/* Upgrade progress: phase is "erase", "write", "verify" or "read"; done of total bytes
 * of that phase. The text is valid during the call only. */
typedef void (*qp7730_progress_fn)(void* user_data, const char* phase, uint32_t done, uint32_t total);

/* Upgrade types. */
#define QP7730_UPGRADE_FIRMWARE 1 /* a ".bin" file that starts with the firmware header, to flash 0 */
#define QP7730_UPGRADE_WAVEFORM 2 /* a ".wbf" file, to the waveform address */

/* Writes a firmware or waveform file into the controller's flash and reads it back, as
 * "qp7730 -upgrade TYPE FILE" does. A firmware's header is written last, only once the
 * rest read back equal; a failed firmware upgrade leaves a header the boot code rejects
 * and reads it back to show it, and when it cannot, qp7730_last_message() says so ("Flash
 * header could not be invalidated: ..."). SIGINT, SIGTERM and SIGHUP (on Windows Ctrl-C,
 * Ctrl-Break and closing the console) that arrive from the first erase on wait until the
 * upgrade has finished and then go to what the program had in place: its own handler, or
 * by default the end of the process. SIGKILL cannot be held off.
 * Afterwards the controller must be reset for the new firmware or waveform to take
 * effect. progress (may be NULL) is called with user_data after every erase block and
 * every 32 KiB piece.
 * Errors: ARGUMENT (type), FILE, FILE_REFUSED, UNSUPPORTED, NO_MEMORY, VERIFY, IO. */
QP7730_API int qp7730_upgrade(qp7730* controller, int type, const char* path, qp7730_progress_fn progress,
                              void* user_data);

#ifdef __cplusplus
}
#endif

#endif /* QP7730_QP7730_H */
