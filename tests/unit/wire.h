// What the unit tests that talk over sockets share.
#ifndef TINKERPOT_TESTS_WIRE_H
#define TINKERPOT_TESTS_WIRE_H

#include <signal.h>

#include <initializer_list>
#include <string>

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

}  // namespace wire

#endif
