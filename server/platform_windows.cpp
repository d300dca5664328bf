// The platform layer on Windows: Winsock 2.2, WSAPoll and the runtime's
// threads. The program is linked statically, so that it imports only the
// system's own libraries.
#include "platform.h"

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int socket_layer_start(void)
{
    WSADATA wsaData;  // the version granted is not looked at
    return WSAStartup(0x0202, &wsaData) == 0;
}

void socket_layer_stop(void) { WSACleanup(); }

void socket_close(SOCKET s) { closesocket(s); }

void socket_set_nonblocking(SOCKET s, int on)
{
    u_long mode = on ? 1 : 0;
    ioctlsocket(s, FIONBIO, &mode);
}

size_t socket_unread(SOCKET s)
{
    u_long count = 0;
    return ioctlsocket(s, FIONREAD, &count) == 0 ? (size_t)count : 0;
}

void socket_end_sending(SOCKET s) { shutdown(s, SD_SEND); }

// Winsock raises no signal for a send to a vanished peer.
void listener_sends_without_signal(SOCKET) {}

int poll_sockets(pollfd* fds, int n) { return WSAPoll(fds, (ULONG)n, -1); }

// A process may hold as many sockets as it likes, and the heap gives freed
// large blocks back by itself.
void process_prepare() {}

// Workers keep the scheduling they were started with.
void worker_prepare() {}

// The thread routine in the form _beginthreadex wants: it runs the routine
// that thread_start was given, always with a null argument.
static unsigned __stdcall start_routine_win32(void* routine)
{
    ((void* (*)(void*))routine)(NULL);
    return 0;
}

int thread_start(platform_thread* thread, void* (*routine)(void*))
{
    *thread = (HANDLE)_beginthreadex(NULL, 0, start_routine_win32, (void*)routine, 0, NULL);
    return *thread != 0;
}

void thread_join(platform_thread thread)
{
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

void sleep_ms(int ms) { Sleep((DWORD)ms); }

void lock_create(platform_lock* lock) { InitializeCriticalSection(lock); }
void lock_destroy(platform_lock* lock) { DeleteCriticalSection(lock); }
void lock_take(platform_lock* lock) { EnterCriticalSection(lock); }
void lock_give(platform_lock* lock) { LeaveCriticalSection(lock); }

// The runtime's text mode turns each LF into CR LF, but writes a long line
// in pieces as it does, and an unbuffered stream one byte per write. So the
// stream is binary, and log_write adds the CRs itself.
void log_prepare()
{
    fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

// Writes bytes to standard output until all are gone or a write fails.
static void write_out(const char* bytes, size_t len)
{
    while (len > 0) {
        int wrote = _write(_fileno(stdout), bytes, (unsigned)len);
        if (wrote <= 0)
            return;
        bytes += wrote;
        len -= (size_t)wrote;
    }
}

// Copies the line with a CR before each LF into out, which has room for
// twice its length.
static size_t with_crs(const char* line, size_t len, char* out)
{
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        if (line[i] == '\n')
            out[n++] = '\r';
        out[n++] = line[i];
    }
    return n;
}

// The line with its CRs is made on the stack, or on the heap when it is too
// long for that. Where even the heap has no room, it goes out a piece at a
// time: whole lines matter less than a log that never fails.
void log_write(const char* line, size_t len)
{
    const size_t PIECE = 4096;
    char aBuf[2 * PIECE];
    char* whole = len <= PIECE ? aBuf : (char*)malloc(2 * len);
    _lock_file(stdout);
    if (whole) {
        write_out(whole, with_crs(line, len, whole));
    } else {
        for (size_t at = 0; at < len; at += PIECE) {
            size_t piece = len - at < PIECE ? len - at : PIECE;
            write_out(aBuf, with_crs(line + at, piece, aBuf));
        }
    }
    _unlock_file(stdout);
    if (whole != aBuf)
        free(whole);
}

int names_equal_nocase(const char* a, const char* b) { return _stricmp(a, b) == 0; }

// For a 32-bit process the address space left drops as soon as room is set
// aside, the physical memory available only as it is written.
struct memory_figures available_memory(void)
{
    struct memory_figures figures = {~0ULL, ~0ULL};
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status)) {
        figures.unwritten = status.ullAvailPhys;
        figures.address_space = status.ullAvailVirtual;
    }
    return figures;
}
