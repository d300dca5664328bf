// The platform layer on Linux and macOS: POSIX sockets, poll and threads.
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifdef __APPLE__
#include <mach/mach.h>
#include <stdint.h>
#include <sys/sysctl.h>
#endif

int socket_layer_start(void) { return 1; }

void socket_layer_stop(void) {}

void socket_close(SOCKET s) { close(s); }

void socket_set_nonblocking(SOCKET s, int on)
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
// most it takes is kern.maxfilesperproc (OPEN_MAX where that cannot be
// read), and never more than a hard limit that is lower.
static rlim_t descriptor_ceiling(rlim_t hard)
{
#ifdef __APPLE__
    rlim_t per_process = OPEN_MAX;
    int most = 0;
    size_t size = sizeof most;
    if (sysctlbyname("kern.maxfilesperproc", &most, &size, NULL, 0) == 0 && most > 0)
        per_process = (rlim_t)most;
    return hard < per_process ? hard : per_process;
#else
    return hard;
#endif
}

// Finds, once, where the figures of the memory that uploads may take are
// read.
static void find_memory_limits(void);

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
//
// The memory cgroups are found now, while descriptors are at hand: at the
// first upload, connections may hold them all.
void process_prepare()
{
    find_memory_limits();
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

int thread_start(platform_thread* thread, void* (*routine)(void*))
{
    return pthread_create(thread, NULL, routine, NULL) == 0;
}

void thread_join(platform_thread thread) { pthread_join(thread, NULL); }

void sleep_ms(int ms) { usleep((useconds_t)ms * 1000); }

void lock_create(platform_lock* lock) { pthread_mutex_init(lock, NULL); }
void lock_destroy(platform_lock* lock) { pthread_mutex_destroy(lock); }
void lock_take(platform_lock* lock) { pthread_mutex_lock(lock); }
void lock_give(platform_lock* lock) { pthread_mutex_unlock(lock); }

// A buffer of LOG_LINE_MAX bytes, which log_write leaves empty after each
// line: the next line fits it whole and goes out in one write. It is the
// program's own, since glibc, given none, keeps one of the size it chooses
// (4 KiB for a pipe), whatever size is asked.
void log_prepare()
{
    static char aBuf[LOG_LINE_MAX];
    setvbuf(stdout, aBuf, _IOFBF, sizeof aBuf);
}

void log_write(const char* line, size_t len)
{
    flockfile(stdout);
    fwrite(line, 1, len, stdout);
    fflush(stdout);
    funlockfile(stdout);
}

int names_equal_nocase(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

// A figure that does not bound.
static const unsigned long long UNBOUNDED = ~0ULL;

#ifdef __APPLE__

// The memory this process holds: what macOS itself charges it with.
static unsigned long long own_footprint()
{
    task_vm_info_data_t info;
    mach_msg_type_number_t count = TASK_VM_INFO_COUNT;
    if (task_info(mach_task_self(), TASK_VM_INFO, (task_info_t)&info, &count) != KERN_SUCCESS)
        return 0;
    return info.phys_footprint;
}

static void find_memory_limits(void) {}

// macOS pages out rather than failing or killing, and has no cheap figure
// of what is free: the machine's memory is the bound, less what this
// process already holds of it.
struct memory_figures available_memory(void)
{
    struct memory_figures figures = {UNBOUNDED, UNBOUNDED};
    uint64_t physical = 0;
    size_t size = sizeof physical;
    if (sysctlbyname("hw.memsize", &physical, &size, NULL, 0) == 0) {
        unsigned long long held = own_footprint();
        figures.unwritten = physical > held ? physical - held : 0;
    }
    return figures;
}

#else

// Linux hands out memory it may not have and kills the process later, so
// uploads are bounded by what it reports as available, and by the limits of
// the memory cgroups the process runs in (a container's, a service's), which
// that figure does not know of.

// Opens a file of the system's figures. One that is not there (no /proc,
// a cgroup without such a file) bounds nothing; one that is there but cannot
// be opened now, as when connections hold every descriptor, sets
// `unreadable`: a figure that cannot be read must not let a claim through.
static FILE* open_figures(const char* path, bool* unreadable)
{
    FILE* file = fopen(path, "r");
    if (!file && errno != ENOENT && errno != ENOTDIR && errno != EACCES)
        *unreadable = true;
    return file;
}

static unsigned long long meminfo_available(bool* unreadable)
{
    unsigned long long kib = UNBOUNDED / 1024;
    if (FILE* meminfo = open_figures("/proc/meminfo", unreadable)) {
        char line[128];
        while (fgets(line, sizeof line, meminfo)) {
            if (sscanf(line, "MemAvailable: %llu kB", &kib) == 1)
                break;
        }
        fclose(meminfo);
    }
    return kib * 1024;
}

// The memory cgroup of the process in one hierarchy: its folder, and how
// much of it is the mount point, where the walk up the tree stops.
enum cgroup_version { CGROUP_V1, CGROUP_V2 };

struct cgroup_place {
    cgroup_version version;
    char dir[PATH_MAX];
    size_t top;
};

static struct cgroup_place g_cgroups[2];
static int g_ncgroups;
static pthread_once_t g_cgroups_found = PTHREAD_ONCE_INIT;

// Whether a comma-separated list holds `word`.
static bool list_holds(const char* list, const char* word)
{
    size_t len = strlen(word);
    for (const char* item = list; item; item = strchr(item, ',')) {
        if (*item == ',')
            ++item;
        if (strncmp(item, word, len) == 0 && (item[len] == ',' || item[len] == 0))
            return true;
    }
    return false;
}

// What the process's files tell of one hierarchy: its own path in it, and
// where it is mounted (the mount point, and the folder of the hierarchy
// that the mount shows).
struct cgroup_found {
    cgroup_version version;
    char own[PATH_MAX];
    char point[PATH_MAX];
    char root[PATH_MAX];
};

// Reads a file a line at a time, of any length, until `take` accepts one;
// false when none does or the file cannot be read.
static bool take_line(const char* path, bool (*take)(char* line, cgroup_found* found),
                      cgroup_found* found)
{
    FILE* file = fopen(path, "r");
    if (!file)
        return false;
    char* line = NULL;
    size_t room = 0;
    bool taken = false;
    while (!taken && getline(&line, &room, file) > 0)
        taken = take(line, found);
    free(line);
    fclose(file);
    return taken;
}

// A line of /proc/self/cgroup: "0::path" in v2, or in v1 the one whose
// controllers include memory.
static bool take_own_path(char* line, cgroup_found* found)
{
    line[strcspn(line, "\n")] = 0;
    char* controllers = strchr(line, ':');
    char* own = controllers ? strchr(controllers + 1, ':') : NULL;
    if (!own)
        return false;
    *controllers++ = 0;
    *own++ = 0;
    bool mine = found->version == CGROUP_V2 ? strcmp(line, "0") == 0 && *controllers == 0
                                            : list_holds(controllers, "memory");
    return mine && snprintf(found->own, sizeof found->own, "%s", own) < (int)sizeof found->own;
}

// A line of /proc/self/mountinfo that mounts the hierarchy.
static bool take_mount(char* line, cgroup_found* found)
{
    const char* fields = strstr(line, " - ");
    char type[64], options[1024];
    if (!fields || sscanf(fields, " - %63s %*s %1023s", type, options) != 2)
        return false;
    bool mine = found->version == CGROUP_V2
                    ? strcmp(type, "cgroup2") == 0
                    : strcmp(type, "cgroup") == 0 && list_holds(options, "memory");
    return mine && sscanf(line, "%*s %*s %*s %4095s %4095s", found->root, found->point) == 2;
}

static void find_cgroup(cgroup_version version)
{
    cgroup_found found;
    found.version = version;
    if (!take_line("/proc/self/cgroup", take_own_path, &found) ||
        !take_line("/proc/self/mountinfo", take_mount, &found))
        return;
    // Inside a cgroup namespace the mount may show a folder below the
    // hierarchy's root, and the path is then given from that folder.
    size_t shown = strlen(found.root);
    const char* below = found.own;
    if (strcmp(found.root, "/") != 0 && strncmp(found.own, found.root, shown) == 0)
        below = found.own + shown;
    struct cgroup_place* place = &g_cgroups[g_ncgroups];
    int len = snprintf(place->dir, sizeof place->dir, "%s%s", found.point, below);
    if (len <= 0 || len >= (int)sizeof place->dir)
        return;
    while (len > 1 && place->dir[len - 1] == '/')
        place->dir[--len] = 0;
    place->version = version;
    place->top = strlen(found.point);
    ++g_ncgroups;
}

static void find_cgroups()
{
    find_cgroup(CGROUP_V1);
    find_cgroup(CGROUP_V2);
}

static void find_memory_limits(void) { pthread_once(&g_cgroups_found, find_cgroups); }

// The first number in a file of a cgroup's folder, or with a `key` the
// number after it on the line it begins; `missing` where there is none, as
// for "max".
static unsigned long long cgroup_number(const char* dir, const char* name, const char* key,
                                        unsigned long long missing, bool* unreadable)
{
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", dir, name) >= (int)sizeof path)
        return missing;
    FILE* file = open_figures(path, unreadable);
    if (!file)
        return missing;
    unsigned long long value = missing;
    if (!key) {
        if (fscanf(file, "%llu", &value) != 1)
            value = missing;
    } else {
        char line[256];
        size_t len = strlen(key);
        while (fgets(line, sizeof line, file)) {
            if (strncmp(line, key, len) == 0 && line[len] == ' ') {
                if (sscanf(line + len, "%llu", &value) != 1)
                    value = missing;
                break;
            }
        }
    }
    fclose(file);
    return value;
}

static unsigned long long room_under(unsigned long long limit, unsigned long long usage)
{
    if (limit == UNBOUNDED)
        return UNBOUNDED;
    if (usage == UNBOUNDED)
        return limit;
    return limit > usage ? limit - usage : 0;
}

static unsigned long long least(unsigned long long a, unsigned long long b)
{
    return a < b ? a : b;
}

// A cgroup's usage counts the cache of the files its processes have read or
// written, and the kernel takes back the part of it not used lately
// whenever memory is asked for. What stays is the usage less that inactive
// file cache, the working set that container tools report; where the cache
// is not told, the whole usage counts.
static unsigned long long working_set(unsigned long long usage, unsigned long long inactive_file)
{
    if (usage == UNBOUNDED)
        return UNBOUNDED;
    return usage > inactive_file ? usage - inactive_file : 0;
}

// What one cgroup folder leaves. v2 names its limit memory.max, its usage
// memory.current and its inactive cache inactive_file in memory.stat; v1
// names them memory.limit_in_bytes, memory.usage_in_bytes and
// total_inactive_file (the folder's and those below it, as its usage
// counts), and also gives the tightest limit above it, seen or not, in
// memory.stat.
static unsigned long long cgroup_left(const char* dir, cgroup_version version, bool* unreadable)
{
    if (version == CGROUP_V2) {
        unsigned long long usage =
            working_set(cgroup_number(dir, "memory.current", NULL, UNBOUNDED, unreadable),
                        cgroup_number(dir, "memory.stat", "inactive_file", 0, unreadable));
        return room_under(cgroup_number(dir, "memory.max", NULL, UNBOUNDED, unreadable), usage);
    }
    unsigned long long usage =
        working_set(cgroup_number(dir, "memory.usage_in_bytes", NULL, UNBOUNDED, unreadable),
                    cgroup_number(dir, "memory.stat", "total_inactive_file", 0, unreadable));
    unsigned long long own =
        room_under(cgroup_number(dir, "memory.limit_in_bytes", NULL, UNBOUNDED, unreadable), usage);
    unsigned long long above = room_under(
        cgroup_number(dir, "memory.stat", "hierarchical_memory_limit", UNBOUNDED, unreadable),
        usage);
    return least(own, above);
}

// The least that any cgroup leaves, from the process's own up to the top
// of each hierarchy.
static unsigned long long cgroups_left(bool* unreadable)
{
    find_memory_limits();
    unsigned long long left = UNBOUNDED;
    for (int i = 0; i < g_ncgroups; ++i) {
        char dir[PATH_MAX];
        memcpy(dir, g_cgroups[i].dir, sizeof dir);
        size_t top = g_cgroups[i].top;
        for (;;) {
            left = least(left, cgroup_left(dir, g_cgroups[i].version, unreadable));
            char* cut = strrchr(dir, '/');
            if (!cut || (size_t)(cut - dir) < top)
                break;
            *cut = 0;
        }
    }
    return left;
}

struct memory_figures available_memory(void)
{
    bool unreadable = false;
    unsigned long long left = least(meminfo_available(&unreadable), cgroups_left(&unreadable));
    struct memory_figures figures = {unreadable ? 0 : left, UNBOUNDED};
    return figures;
}

#endif
