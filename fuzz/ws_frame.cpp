// The frame reader over a real socket pair: a writer thread sends the bytes
// in chunks and then ends its side, the reader calls ws_recv until the
// connection would end. Every call is compared with a decoder of the frame
// format written here: result, opcode, unmasked payload, and the pongs and
// closes answered. The reader's buffer is a heap block of exactly the room
// ws_recv is promised, so the sanitizer sees a byte written past it.
//
// libFuzzer's alarm signal, which checks for inputs that run too long, is
// handled without restarting calls: a waiting read it lands in fails. The
// reader blocks it; the peer thread takes it, and its own reads and writes
// go on after it.
//
// Input: a capacity choice, a 16-bit capacity for the last choice, the
// lengths of the first three chunks, then the bytes on the wire.
#include "websocket.h"

#include "fuzz_check.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

enum { CONTROL_BYTES = 6, WIRE_MAX = 4096, CHUNKS = 3 };

// The capacities where the length forms change, and one the input gives.
size_t capacity_from(const uint8_t* control)
{
    static const size_t fixed[] = {0, 1, 125, 126, 127, 65535};
    const size_t choice = control[0] % (std::size(fixed) + 1);
    return choice < std::size(fixed) ? fixed[choice] : (size_t)(control[1] | control[2] << 8);
}

// One call's outcome. The payload counts only for results of 0 or more. A
// read that ends before a frame leaves the buffer as it was; a frame read
// owes a zero byte after its payload.
struct Frame {
    int result = 0;
    char opcode = 0;
    std::string payload;
    bool zero_after_payload = false;
};

// The server stops reading a connection on a failure, on the end of the
// stream and on a close frame.
bool ends_reading(const Frame& frame)
{
    return frame.result < 0 || (frame.result == WS_END_OF_STREAM && frame.opcode == 0) ||
           frame.opcode == WS_OP_CLOSE;
}

// ---- the frame format, decoded from the whole stream ---------------------------

// The wire as a waiting reader sees it: every read gets all it asks for,
// unless the stream ends first.
struct Wire {
    std::string_view bytes;
    size_t at = 0;

    std::string_view take(size_t want)
    {
        std::string_view got = bytes.substr(at, want);
        at += got.size();
        return got;
    }
};

// A header part that comes whole is read; one that ends the stream before
// its first byte gives 0, and one cut inside it fails.
bool take_header_part(Wire& wire, size_t want, std::string_view& part, Frame& frame)
{
    part = wire.take(want);
    if (part.size() == want)
        return true;
    frame.result = part.empty() ? WS_END_OF_STREAM : WS_SOCKET_ERROR;
    return false;
}

uint64_t big_endian(std::string_view bytes)
{
    uint64_t value = 0;
    for (char c : bytes)
        value = value << 8 | (unsigned char)c;
    return value;
}

// The next frame as ws_recv must give it, and what it must answer.
Frame decode_next(Wire& wire, size_t capacity, std::string& answers)
{
    Frame frame;
    std::string_view head;
    if (!take_header_part(wire, 2, head, frame))
        return frame;
    const unsigned char first = (unsigned char)head[0], second = (unsigned char)head[1];
    if (!(first & WS_FIN)) {
        frame.result = WS_REFUSED;  // a fragment
        return frame;
    }
    const bool masked = second & WS_MASKED;
    const unsigned short_length = second & WS_LENGTH_BITS;
    const size_t length_bytes = short_length == WS_LENGTH_64   ? 8
                                : short_length == WS_LENGTH_16 ? 2
                                                               : 0;
    const size_t rest_size = length_bytes + (masked ? WS_MASK_KEY_SIZE : 0);
    std::string_view rest;
    if (rest_size > 0 && !take_header_part(wire, rest_size, rest, frame))
        return frame;
    const uint64_t length = length_bytes ? big_endian(rest.substr(0, length_bytes)) : short_length;
    if (length > capacity) {
        frame.result = WS_REFUSED;
        return frame;
    }

    // None of the payload at all is the end of the stream; a payload cut
    // short by it is no frame.
    std::string_view payload = wire.take((size_t)length);
    if (length > 0 && payload.empty())
        return frame;
    if (payload.size() < length) {
        frame.result = WS_SOCKET_ERROR;
        return frame;
    }
    frame.payload = std::string(payload);
    if (masked) {
        std::string_view key = rest.substr(length_bytes);
        for (size_t i = 0; i < frame.payload.size(); ++i)
            frame.payload[i] = (char)(frame.payload[i] ^ key[i % WS_MASK_KEY_SIZE]);
    }
    frame.result = (int)frame.payload.size();
    frame.opcode = (char)(first & WS_OPCODE_BITS);
    frame.zero_after_payload = true;
    if (frame.opcode == WS_OP_CLOSE)
        answers += std::string("\x88\x00", 2);  // close, unmasked, empty
    else if (frame.opcode == WS_OP_PING)
        answers += std::string("\x8A\x00", 2);  // pong, unmasked, empty
    return frame;
}

std::vector<Frame> decode_stream(std::string_view bytes, size_t capacity, std::string& answers)
{
    Wire wire{bytes};
    std::vector<Frame> frames;
    do
        frames.push_back(decode_next(wire, capacity, answers));
    while (!ends_reading(frames.back()));
    return frames;
}

// ---- the real reader over a socket pair ------------------------------------------

struct SocketPair {
    int reader = -1;
    int writer = -1;

    SocketPair()
    {
        int fds[2];
        check(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "a socket pair can be had");
        reader = fds[0];
        writer = fds[1];
    }
    ~SocketPair()
    {
        close(reader);
        close(writer);
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
};

void send_all(int sock, const char* bytes, size_t count)
{
    while (count > 0) {
        ssize_t sent = send(sock, bytes, count, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return;  // the reader has gone: the rest is not wanted
        bytes += sent;
        count -= (size_t)sent;
    }
}

// Sends the chunks one write each and ends the sending side, then keeps what
// the reader answers until the reader ends too, so neither side can block
// the other.
void play_peer(int sock, std::string_view bytes, const uint8_t* chunk_lengths, std::string& answers)
{
    for (int i = 0; i < CHUNKS; ++i) {
        std::string_view chunk = bytes.substr(0, chunk_lengths[i]);
        send_all(sock, chunk.data(), chunk.size());
        bytes.remove_prefix(chunk.size());
    }
    send_all(sock, bytes.data(), bytes.size());
    shutdown(sock, SHUT_WR);

    char answer[256];
    for (;;) {
        ssize_t got = recv(sock, answer, sizeof answer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        answers.append(answer, (size_t)got);
    }
}

// Blocks the alarm signal in the calling thread for as long as it lives.
struct AlarmBlocked {
    sigset_t before;

    AlarmBlocked()
    {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, &before);
    }
    ~AlarmBlocked() { pthread_sigmask(SIG_SETMASK, &before, nullptr); }
    AlarmBlocked(const AlarmBlocked&) = delete;
    AlarmBlocked& operator=(const AlarmBlocked&) = delete;
};

Frame receive_checked(int sock, char* buf, size_t capacity, size_t wire_size)
{
    // Only the first wire_size + 1 bytes can be reached by a payload and its
    // terminator; marking those is enough to see the terminator written.
    memset(buf, '#', std::min(capacity, wire_size) + 1);
    char opcode = 0x55;
    Frame frame;
    frame.result = ws_recv(sock, buf, capacity, 0, &opcode);
    frame.opcode = opcode;
    check(frame.result >= WS_REFUSED && (frame.result < 0 || (size_t)frame.result <= capacity),
          "a result is -2, -1, or a payload length within the capacity");
    if (frame.result < 0) {
        check(opcode == 0, "a failure gives opcode 0");
        return frame;
    }
    frame.payload.assign(buf, (size_t)frame.result);
    frame.zero_after_payload = buf[frame.result] == 0;
    return frame;
}

std::vector<Frame> read_stream(int sock, size_t capacity, size_t wire_size)
{
    std::unique_ptr<char[]> buf(new char[capacity + 1]);
    std::vector<Frame> frames;
    do
        frames.push_back(receive_checked(sock, buf.get(), capacity, wire_size));
    while (!ends_reading(frames.back()));
    return frames;
}

void check_frames(const std::vector<Frame>& got, const std::vector<Frame>& expected)
{
    for (size_t i = 0; i < got.size() && i < expected.size(); ++i) {
        check(got[i].result == expected[i].result && got[i].opcode == expected[i].opcode,
              "each call gives the result and opcode the frame format gives");
        check(got[i].payload == expected[i].payload, "each payload comes unmasked, as sent");
        check(got[i].zero_after_payload || !expected[i].zero_after_payload,
              "a payload read is followed by a zero byte");
    }
    check(got.size() == expected.size(), "the reader stops at the frame the format says");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < CONTROL_BYTES || size - CONTROL_BYTES > WIRE_MAX)
        return -1;
    const size_t capacity = capacity_from(data);
    const std::string_view wire((const char*)data + CONTROL_BYTES, size - CONTROL_BYTES);

    std::string expected_answers;
    const std::vector<Frame> expected = decode_stream(wire, capacity, expected_answers);

    SocketPair pair;
    std::string answers;
    std::thread peer(play_peer, pair.writer, wire, data + 3, std::ref(answers));
    std::vector<Frame> frames;
    {
        AlarmBlocked blocked;
        frames = read_stream(pair.reader, capacity, wire.size());
    }
    shutdown(pair.reader, SHUT_RDWR);  // the peer's wait for answers ends
    peer.join();

    check_frames(frames, expected);
    check(answers == expected_answers, "each ping is answered by a pong and each close by a close");
    return 0;
}
