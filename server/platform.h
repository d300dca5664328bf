// What the server core and the content service need of the system: sockets,
// threads, the table lock, sleeping, the log stream, case-insensitive names
// and the memory an upload may take. Declared once here; written once for
// POSIX systems (platform_posix.cpp, with the few macOS differences inside
// it) and once for Windows (platform_windows.cpp). The build compiles one of
// the two. Every function may be called from any thread unless it says
// otherwise. Written in C, like the server core's other headers that include
// it: yes-or-no results are ints, nonzero for yes.
#ifndef TINKERPOT_PLATFORM_H
#define TINKERPOT_PLATFORM_H

#include <stddef.h>

#ifdef _WIN32
#include <winsock2.h>  // SOCKET, an unsigned handle as wide as a pointer
#include <ws2tcpip.h>
#include <windows.h>
typedef HANDLE platform_thread;
typedef CRITICAL_SECTION platform_lock;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
typedef int SOCKET;  // a plain descriptor
typedef pthread_t platform_thread;
typedef pthread_mutex_t platform_lock;
#endif

#ifdef __cplusplus
extern "C" {
#endif

// ---- sockets -------------------------------------------------------------------

// Starts the socket layer before any other socket call (Winsock 2.2; nothing
// elsewhere). 0 when it cannot be started.
int socket_layer_start(void);
// Releases it after the last socket call.
void socket_layer_stop(void);

void socket_close(SOCKET s);
// Puts a socket into non-blocking mode (on nonzero) or back into blocking
// mode. Failures are not reported: a socket left as it was still works.
void socket_set_nonblocking(SOCKET s, int on);
// The bytes the peer has sent that are waiting to be read; 0 also when the
// system cannot say.
size_t socket_unread(SOCKET s);
// Ends the sending side: the peer reads the end of stream after what was sent.
void socket_end_sending(SOCKET s);
// On macOS sets SO_NOSIGPIPE on the listener, which the connections
// accepted from it inherit: a send to a peer that has gone away then fails
// instead of raising SIGPIPE. Does nothing on Linux and Windows. It is a
// second guard only: process_prepare ignores SIGPIPE for the whole process
// on every POSIX system, macOS included, and Windows has no such signal.
void listener_sends_without_signal(SOCKET listener);
// Waits without time-out until one of the first n descriptors reports an
// event; poll's result (-1 when interrupted by a signal).
int poll_sockets(struct pollfd* fds, int n);

// ---- the process and its threads -----------------------------------------------------

// Once, before the first worker starts: a send to a vanished peer fails with
// an error instead of ending the process; as many descriptors as the system
// allows; freed large blocks go back to the system.
void process_prepare(void);
// On each worker's own thread, when it starts.
void worker_prepare(void);

// Starts a thread that runs routine(NULL) at once. 0 when none could be
// started.
int thread_start(platform_thread* thread, void* (*routine)(void*));
// Waits for the thread to end, without time limit, and releases its handle.
void thread_join(platform_thread thread);

void sleep_ms(int ms);

// ---- the table lock --------------------------------------------------------------

// A lock that one thread takes at a time; never taken twice by one thread.
void lock_create(platform_lock* lock);
void lock_destroy(platform_lock* lock);
void lock_take(platform_lock* lock);
void lock_give(platform_lock* lock);

// ---- the log -----------------------------------------------------------------------

// The longest line log_write takes, its LF included.
enum { LOG_LINE_MAX = 16384 };

// Sets standard output up for the log, once, before the first line.
void log_prepare(void);
// Writes one line of len bytes (at most LOG_LINE_MAX), ending in its LF, to
// standard output in one write, while no other thread writes there. On
// Windows each LF goes out as CR LF, as the runtime's text streams write it.
void log_write(const char* line, size_t len);

// ---- texts and memory ------------------------------------------------------------

// Whether two names are equal, the letters A to Z matching a to z and every
// other byte matching only itself (no locale is ever set): nonzero when
// they are.
int names_equal_nocase(const char* a, const char* b);

// What the system can still give the process, in bytes; each figure is the
// largest value where it cannot be told or does not bound, and 0 where it
// is there but cannot be read now (on Linux, a file of figures that cannot
// be opened while connections hold every descriptor).
struct memory_figures {
    // Memory not yet written. Room set aside counts in it only once its
    // pages are first written. Linux: the least of what it reports as
    // available and what the process's memory cgroups leave (their limit
    // less their usage, the file cache the kernel takes back on demand not
    // counted as usage; the tightest on the way up the tree). macOS: the
    // machine's memory less the process's own footprint, since it pages
    // out rather than failing. Windows: the physical memory available.
    unsigned long long unwritten;
    // Address space not yet set aside: it drops as soon as room is set
    // aside. Windows: what is left of the process's own address space;
    // elsewhere the largest value, as allocation itself fails there first.
    unsigned long long address_space;
};
struct memory_figures available_memory(void);

#ifdef __cplusplus
}
#endif

#endif
