// What the unit tests that talk over sockets share: a connected pair to talk
// over, the bytes that go in and come out of it, and WebSocket frames as a
// client writes them.
#ifndef TINKERPOT_TESTS_WIRE_H
#define TINKERPOT_TESTS_WIRE_H

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

#include "../../server/websocket.h"

namespace wire {

// The tests send to peers they have closed on purpose: that must fail with
// an error, not end the test program.
inline const bool sigpipe_ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

// Bytes given as numbers, for frames and heads that hold control bytes.
inline std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out += (char)v;
    return out;
}

// A connected pair: `near` is handed to the function under test, `far` is
// the peer. The send buffers are enlarged so that a frame of 64 KiB fits in
// the pair at once and no test needs a second thread to drain it.
struct SocketPair {
    int near = -1;
    int far = -1;

    SocketPair()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            ADD_FAILURE() << "socketpair: " << strerror(errno);
        near = fds[0];
        far = fds[1];
        int size = 1 << 20;
        setsockopt(near, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(far, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        // A reader that waits for bytes no test sends fails instead of hanging.
        timeval patience = {10, 0};
        setsockopt(near, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        setsockopt(far, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    }
    ~SocketPair()
    {
        close(near);
        if (far >= 0)
            close(far);
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;

    // Everything the far end may send from now on has been sent.
    void peer_stops_sending() { shutdown(far, SHUT_WR); }
    void peer_goes_away()
    {
        close(far);
        far = -1;
    }
};

// Writes all of data without waiting: a test whose bytes do not fit the pair
// fails here instead of hanging.
inline void put(int fd, const std::string& data)
{
    ssize_t sent = send(fd, data.data(), data.size(), MSG_DONTWAIT);
    ASSERT_EQ(sent, (ssize_t)data.size()) << strerror(errno);
}

// What fd can read right now, up to the end of the stream if it has ended.
inline std::string pending(int fd)
{
    std::string out;
    char chunk[65536];
    for (;;) {
        ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got <= 0)
            return out;
        out.append(chunk, (size_t)got);
    }
}

// The masking key of the examples in RFC 6455 section 5.7, which every
// client frame here is masked with unless a test says otherwise.
inline const unsigned char rfc_key[WS_MASK_KEY_SIZE] = {0x37, 0xfa, 0x21, 0x3d};

// One frame as a client would write it: byte0 as given (the FIN bit and the
// opcode), the shortest length form, and the payload masked with key; a null
// key leaves it unmasked, as a server would send it.
inline std::string frame(int byte0, const std::string& payload, const unsigned char* key = rfc_key)
{
    std::string out(1, (char)byte0);
    const size_t n = payload.size();
    const int maskbit = key ? WS_MASKED : 0;
    if (n < WS_LENGTH_16) {
        out += (char)(maskbit | (int)n);
    } else if (n <= 0xFFFF) {
        out += (char)(maskbit | WS_LENGTH_16);
        out += (char)(n >> 8);
        out += (char)n;
    } else {
        out += (char)(maskbit | WS_LENGTH_64);
        for (int i = 7; i >= 0; --i)
            out += (char)((uint64_t)n >> (8 * i));
    }
    if (!key)
        return out + payload;
    out.append((const char*)key, WS_MASK_KEY_SIZE);
    for (size_t i = 0; i < n; ++i)
        out += (char)(payload[i] ^ key[i % WS_MASK_KEY_SIZE]);
    return out;
}

}  // namespace wire

#endif
