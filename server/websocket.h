// WebSocket (RFC 6455, version 13): handshake and single frames.
#ifndef TINKERPOT_WEBSOCKET_H
#define TINKERPOT_WEBSOCKET_H

#include <stddef.h>

#include "platform.h"  // SOCKET: a plain descriptor, or Winsock's handle on Windows

struct http;

#ifdef __cplusplus
extern "C" {
#endif

// Server side: answers a version-13 upgrade request with 101. Returns 0 when
// the request asks for no upgrade, otherwise the result of the reply's send.
int ws_handshake(SOCKET sock, const struct http* req);

// Client side: sends an upgrade request with a fixed key and checks the reply.
// Returns 1 when accepted, -1 when refused, the read's result when it got nothing.
int ws_upgrade(SOCKET sock, const char* pURI, const char* pHost, const char* pHeaders,
               struct http* res);

// Writes one final frame, masked with the 4 bytes at mask unless it is null.
int ws_send(SOCKET sock, const char* buf, size_t len, int flags, char* mask, char opcode);

// Reads one frame into buf (room for len + 1 bytes), answering ping and close.
// Returns the payload length, 0 or -1 from a read, -2 for a refused frame.
int ws_recv(SOCKET sock, char* buf, size_t len, int flags, char* popcode);

#ifdef __cplusplus
}
#endif

#endif
