// The platform layer on Windows: Winsock 2.2, WSAPoll and the runtime's
// threads. The program is linked statically, so that it imports only the
// system's own libraries.
#include "platform.h"

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <stdio.h>
#include <string.h>

#include <string>

bool socket_layer_start()
{
    WSADATA wsaData;  // the version granted is not looked at
    return WSAStartup(0x0202, &wsaData) == 0;
}

void socket_layer_stop() { WSACleanup(); }

void socket_close(SOCKET s) { closesocket(s); }

void socket_set_nonblocking(SOCKET s, bool on)
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

bool thread_start(platform_thread* thread, void* (*routine)(void*))
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

void log_write(const char* line, size_t len)
{
    std::string crlf;
    crlf.reserve(len + len / 8 + 2);
    for (size_t i = 0; i < len; ++i) {
        if (line[i] == '\n')
            crlf += '\r';
        crlf += line[i];
    }
    _lock_file(stdout);
    const char* rest = crlf.data();
    size_t left = crlf.size();
    while (left > 0) {
        int wrote = _write(_fileno(stdout), rest, (unsigned)left);
        if (wrote <= 0)
            break;
        rest += wrote;
        left -= (size_t)wrote;
    }
    _unlock_file(stdout);
}

bool names_equal_nocase(const char* a, const char* b) { return _stricmp(a, b) == 0; }

unsigned long long available_memory()
{
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status))
        return ~0ULL;
    return status.ullAvailPhys < status.ullAvailVirtual ? status.ullAvailPhys
                                                        : status.ullAvailVirtual;
}
