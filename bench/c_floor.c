/* The floor for bench_bus_rate.py: the least a client can do to drive the same load as the
 * module through the same emulated device, in plain C on libusb-1.0.
 *
 * One reader thread takes IN packets (synchronous interrupt transfers, 50 ms time-out, as
 * the module's reader), splits them into records and checks that each channel's bytes
 * count up by one (mod 256), which is what the emulator's stream source sends. One writer
 * thread per channel sends full data packets (62 bytes) with synchronous 100 ms transfers,
 * as the module's writes do.
 *
 * Built by the benchmark as a shared library and called through ctypes: the emulator's
 * ioctl handler lives in the process that made the testbed, so the client must run in that
 * process too. ctypes releases the GIL for each call and these threads never touch Python.
 *
 *   cc -O2 -shared -fPIC -o libc_floor.so c_floor.c $(pkg-config --cflags --libs libusb-1.0) -lpthread
 */
#define _GNU_SOURCE
#include <errno.h>
#include <libusb.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

enum {
    kPacketSize = 64,
    kMaxPayload = 62,
    kMasterChannel = 100,
    kMaxChannels = 16,
    kInEndpoint = 0x81,
    kOutEndpoint = 0x01,
    kReadTimeoutMs = 50,
    kWriteTimeoutMs = 100,
};

/* Mirrored by a ctypes.Structure in bench_bus_rate.py: keep the two in step. */
struct floor_stats {
    uint64_t out_packets;       /* OUT transfers completed */
    uint64_t out_timeouts;      /* OUT transfers that timed out */
    uint64_t in_packets;        /* IN transfers that delivered a packet */
    uint64_t in_data_bytes;     /* data-record bytes routed */
    uint64_t order_errors;      /* bytes that broke their channel's count */
    uint64_t transfer_errors;   /* failures other than time-outs; each ends its thread */
    double reader_user_s;       /* user CPU time of the reader thread */
    double writers_user_s;      /* user CPU time of the writer threads, summed */
    int reader_tid;
    char error[160];            /* the first failure, as text */
};

struct floor_client;

struct writer_arg {
    struct floor_client* client;
    int channel;
};

struct floor_client {
    libusb_context* context;
    libusb_device_handle* handle;
    int channels;
    atomic_int stop;
    pthread_t reader;
    pthread_t writers[kMaxChannels];
    struct writer_arg writer_args[kMaxChannels];
    int writers_started;
    int reader_started;
    atomic_int reader_tid;      /* set by the reader as it starts; 0 before */
    pthread_mutex_t lock;       /* guards stats */
    struct floor_stats stats;   /* guarded by lock */
    /* Reader thread only. */
    int expected[kMasterChannel]; /* next byte per data channel, -1 until the first */
};

static double thread_user_seconds(void) {
    struct rusage usage;
    if (getrusage(RUSAGE_THREAD, &usage) != 0) return 0.0;
    return (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6;
}

static void note_error(struct floor_client* c, const char* where, int rc) {
    pthread_mutex_lock(&c->lock);
    c->stats.transfer_errors++;
    if (c->stats.error[0] == '\0') {
        snprintf(c->stats.error, sizeof c->stats.error, "%s: %s", where, libusb_error_name(rc));
    }
    pthread_mutex_unlock(&c->lock);
}

/* Routes one packet's data records, as the module's reader does: records follow each other
 * until a channel byte of 0; a control record ends the packet. */
static void route(struct floor_client* c, const uint8_t* packet, int size, uint64_t* bytes,
                  uint64_t* order_errors) {
    int index = 0;
    if (size <= 0) return;
    int channel = packet[0];
    while (index < kMaxPayload && channel != 0) {
        if (index + 1 >= size) return;
        const int count = packet[index + 1];
        const int start = index + 2;
        const int end = start + count < size ? start + count : size;
        if (channel >= kMasterChannel) return;
        for (int i = start; i < end; ++i) {
            if (c->expected[channel] >= 0 && packet[i] != c->expected[channel]) ++*order_errors;
            c->expected[channel] = (packet[i] + 1) & 0xFF;
        }
        *bytes += (uint64_t)(end - start);
        if (start + count >= size) return;
        index = start + count;
        channel = packet[index];
    }
}

static void* reader_main(void* arg) {
    struct floor_client* c = arg;
    uint8_t packet[kPacketSize];
    uint64_t packets = 0, bytes = 0, order_errors = 0;
    const int tid = (int)syscall(SYS_gettid);
    pthread_setname_np(pthread_self(), "floor-reader");
    pthread_mutex_lock(&c->lock);
    c->stats.reader_tid = tid;
    pthread_mutex_unlock(&c->lock);
    atomic_store(&c->reader_tid, tid);
    while (!atomic_load(&c->stop)) {
        int got = 0;
        const int rc = libusb_interrupt_transfer(c->handle, kInEndpoint, packet, kPacketSize, &got,
                                                 kReadTimeoutMs);
        if (rc == LIBUSB_ERROR_TIMEOUT) continue;
        if (rc < 0) {
            note_error(c, "read", rc);
            break;
        }
        if (got == 0) continue;
        ++packets;
        route(c, packet, got, &bytes, &order_errors);
    }
    const double user = thread_user_seconds();
    pthread_mutex_lock(&c->lock);
    c->stats.in_packets += packets;
    c->stats.in_data_bytes += bytes;
    c->stats.order_errors += order_errors;
    c->stats.reader_user_s += user;
    pthread_mutex_unlock(&c->lock);
    return NULL;
}

static void* writer_main(void* arg) {
    const struct writer_arg* self = arg;
    struct floor_client* c = self->client;
    const int channel = self->channel;
    uint8_t packet[kPacketSize];
    uint8_t counter = 0;
    uint64_t packets = 0, timeouts = 0;
    packet[0] = (uint8_t)channel;
    packet[1] = kMaxPayload;
    while (!atomic_load(&c->stop)) {
        for (int i = 0; i < kMaxPayload; ++i) packet[2 + i] = counter++;
        int sent = 0;
        const int rc = libusb_interrupt_transfer(c->handle, kOutEndpoint, packet, kPacketSize, &sent,
                                                 kWriteTimeoutMs);
        if (rc == LIBUSB_ERROR_TIMEOUT) {
            ++timeouts;
            continue;
        }
        if (rc < 0) {
            note_error(c, "write", rc);
            break;
        }
        ++packets;
    }
    const double user = thread_user_seconds();
    pthread_mutex_lock(&c->lock);
    c->stats.out_packets += packets;
    c->stats.out_timeouts += timeouts;
    c->stats.writers_user_s += user;
    pthread_mutex_unlock(&c->lock);
    return NULL;
}

static void shut_down(struct floor_client* c) {
    atomic_store(&c->stop, 1);
    if (c->reader_started) pthread_join(c->reader, NULL);
    for (int i = 0; i < c->writers_started; ++i) pthread_join(c->writers[i], NULL);
    if (c->handle) {
        libusb_release_interface(c->handle, 0);
        libusb_close(c->handle);
    }
    if (c->context) libusb_exit(c->context);
    pthread_mutex_destroy(&c->lock);
}

/* Opens the device at bus/address, claims interface 0 and starts the reader and one writer
 * per channel (1..channels; 0 writers for an IN-only load). Returns NULL and fills
 * `error` when it cannot. */
void* floor_start(int bus, int address, int channels, char* error, size_t error_size) {
    if (channels < 0 || channels > kMaxChannels) {
        snprintf(error, error_size, "0 to %d writer channels", kMaxChannels);
        return NULL;
    }
    struct floor_client* c = calloc(1, sizeof *c);
    if (!c) {
        snprintf(error, error_size, "out of memory");
        return NULL;
    }
    pthread_mutex_init(&c->lock, NULL);
    c->channels = channels;
    for (size_t i = 0; i < sizeof c->expected / sizeof c->expected[0]; ++i) c->expected[i] = -1;
    int rc = libusb_init(&c->context);
    if (rc < 0) {
        snprintf(error, error_size, "libusb_init: %s", libusb_error_name(rc));
        c->context = NULL;
        shut_down(c);
        free(c);
        return NULL;
    }
    libusb_device** list = NULL;
    const ssize_t n = libusb_get_device_list(c->context, &list);
    for (ssize_t i = 0; i < n; ++i) {
        if (libusb_get_bus_number(list[i]) == bus && libusb_get_device_address(list[i]) == address) {
            rc = libusb_open(list[i], &c->handle);
            break;
        }
    }
    if (list) libusb_free_device_list(list, 1);
    if (!c->handle) {
        snprintf(error, error_size, "no device at %d/%d (%s)", bus, address,
                 rc < 0 ? libusb_error_name(rc) : "not listed");
        shut_down(c);
        free(c);
        return NULL;
    }
    rc = libusb_claim_interface(c->handle, 0);
    if (rc < 0) {
        snprintf(error, error_size, "claim: %s", libusb_error_name(rc));
        shut_down(c);
        free(c);
        return NULL;
    }
    if (pthread_create(&c->reader, NULL, reader_main, c) != 0) {
        snprintf(error, error_size, "cannot start the reader");
        shut_down(c);
        free(c);
        return NULL;
    }
    c->reader_started = 1;
    for (int i = 0; i < channels; ++i) {
        c->writer_args[i].client = c;
        c->writer_args[i].channel = i + 1;
        if (pthread_create(&c->writers[i], NULL, writer_main, &c->writer_args[i]) != 0) {
            snprintf(error, error_size, "cannot start writer %d", i + 1);
            shut_down(c);
            free(c);
            return NULL;
        }
        c->writers_started = i + 1;
    }
    return c;
}

/* The reader thread's TID, so the bench can read its CPU time from /proc while it runs;
 * waits up to a second for the reader to have started. 0 when it has not. */
int floor_reader_tid(void* client) {
    struct floor_client* c = client;
    for (int i = 0; i < 1000 && atomic_load(&c->reader_tid) == 0; ++i) usleep(1000);
    return atomic_load(&c->reader_tid);
}

/* Stops every thread, releases the device and hands back what the threads counted. */
void floor_stop(void* client, struct floor_stats* out) {
    struct floor_client* c = client;
    shut_down(c);
    *out = c->stats;
    free(c);
}
