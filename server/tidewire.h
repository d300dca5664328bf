// The server core's face to the application: one connection slot and the six
// callbacks the application defines, bound by their plain names.
#ifndef TINKERPOT_TIDEWIRE_H
#define TINKERPOT_TIDEWIRE_H

#include <stddef.h>

#include "http.h"
#include "platform.h"
#include "websocket.h"

#ifdef __cplusplus
extern "C" {
#endif

// One connection slot. It lives in its worker's table and may move to another
// slot between calls, so a pointer to it is valid for one call only.
struct context {
    struct sockaddr_in from;  // the peer, as accept reported it
    struct http hdr;          // the request being served
    void* nest;               // the application's word; null at accept
};

// Starts the listener, the control connection and the 64 workers.
void twd_start(struct sockaddr_in* bindto);
// Wakes and joins every worker, then closes the shared sockets.
void twd_stop(void);

// Writes one log line to standard output: formatted as printf does, and
// handed on at once in one write, whole, whichever thread calls it.
void twd_log(const char* format, ...);

// Defined by the application.
void on_start(struct sockaddr_in* bindto);
void on_stop(void);
int on_http_request(SOCKET sock, struct context* ctx);
int on_ws_connect(SOCKET sock, struct context* ctx);
int on_ws_data(SOCKET sock, struct context* ctx, char* buf, size_t len, char opcode);
void on_ws_close(SOCKET sock, struct context* ctx, char* buf, size_t len, char opcode);

#ifdef __cplusplus
}
#endif

#endif
