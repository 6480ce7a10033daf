/* A stand-in for the kernel's SCSI disk and usb-storage driver, loaded with LD_PRELOAD, so
 * that the drive route of qp7730 runs against qp7730-emu on a machine without the device.
 *
 *   QP7730_SG_DRIVE=/dev/sdX    the one SCSI disk that exists; opening any other /dev/sd?
 *                               fails with ENOENT (real disks of the machine are hidden)
 *   QP7730_SG_EMULATOR=PATH     the emulator's AF_UNIX SOCK_SEQPACKET socket; opening the
 *                               drive connects to it, and fails with ENXIO when nobody listens
 *   QP7730_SG_TIMEOUT_MS=N      replaces the request's time-out (tests keep it short)
 *   QP7730_SG_VENDOR_ERRNO=N    every SG_IO whose block is not an INQUIRY fails with errno
 *                               N, as the kernel answers EPERM (1) to a user without
 *                               CAP_SYS_RAWIO
 *
 * The drive's fd is a file of its own beside the socket (PATH.sdX, made when missing), so
 * that flock on it is shared by every process that opens the drive, as on a disk's node;
 * SG_IO on it is carried over the socket the way usb-storage
 * carries it over the bulk pipes: a 31-byte command wrapper, the data phase in messages of
 * at most 65,536 bytes, a 13-byte status wrapper. The outcome is reported the way the SCSI
 * layer reports it:
 *   - status passed: status GOOD, resid the bytes not moved (a short data-in phase or the
 *     wrapper's residue, whichever is larger);
 *   - status failed: CHECK CONDITION (masked status 0x01, driver status DRIVER_SENSE) with
 *     fixed-format sense data when the caller gave room for it;
 *   - the exchange broke (time-out, connection lost, a status wrapper of the wrong size,
 *     signature or tag, a phase error, a data message longer than asked for): host status
 *     DID_TIME_OUT or DID_ERROR, and the device is reset (the socket is connected afresh, so
 *     the next request starts clean); when the reset finds nobody, the device is gone and
 *     every later request gets DID_NO_CONNECT at once.
 * The caller runs on one thread; the state here has no lock. */
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

enum {
    kCbwSize = 31,
    kCswSize = 13,
    kMaxMessage = 0x10000,
    kInquiryOpcode = 0x12,
    kSenseSize = 18,
    kMaxDrives = 4,
};

#define CBW_SIGNATURE 0x43425355u /* "USBC" */
#define CSW_SIGNATURE 0x53425355u /* "USBS" */

/* Host and driver status values of the SCSI layer (not in the user-space headers). */
#define DID_NO_CONNECT 0x01
#define DID_TIME_OUT 0x03
#define DID_ERROR 0x07
#define DRIVER_SENSE 0x08
#define STATUS_CHECK_CONDITION 0x02

/* The block layer's time-out rules for SG_IO: 0 means 60 s, and nothing is shorter than 7 s. */
#define DEFAULT_TIMEOUT_MS 60000
#define MIN_TIMEOUT_MS 7000

struct drive {
    int fd;   /* the caller's fd; -1: slot free */
    int sock; /* -1 once the device is gone */
    uint32_t tag;
};

static struct drive g_drives[kMaxDrives] = {{-1, -1, 0}, {-1, -1, 0}, {-1, -1, 0}, {-1, -1, 0}};

static void* next_symbol(const char* name) { return dlsym(RTLD_NEXT, name); }

#define REAL(name, type) ((type)next_symbol(#name))

static void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}

static uint32_t get_le32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static int64_t now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static long env_number(const char* name, long fallback) {
    const char* text = getenv(name);
    if (text == NULL || *text == '\0') return fallback;
    char* end = NULL;
    const long v = strtol(text, &end, 10);
    return *end == '\0' && v >= 0 ? v : fallback;
}

/* "/dev/sd" and one letter: the names the drive route tries. */
static int is_scsi_disk(const char* path) {
    return path != NULL && strncmp(path, "/dev/sd", 7) == 0 && path[7] >= 'a' && path[7] <= 'z' && path[8] == '\0';
}

static struct drive* find_drive(int fd) {
    if (fd < 0) return NULL;
    for (int i = 0; i < kMaxDrives; ++i) {
        if (g_drives[i].fd == fd) return &g_drives[i];
    }
    return NULL;
}

static int connect_emulator(void) {
    const char* path = getenv("QP7730_SG_EMULATOR");
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    if (path == NULL || *path == '\0' || strlen(path) >= sizeof addr.sun_path) return -1;
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, strlen(path) + 1);
    const int sock = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    if (connect(sock, (const struct sockaddr*)&addr, sizeof addr) != 0) {
        REAL(close, int (*)(int))(sock);
        return -1;
    }
    return sock;
}

/* Opens the configured drive: the fd of its file beside the socket, tied to a fresh
 * connection. */
static int open_drive(const char* path, int flags) {
    struct drive* slot = NULL;
    for (int i = 0; slot == NULL && i < kMaxDrives; ++i) {
        if (g_drives[i].fd < 0) slot = &g_drives[i];
    }
    if (slot == NULL) {
        errno = EMFILE;
        return -1;
    }
    const int sock = connect_emulator();
    if (sock < 0) {
        errno = ENXIO;
        return -1;
    }
    char node[sizeof ((struct sockaddr_un*)0)->sun_path + 8];
    snprintf(node, sizeof node, "%s.%s", getenv("QP7730_SG_EMULATOR"), path + 5);
    const int fd = REAL(open, int (*)(const char*, int, ...))(node, O_RDWR | O_CREAT | O_NOFOLLOW | (flags & O_CLOEXEC),
                                                              0600);
    if (fd < 0) {
        const int e = errno;
        REAL(close, int (*)(int))(sock);
        errno = e;
        return -1;
    }
    slot->fd = fd;
    slot->sock = sock;
    slot->tag = 0;
    return fd;
}

/* What happens to a path the caller opens: 1 the drive, -1 a hidden disk, 0 not ours. */
static int classify(const char* path) {
    if (!is_scsi_disk(path)) return 0;
    const char* drive = getenv("QP7730_SG_DRIVE");
    return drive != NULL && strcmp(drive, path) == 0 ? 1 : -1;
}

static int open_mode(int flags, va_list ap) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, int) : 0;
}

static int intercepted_open(const char* path, int flags, int* handled) {
    *handled = classify(path);
    if (*handled > 0) return open_drive(path, flags);
    if (*handled < 0) errno = ENOENT;
    return -1;
}

#define OPEN_INTERPOSER(name)                                                             \
    int name(const char* path, int flags, ...) {                                          \
        va_list ap;                                                                       \
        va_start(ap, flags);                                                              \
        const int mode = open_mode(flags, ap);                                            \
        va_end(ap);                                                                       \
        int handled;                                                                      \
        const int fd = intercepted_open(path, flags, &handled);                           \
        if (handled) return fd;                                                           \
        return REAL(name, int (*)(const char*, int, ...))(path, flags, mode);             \
    }

#define OPENAT_INTERPOSER(name)                                                           \
    int name(int dirfd, const char* path, int flags, ...) {                               \
        va_list ap;                                                                       \
        va_start(ap, flags);                                                              \
        const int mode = open_mode(flags, ap);                                            \
        va_end(ap);                                                                       \
        int handled;                                                                      \
        const int fd = intercepted_open(path, flags, &handled);                           \
        if (handled) return fd;                                                           \
        return REAL(name, int (*)(int, const char*, int, ...))(dirfd, path, flags, mode); \
    }

OPEN_INTERPOSER(open)
OPEN_INTERPOSER(open64)
OPENAT_INTERPOSER(openat)
OPENAT_INTERPOSER(openat64)

/* The fortified entry points glibc's headers may route open through. */
int __open_2(const char* path, int flags) {
    int handled;
    const int fd = intercepted_open(path, flags, &handled);
    return handled ? fd : REAL(__open_2, int (*)(const char*, int))(path, flags);
}

int __open64_2(const char* path, int flags) {
    int handled;
    const int fd = intercepted_open(path, flags, &handled);
    return handled ? fd : REAL(__open64_2, int (*)(const char*, int))(path, flags);
}

int close(int fd) {
    struct drive* d = find_drive(fd);
    if (d != NULL) {
        if (d->sock >= 0) REAL(close, int (*)(int))(d->sock);
        d->fd = -1;
        d->sock = -1;
    }
    return REAL(close, int (*)(int))(fd);
}

/* ---- one exchange ------------------------------------------------------------------ */

enum outcome { kDone, kTimedOut, kBroken };

static int wait_for(int sock, short events, int64_t deadline) {
    for (;;) {
        const int64_t left = deadline - now_ms();
        if (left <= 0) return 0;
        struct pollfd p = {sock, events, 0};
        const int rc = poll(&p, 1, (int)left);
        if (rc > 0) return 1;
        if (rc == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

static enum outcome send_message(int sock, const void* data, size_t length, int64_t deadline) {
    for (;;) {
        const int ready = wait_for(sock, POLLOUT, deadline);
        if (ready == 0) return kTimedOut;
        if (ready < 0) return kBroken;
        const ssize_t n = send(sock, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == (ssize_t)length) return kDone;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        return kBroken;
    }
}

/* One message into buf; *length receives its real length, which may exceed cap. */
static enum outcome receive_message(int sock, void* buf, size_t cap, size_t* length, int64_t deadline) {
    for (;;) {
        const int ready = wait_for(sock, POLLIN, deadline);
        if (ready == 0) return kTimedOut;
        if (ready < 0) return kBroken;
        const ssize_t n = recv(sock, buf, cap, MSG_TRUNC | MSG_DONTWAIT);
        if (n > 0) {
            *length = (size_t)n;
            return kDone;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        return kBroken; /* 0: the device went away */
    }
}

/* Command wrapper, data phase, status wrapper. On kDone *csw holds a status wrapper whose
 * size, signature and tag are right; *moved counts the data bytes that moved. */
static enum outcome exchange(struct drive* d, const sg_io_hdr_t* io, uint32_t length, uint8_t* csw, uint32_t* moved,
                             int64_t deadline) {
    const int in = io->dxfer_direction == SG_DXFER_FROM_DEV;
    uint8_t cbw[kCbwSize];
    memset(cbw, 0, sizeof cbw);
    const uint32_t tag = ++d->tag;
    put_le32(cbw, CBW_SIGNATURE);
    put_le32(cbw + 4, tag);
    put_le32(cbw + 8, length);
    cbw[12] = in ? 0x80 : 0x00;
    cbw[14] = io->cmd_len;
    memcpy(cbw + 15, io->cmdp, io->cmd_len);

    enum outcome r = send_message(d->sock, cbw, sizeof cbw, deadline);
    if (r != kDone) return r;

    uint8_t* data = io->dxferp;
    *moved = 0;
    while (*moved < length) {
        const size_t piece = length - *moved < kMaxMessage ? length - *moved : kMaxMessage;
        if (in) {
            size_t got = 0;
            r = receive_message(d->sock, data + *moved, piece, &got, deadline);
            if (r != kDone) return r;
            if (got > piece) return kBroken; /* babble: more than the transfer asked for */
            *moved += (uint32_t)got;
            if (got < piece) break; /* a short transfer ends the data phase */
        } else {
            r = send_message(d->sock, data + *moved, piece, deadline);
            if (r != kDone) return r;
            *moved += (uint32_t)piece;
        }
    }

    size_t got = 0;
    r = receive_message(d->sock, csw, kCswSize, &got, deadline);
    if (r != kDone) return r;
    if (got != kCswSize || get_le32(csw) != CSW_SIGNATURE || get_le32(csw + 4) != tag) return kBroken;
    return kDone;
}

/* After a broken exchange usb-storage resets the device; here the connection starts over. */
static void reset_device(struct drive* d) {
    REAL(close, int (*)(int))(d->sock);
    d->sock = connect_emulator();
}

/* The sense that the driver's automatic REQUEST SENSE would bring back. The emulated
 * controller does not answer REQUEST SENSE, and asking it would shift the command count its
 * fault options go by, so the data is made here: ABORTED COMMAND, no further detail. */
static void give_sense(sg_io_hdr_t* io) {
    if (io->sbp == NULL || io->mx_sb_len == 0) return;
    uint8_t sense[kSenseSize];
    memset(sense, 0, sizeof sense);
    sense[0] = 0x70;  /* current error, fixed format */
    sense[2] = 0x0B;  /* ABORTED COMMAND */
    sense[7] = kSenseSize - 8;
    const unsigned n = io->mx_sb_len < kSenseSize ? io->mx_sb_len : kSenseSize;
    memcpy(io->sbp, sense, n);
    io->sb_len_wr = (unsigned char)n;
}

static int sg_io(struct drive* d, sg_io_hdr_t* io) {
    if (io == NULL) {
        errno = EFAULT;
        return -1;
    }
    if (io->interface_id != 'S') {
        errno = ENOSYS;
        return -1;
    }
    const int dir = io->dxfer_direction;
    if (io->cmdp == NULL || io->cmd_len < 6 || io->cmd_len > 16 || io->iovec_count != 0 ||
        (dir != SG_DXFER_NONE && dir != SG_DXFER_TO_DEV && dir != SG_DXFER_FROM_DEV) ||
        (dir != SG_DXFER_NONE && io->dxfer_len != 0 && io->dxferp == NULL)) {
        errno = EINVAL;
        return -1;
    }
    const long refused = env_number("QP7730_SG_VENDOR_ERRNO", 0);
    if (refused > 0 && io->cmdp[0] != kInquiryOpcode) {
        errno = (int)refused;
        return -1;
    }

    io->status = 0;
    io->masked_status = 0;
    io->msg_status = 0;
    io->sb_len_wr = 0;
    io->host_status = 0;
    io->driver_status = 0;
    io->resid = 0;
    io->duration = 0;
    io->info = SG_INFO_OK;

    const uint32_t length = dir == SG_DXFER_NONE ? 0 : io->dxfer_len;
    const int64_t start = now_ms();
    long timeout = io->timeout == 0 ? DEFAULT_TIMEOUT_MS : (long)io->timeout;
    if (timeout < MIN_TIMEOUT_MS) timeout = MIN_TIMEOUT_MS;
    timeout = env_number("QP7730_SG_TIMEOUT_MS", timeout);

    if (d->sock < 0) {
        io->host_status = DID_NO_CONNECT;
        io->resid = (int)length;
        io->info = SG_INFO_CHECK;
        return 0;
    }

    uint8_t csw[kCswSize];
    uint32_t moved = 0;
    const enum outcome r = exchange(d, io, length, csw, &moved, start + timeout);
    io->duration = (unsigned)(now_ms() - start);
    uint32_t resid = length - moved;
    if (r == kDone && csw[12] <= 1) {
        uint32_t residue = get_le32(csw + 8);
        if (residue > length) residue = length;
        if (residue > resid) resid = residue;
        io->resid = (int)resid;
        if (csw[12] == 1) {
            io->status = STATUS_CHECK_CONDITION;
            io->masked_status = STATUS_CHECK_CONDITION >> 1;
            io->driver_status = DRIVER_SENSE;
            give_sense(io);
            io->info = SG_INFO_CHECK;
        }
        return 0;
    }
    /* A phase error or an unknown status is a transport failure, like a broken exchange. */
    io->host_status = r == kTimedOut ? DID_TIME_OUT : DID_ERROR;
    io->resid = (int)resid;
    io->info = SG_INFO_CHECK;
    reset_device(d);
    return 0;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    struct drive* d = find_drive(fd);
    if (d == NULL) return REAL(ioctl, int (*)(int, unsigned long, ...))(fd, request, arg);
    if (request == SG_IO) return sg_io(d, (sg_io_hdr_t*)arg);
    errno = ENOTTY;
    return -1;
}
