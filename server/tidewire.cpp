// The server core: process entry, the listener with its control connection,
// and 64 worker threads that each poll up to 158 connections of their own.
#include "tidewire.h"

#include <atomic>
#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Ends the process at once with errno as its status. Workers may still be
// serving, so no static destructor runs; what was logged is flushed first.
static void die(const char* format, int value)
{
    int status = errno;
    fflush(stdout);
    fprintf(stderr, format, value);
    fflush(stderr);
    _Exit(status);
}

// The socket layer is main's alone; the tests build this unit without main.
[[maybe_unused]] static void WSA_STARTUP()
{
    if (!socket_layer_start())
        die("!WSAStartup\n", 0);
}

[[maybe_unused]] static void WSA_CLEANUP() { socket_layer_stop(); }

// A connection's state is its handler: it returns the handler for the next
// event on the socket, or null to have the connection closed.
typedef void (*PFUNC)();
typedef PFUNC (*ACTION)(SOCKET sock, context* ctx);

static const SOCKET NO_SOCKET = (SOCKET)-1;

// The listener; twd_stop sets it to NO_SOCKET, which every worker tests
// before each poll, so the store has to reach them.
static std::atomic<SOCKET> g_lstn{NO_SOCKET};
static SOCKET g_ctrl = NO_SOCKET;

// 64 workers of 160 slots each: the control connection, the listener and
// 158 connections. A frame's payload takes at most 65,535 bytes.
enum { WORKERS = 64, SLOTS = 160, FRAME_CAPACITY = 65535 };

static PFUNC on_frame(SOCKET sock, context* ctx);

// A head whose read ended right after its blank line's CR is one byte
// longer than the read: the byte after that CR is still in the socket. It
// belongs to the head, so it is taken into the buffer's spare byte before
// anyone reads what follows the head as body or as the first frame.
static void take_rest_of_head(SOCKET sock, http* req, int head)
{
    if (head > req->m_nBuf && recv(sock, req->m_aBuf + req->m_nBuf, 1, 0) == 1)
        ++req->m_nBuf;
}

static PFUNC on_http(SOCKET sock, context* ctx)
{
    static const char bad_request[] = "HTTP/1.1 400 Bad Request\r\n\r\n";
    http* req = &ctx->hdr;

    req->m_nBuf = (int)recv(sock, req->m_aBuf, HTTP_READ_SIZE, 0);
    int head = req->m_nBuf > 0 ? http_parse(req) : 0;
    if (head > 0) {
        take_rest_of_head(sock, req, head);
        if (ws_handshake(sock, req) > 0)
            return on_ws_connect(sock, ctx) ? (PFUNC)on_frame : NULL;
        return on_http_request(sock, ctx) ? (PFUNC)on_http : NULL;
    }
    send(sock, bad_request, sizeof bad_request - 1, 0);
    return NULL;
}

static PFUNC on_frame(SOCKET sock, context* ctx)
{
    char payload[FRAME_CAPACITY + 1];
    char opcode = 0;

    payload[FRAME_CAPACITY] = 0;
    int n = ws_recv(sock, payload, FRAME_CAPACITY, 0, &opcode);
    size_t length = (size_t)n;  // failures become the largest sizes
    if (opcode == WS_OP_TEXT || opcode == WS_OP_BINARY) {
        if (on_ws_data(sock, ctx, payload, length, opcode))
            return (PFUNC)on_frame;
        on_ws_close(sock, ctx, payload, length, opcode);
        return NULL;
    }
    // Among control frames only close ends the connection: ping was answered
    // by ws_recv, pong and the reserved ones are ignored.
    if ((opcode & WS_OP_CONTROL) && opcode != WS_OP_CLOSE)
        return (PFUNC)on_frame;
    // Close, a continuation or reserved data frame, or no frame at all.
    on_ws_close(sock, ctx, payload, length, opcode);
    return NULL;
}

// A connection whose handler has let it go may linger: its reply is sent,
// but its peer has sent more than was read. Closing it now would reset it,
// and a reset throws away what the system has yet to send of the reply
// (and, on Windows, what the peer had received). So its sending side is
// ended and the slot stays, reading and dropping what the peer still sends,
// one read per event, until the peer closes or LINGER_LIMIT bytes have gone.
// NOT_LINGERING marks a slot that its handler still serves.
enum { LINGER_LIMIT = 1 << 20, NOT_LINGERING = -1 };

// One worker's connections. Slot 0 is the control connection, slot 1 the
// listener, slots 2 to pls - 1 the open connections without gaps. A
// connection's entries in the columns move together.
struct slot_table {
    pollfd* fds;
    ACTION* acts;
    context* ctxs;
    int* dropped;  // the bytes a lingering slot has dropped, or NOT_LINGERING
    int pls;
};

// Begins a lingering close if the peer has sent what was not read; 0 when
// the connection can close now.
static int linger(SOCKET sock, int* dropped)
{
    if (socket_unread(sock) == 0)
        return 0;
    socket_end_sending(sock);
    *dropped = 0;
    return 1;
}

// One read of a lingering slot, into its head record, which is no longer
// needed. 0 once the peer has closed or the limit is reached.
static int drop_more(SOCKET sock, http* req, int* dropped)
{
    req->m_nBuf = (int)recv(sock, req->m_aBuf, HTTP_READ_SIZE, 0);
    if (req->m_nBuf <= 0)
        return 0;
    *dropped += req->m_nBuf;
    return *dropped < LINGER_LIMIT;
}

// Serves an event on slot i: its handler, or a lingering close once the
// handler has let the connection go. 0 when the slot is to be closed.
static int serve_slot(slot_table* t, int i)
{
    SOCKET sock = t->fds[i].fd;
    if (t->dropped[i] != NOT_LINGERING)
        return drop_more(sock, &t->ctxs[i].hdr, &t->dropped[i]);
    t->acts[i] = (ACTION)t->acts[i](sock, &t->ctxs[i]);
    return t->acts[i] || linger(sock, &t->dropped[i]);
}

static void accept_one(slot_table* t)
{
    sockaddr_in from;
    socklen_t fromlen = sizeof from;
    SOCKET sock = accept(t->fds[1].fd, (sockaddr*)&from, &fromlen);
    if (sock == NO_SOCKET)
        return;  // another worker won the race
    if (t->pls == SLOTS)
        die("!pls:%d\n", t->pls);
    socket_set_nonblocking(sock, 0);

    int i = t->pls++;
    t->fds[i].fd = sock;
    t->fds[i].events = POLLIN;
    t->fds[i].revents = 0;  // not served in the pass that accepted it
    t->acts[i] = on_http;
    t->ctxs[i].from = from;
    http_reset(&t->ctxs[i].hdr);
    t->ctxs[i].nest = NULL;
    t->dropped[i] = NOT_LINGERING;
    if (i == SLOTS - 1)
        t->fds[1].events = 0;  // full: leave new connections to the others
}

// Closes slot i and moves the last connection into it, keeping the table dense.
static void close_slot(slot_table* t, int i)
{
    socket_close(t->fds[i].fd);
    int last = --t->pls;
    if (i != last) {
        t->fds[i] = t->fds[last];
        t->acts[i] = t->acts[last];
        t->ctxs[i] = t->ctxs[last];
        t->dropped[i] = t->dropped[last];
    }
    t->fds[last].fd = NO_SOCKET;
    t->acts[last] = NULL;
    t->fds[1].events = POLLIN;
}

static void run_pass(slot_table* t)
{
    int n = poll_sockets(t->fds, t->pls);
    if (t->fds[0].revents)
        --n;  // the stop byte is never read; it only wakes us
    if (n < 1)
        return;
    if (t->fds[1].revents) {
        accept_one(t);
        --n;
    }
    for (int i = 2; n > 0 && i < t->pls; ++i) {
        if (!t->fds[i].revents)
            continue;
        if (!serve_slot(t, i))
            close_slot(t, i);
        --n;
    }
}

static void* main_poll(void* arg)
{
    worker_prepare();
    slot_table t;
    t.fds = (pollfd*)calloc(SLOTS, sizeof *t.fds);
    t.acts = (ACTION*)calloc(SLOTS, sizeof *t.acts);
    // Left untouched until a connection lands in a slot, so idle slots cost
    // address space but no memory.
    t.ctxs = (context*)malloc(SLOTS * sizeof *t.ctxs);
    t.dropped = (int*)malloc(SLOTS * sizeof *t.dropped);
    if (!t.fds || !t.acts || !t.ctxs || !t.dropped)
        die("!malloc.\n", 0);

    t.fds[0].fd = g_ctrl;
    t.fds[0].events = POLLIN;
    t.fds[1].fd = g_lstn;
    t.fds[1].events = POLLIN;
    for (int i = 2; i < SLOTS; ++i)
        t.fds[i].fd = NO_SOCKET;
    t.pls = 2;

    while (g_lstn != NO_SOCKET)
        run_pass(&t);

    for (int i = t.pls - 1; i >= 2; --i)
        socket_close(t.fds[i].fd);
    free(t.dropped);
    free(t.ctxs);
    free(t.acts);
    free(t.fds);
    return arg;
}

static SOCKET g_ctrler = NO_SOCKET;
static platform_thread g_tid[WORKERS];

static bool same_address(const sockaddr_in* a, const sockaddr_in* b)
{
    return a->sin_addr.s_addr == b->sin_addr.s_addr && a->sin_port == b->sin_port;
}

// Accepts the control connection itself: a client that connected between
// the listen and our connect is closed instead of becoming every worker's
// slot 0.
static SOCKET accept_control(SOCKET listener)
{
    sockaddr_in ctrler;
    socklen_t ctrlerlen = sizeof ctrler;
    getsockname(g_ctrler, (sockaddr*)&ctrler, &ctrlerlen);
    for (;;) {
        sockaddr_in peer;
        socklen_t peerlen = sizeof peer;
        SOCKET sock = accept(listener, (sockaddr*)&peer, &peerlen);
        if (sock == NO_SOCKET || same_address(&peer, &ctrler))
            return sock;
        socket_close(sock);
    }
}

void twd_start(sockaddr_in* bindto)
{
    process_prepare();

    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener == NO_SOCKET)
        die("!socket:g_lstn\n", 0);
    g_lstn = listener;
    int rc = bind(listener, (sockaddr*)bindto, sizeof *bindto);
    if (rc != 0)
        die("!bind:%d\n", rc);
    // A class opening the page at once is a burst of connects: a short
    // backlog would have the kernel drop and reset them.
    rc = listen(listener, SOMAXCONN);
    if (rc == -1)
        die("!listen:%d\n", rc);

    sockaddr_in ctrlto = *bindto;
    if (ctrlto.sin_addr.s_addr == htonl(INADDR_ANY))
        ctrlto.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    g_ctrler = socket(AF_INET, SOCK_STREAM, 0);
    if (g_ctrler == NO_SOCKET)
        die("!socket:g_ctrler\n", 0);
    rc = connect(g_ctrler, (sockaddr*)&ctrlto, sizeof ctrlto);
    if (rc != 0)
        die("!connect:g_ctrler:%d\n", rc);
    g_ctrl = accept_control(listener);
    if (g_ctrl == NO_SOCKET)
        die("!accept:g_ctrl\n", 0);

    socket_set_nonblocking(listener, 1);
    listener_sends_without_signal(listener);

    for (int i = 0; i < WORKERS; ++i) {
        if (!thread_start(&g_tid[i], main_poll))
            die("!pthread_create.\n", 0);
    }
}

void twd_stop(void)
{
    SOCKET stopping = g_lstn;
    g_lstn = NO_SOCKET;  // before the wake byte: a woken worker must see it
    send(g_ctrler, "", 1, 0);
    for (int i = 0; i < WORKERS; ++i)
        thread_join(g_tid[i]);
    socket_close(g_ctrl);
    socket_close(g_ctrler);
    socket_close(stopping);  // only now: every worker polled it until it ended
}

// Room on the stack for the longest line the server logs: a target or a
// method of a whole head read, with the words around it. A longer one is
// formatted on the heap.
enum { LOG_LINE_ROOM = 2 * HTTP_READ_SIZE };
static_assert((size_t)LOG_LINE_ROOM <= (size_t)LOG_LINE_MAX,
              "a line that fits the room is one log_write takes");

// A line of n bytes, too long for the room, formatted on the heap; one
// longer than log_write takes is cut to LOG_LINE_MAX bytes, the last an LF.
static void log_long_line(size_t n, const char* format, va_list args)
{
    size_t len = n < LOG_LINE_MAX ? n : (size_t)LOG_LINE_MAX;
    char* line = (char*)malloc(len + 1);
    if (!line)
        return;
    vsnprintf(line, len + 1, format, args);
    if (len < n)
        line[len - 1] = '\n';
    log_write(line, len);
    free(line);
}

// The log is read live, often through a pipe: each line is formatted whole,
// then handed on at once in one write, so that lines of different workers
// never mix.
void twd_log(const char* format, ...)
{
    char aLine[LOG_LINE_ROOM];
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    int n = vsnprintf(aLine, sizeof aLine, format, args);
    if (n >= 0 && (size_t)n < sizeof aLine)
        log_write(aLine, (size_t)n);
    else if (n >= 0)
        log_long_line((size_t)n, format, again);
    va_end(again);
    va_end(args);
}

#ifndef TIDEWIRE_NO_MAIN

// Written by the SIGINT handler, which may run on any thread.
static std::atomic<int> running{1};

static void sig(int s)
{
    if (s == SIGINT)
        running = 0;
}

int main(int argc, char* argv[])
{
    WSA_STARTUP();
    log_prepare();

    sockaddr_in bindto;
    memset(&bindto, 0, sizeof bindto);
    bindto.sin_family = AF_INET;
    bindto.sin_port = htons(8880);
    bindto.sin_addr.s_addr = htonl(INADDR_ANY);
    if (argc > 1)
        bindto.sin_addr.s_addr = inet_addr(argv[1]);
    if (argc > 2)
        bindto.sin_port = htons((unsigned short)atoi(argv[2]));

    on_start(&bindto);
    sleep_ms(10);
    twd_log("bindto: %s:%d.\n", inet_ntoa(bindto.sin_addr), ntohs(bindto.sin_port));
    twd_log("Ctrl+C to stop server.\n");
    signal(SIGINT, sig);

    while (running)
        sleep_ms(1000);

    twd_log("stopping server...\n");
    on_stop();
    WSA_CLEANUP();
    return 0;
}

#endif
