// The server core's face to the application: one connection slot, the start
// and stop of the core, the log, and the six callbacks that the application
// defines, bound by their plain names at link time.
#ifndef TINKERPOT_TIDEWIRE_H
#define TINKERPOT_TIDEWIRE_H

#include <stddef.h>

#include "http.h"
#include "platform.h"
#include "websocket.h"

#ifdef __cplusplus
extern "C" {
#endif

// One connection slot. It lives in its worker's table and may move to
// another slot of the same worker between calls, so a pointer to it, and
// every pointer into its hdr, is valid for one call only.
struct context {
    struct sockaddr_in from;  // the peer, as accept reported it
    struct http hdr;          // the request being served
    void* nest;               // the application's word: null at accept, then
                              // never read nor freed by the core, moved with
                              // the connection
};

// Opens and binds the listener, makes the control connection that wakes
// the workers at stop, and starts the 64 workers. Main thread, once;
// returns once they all run. Any failure ends the process with a "!" line
// on standard error and errno as its status: on Linux and macOS a failed
// socket call has set it, but Windows sockets report through
// WSAGetLastError and leave errno alone, so there the status after a
// socket failure is whatever errno held, and names no cause.
void twd_start(struct sockaddr_in* bindto);
// Wakes and joins every worker, then closes the control pair and the
// listener. Main thread, once, after twd_start. A worker waiting inside a
// handler (a body or a frame half sent) is joined only once that handler
// returns. Connections still open are closed without callbacks.
void twd_stop(void);

// Writes one log line to standard output: formatted as printf does, handed
// on at once in one write, whichever thread calls it. A line is written
// whole up to LOG_LINE_MAX bytes (16 KiB); a longer one is cut to that
// length, an LF its last byte.
void twd_log(const char* format, ...);

// ---- defined by the application ----------------------------------------------------
//
// The four connection callbacks run on the worker thread that accepted the
// connection: never two at once for one connection, nor for two connections
// of one worker; up to 64 at once across the workers. While one runs, the
// other connections of its worker wait, and the stop waits for it. None
// closes the socket (the worker does), none lets an exception out, and sock
// is blocking.

// Main thread, once, before any worker exists: must start the core by
// passing bindto, unchanged, to twd_start, and return after it.
void on_start(struct sockaddr_in* bindto);
// Main thread, once, after Ctrl+C: must stop the core with twd_stop, and
// release only after it what the workers use.
void on_stop(void);

// A request that parsed and did not become a WebSocket connection: no
// version-13 upgrade, or one whose 101 reply failed to go out. ctx->hdr
// holds it, with the body bytes that came with the head; the rest of a body
// is still in sock, for the callback to read. Nonzero keeps the connection,
// which waits for another request; 0 has it closed.
int on_http_request(SOCKET sock, struct context* ctx);

// Right after the 101 reply of a completed handshake; ctx->hdr still holds
// the upgrade request. Nonzero makes it a WebSocket connection; 0 has it
// closed at once, without a close frame and without on_ws_close.
int on_ws_connect(SOCKET sock, struct context* ctx);

// A text (opcode 1) or binary (2) frame: len payload bytes, unmasked, and a
// zero byte after them, in buf, which lies on the worker's stack and is
// valid during the call only. Nonzero keeps the connection; 0 calls
// on_ws_close with the same arguments, then closes it.
int on_ws_data(SOCKET sock, struct context* ctx, char* buf, size_t len, char opcode);

// The WebSocket state has ended; the last call for the connection, made
// once. With opcode 8, a close frame, already answered with an empty one:
// buf and len are its payload. With 1 or 2, on_ws_data returned 0: its own
// arguments. With 3 to 7, or 0 after a final continuation frame: that frame
// and its payload. After a read error, a refused frame or the peer's close,
// opcode is 0, buf means nothing and len is ws_recv's result as a size: 0
// (peer closed), the largest size (-1, a read failed) or one below it (-2,
// a fragment or a frame over 65,535 bytes). So an empty final continuation
// frame and the peer's close look the same: opcode 0 and len 0. Not called
// for a refused upgrade, nor for connections still open when the server
// stops.
void on_ws_close(SOCKET sock, struct context* ctx, char* buf, size_t len, char opcode);

#ifdef __cplusplus
}
#endif

#endif
