// The platform layer on Linux and macOS: POSIX sockets, poll and threads.
#include "platform.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifdef __APPLE__
#include <limits.h>
#include <stdint.h>
#include <sys/sysctl.h>
#endif

bool socket_layer_start() { return true; }

void socket_layer_stop() {}

void socket_close(SOCKET s) { close(s); }

void socket_set_nonblocking(SOCKET s, bool on)
{
    int flags = fcntl(s, F_GETFL);
    fcntl(s, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

size_t socket_unread(SOCKET s)
{
    int count = 0;
    return ioctl(s, FIONREAD, &count) == 0 && count > 0 ? (size_t)count : 0;
}

void socket_end_sending(SOCKET s) { shutdown(s, SHUT_WR); }

void listener_sends_without_signal(SOCKET listener)
{
#ifdef __APPLE__
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#else
    (void)listener;  // process_prepare ignores SIGPIPE for the whole process
#endif
}

int poll_sockets(pollfd* fds, int n) { return poll(fds, (nfds_t)n, -1); }

// The most descriptors the system lets this process have open. macOS
// reports an unlimited hard limit but refuses it as a soft limit: there the
// most it takes is kern.maxfilesperproc.
static rlim_t descriptor_ceiling(rlim_t hard)
{
#ifdef __APPLE__
    int most = 0;
    size_t size = sizeof most;
    if (sysctlbyname("kern.maxfilesperproc", &most, &size, NULL, 0) == 0 && most > 0 &&
        (rlim_t)most < hard)
        return (rlim_t)most;
    return hard < (rlim_t)OPEN_MAX ? hard : (rlim_t)OPEN_MAX;
#else
    return hard;
#endif
}

// A send to a peer that has gone away must fail with EPIPE rather than end
// the process, for every send of the program; and 64 workers of 158
// connections need more descriptors than the usual soft limit allows.
//
// An upload lives in one block as large as itself. The C library would
// raise its threshold for mapping such blocks to the size of each one freed,
// and from then on serve them from the heap of the worker that asked, and
// keep them there once freed: with 64 workers, replaced uploads would pile
// up. A fixed threshold keeps every large block a mapping of its own, given
// back to the system when it is freed.
void process_prepare()
{
    signal(SIGPIPE, SIG_IGN);
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        rlim_t ceiling = descriptor_ceiling(limit.rlim_max);
        if (limit.rlim_cur < ceiling) {
            limit.rlim_cur = ceiling;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
    }
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

// Every new connection wakes all 64 workers, since they poll one listener.
// In Linux's batch class a woken worker does not preempt the running thread
// but waits for a free turn, and one woken again while it waits costs
// nothing more: under a burst the wake-ups of several connections merge
// into one pass of each worker, and far fewer threads switch in and out.
// Where the class is refused the worker simply runs as it was started.
void worker_prepare()
{
#ifdef __linux__
    sched_param normal;
    normal.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &normal);
#endif
}

bool thread_start(platform_thread* thread, void* (*routine)(void*))
{
    return pthread_create(thread, NULL, routine, NULL) == 0;
}

void thread_join(platform_thread thread) { pthread_join(thread, NULL); }

void sleep_ms(int ms) { usleep((useconds_t)ms * 1000); }

void lock_create(platform_lock* lock) { pthread_mutex_init(lock, NULL); }
void lock_destroy(platform_lock* lock) { pthread_mutex_destroy(lock); }
void lock_take(platform_lock* lock) { pthread_mutex_lock(lock); }
void lock_give(platform_lock* lock) { pthread_mutex_unlock(lock); }

// Room for the longest line, so that none is written in parts.
void log_prepare() { setvbuf(stdout, NULL, _IOFBF, 16384); }

void log_write(const char* line, size_t len)
{
    flockfile(stdout);
    fwrite(line, 1, len, stdout);
    fflush(stdout);
    funlockfile(stdout);
}

bool names_equal_nocase(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

#ifdef __APPLE__

// macOS pages out rather than failing or killing, and has no cheap figure
// of what is free: the machine's memory is the bound.
unsigned long long available_memory()
{
    uint64_t physical = 0;
    size_t size = sizeof physical;
    if (sysctlbyname("hw.memsize", &physical, &size, NULL, 0) != 0)
        return ~0ULL;
    return physical;
}

#else

// Linux hands out memory it may not have and kills the process later, so an
// upload is bounded by what the system reports as available.
unsigned long long available_memory()
{
    unsigned long long kib = ~0ULL / 1024;
    if (FILE* meminfo = fopen("/proc/meminfo", "r")) {
        char line[128];
        while (fgets(line, sizeof line, meminfo)) {
            if (sscanf(line, "MemAvailable: %llu kB", &kib) == 1)
                break;
        }
        fclose(meminfo);
    }
    return kib * 1024;
}

#endif
