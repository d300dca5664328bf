// WebSocket (RFC 6455, version 13): the handshake on both sides and single,
// unfragmented frames on a connected, blocking socket. No function keeps
// state between calls, none takes a lock, and each may run on many threads
// at once, each on its own socket.
#ifndef TINKERPOT_WEBSOCKET_H
#define TINKERPOT_WEBSOCKET_H

#include <stddef.h>

#include "platform.h"  // SOCKET: a plain descriptor, or Winsock's handle on Windows

struct http;

// The frame format (RFC 6455 section 5.2), named once.
enum {
    // Byte 0: the final-frame bit and the opcode in the low four bits.
    WS_FIN = 0x80,
    WS_OPCODE_BITS = 0x0F,
    // Byte 1: the mask bit and the payload length, or one of the two markers
    // of a longer length that follows in 2 or 8 bytes.
    WS_MASKED = 0x80,
    WS_LENGTH_BITS = 0x7F,
    WS_LENGTH_16 = 126,
    WS_LENGTH_64 = 127,
    WS_MASK_KEY_SIZE = 4,
    WS_HEADER_MAX = 14,  // the two bytes, an 8-byte length and the key
};

// Opcodes. Those with WS_OP_CONTROL set are control frames.
enum {
    WS_OP_CONTINUATION = 0,
    WS_OP_TEXT = 1,
    WS_OP_BINARY = 2,
    WS_OP_DATA_RESERVED_FIRST = 3,  // 3 to 7: reserved data frames
    WS_OP_DATA_RESERVED_LAST = 7,
    WS_OP_CONTROL = 0x08,
    WS_OP_CLOSE = 8,
    WS_OP_PING = 9,
    WS_OP_PONG = 10,
    WS_OP_CONTROL_RESERVED_FIRST = 11,  // 11 to 15: reserved control frames
    WS_OP_CONTROL_RESERVED_LAST = 15,
};

// What ws_recv and ws_send return besides a byte count.
enum {
    // The stream ended, with the opcode left 0. An empty frame also gives 0,
    // with its own opcode, except an empty continuation frame, whose opcode
    // is 0 as well: that one cannot be told from the end of the stream.
    WS_END_OF_STREAM = 0,
    WS_SOCKET_ERROR = -1,
    WS_REFUSED = -2,  // a frame that cannot be taken or sent
};

#ifdef __cplusplus
extern "C" {
#endif

// Server side. Returns 0 when the request is no version-13 upgrade (its
// "Sec-WebSocket-Version" is not 13) and sends nothing; otherwise sends the
// 101 reply with the accept value of its "Sec-WebSocket-Key" and returns that
// send's result: above 0 when the reply went out, 0 or -1 when it did not.
int ws_handshake(SOCKET sock, const struct http* req);

// Client side: sends an upgrade request for pURI with a fixed key (pHeaders,
// whole header lines, are added as they are), then reads the reply into res,
// which the caller owns. Returns 1 when the server accepted with 101 and the
// right accept value; -1 when it refused, the reply does not parse, or the
// request would not fit its 1,024-byte buffer (then nothing is sent); the
// read's result (0 or -1) when no reply came.
int ws_upgrade(SOCKET sock, const char* pURI, const char* pHost, const char* pHeaders,
               struct http* res);

// Writes one final frame of `opcode` (0 to 15): the header in one send, the
// payload in a second (also when it is empty), both with `flags`. With a
// mask (4 bytes) the payload goes out XORed with it and buf is left as it
// was; null sends it unmasked. buf may be null when len is 0.
// Returns the payload send's result: the bytes it took (0 for an empty
// payload) or -1. When the header send takes nothing or fails, its result
// (0 or -1) and no payload is sent. WS_REFUSED (-2) for a payload of more
// than INT_MAX bytes, whose count no result could hold; -1 when the masked
// copy cannot be allocated. In both cases nothing is sent.
int ws_send(SOCKET sock, const char* buf, size_t len, int flags, char* mask, char opcode);

// Reads exactly one frame, waiting until all of it has arrived, and never a
// byte of the next. The unmasked payload goes into buf, which must hold
// len + 1 bytes, followed by a zero byte; *popcode (unless popcode is null)
// is 0 at once and the frame's opcode once it is read whole. A close frame
// is answered with an empty close and a ping with an empty pong before the
// call returns (their sends' results are not looked at); the socket stays
// open. flags is not used.
// Returns the payload length (0 or more) for a frame read whole. Otherwise,
// with *popcode left 0:
//   0   (WS_END_OF_STREAM) the stream ended before the frame, or between
//       two of its parts (head; length and key; payload);
//   -1  (WS_SOCKET_ERROR) a read failed, or the stream ended inside one of
//       its parts: a cut frame is no frame;
//   -2  (WS_REFUSED) the frame is not final (a fragment), or announces more
//       than len or than INT_MAX payload bytes. A fragment is refused once
//       its first two bytes are read: the rest of its header (any extended
//       length and mask key) and its payload stay in the socket. A frame too
//       long is refused once its whole header is read: its payload stays.
//       Either way the stream cannot be read on.
int ws_recv(SOCKET sock, char* buf, size_t len, int flags, char* popcode);

#ifdef __cplusplus
}
#endif

#endif
