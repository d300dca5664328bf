// The WebSocket unit: its own SHA-1 and base64, both sides of the handshake,
// and the frame reader and writer, each side of a local socket pair playing
// the peer of the other. The unit's source is included for its static
// functions.

// ws_send's masked copy is the unit's one allocation. So that a test can make
// it fail, the unit is compiled here with its malloc calls turned to
// ws_test_malloc, which fails once when told to; the process's allocator,
// and the sanitizers' over it, stay as they are. The headers the unit
// includes come first: their include guards keep the macro from reaching
// anything but the unit's own text.
#include "../../server/http.h"
#include "../../server/websocket.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

namespace {

std::atomic<bool> next_malloc_fails{false};

void* ws_test_malloc(size_t size)
{
    return next_malloc_fails.exchange(false) ? NULL : malloc(size);
}

}  // namespace

#define malloc ws_test_malloc
#include "../../server/websocket.cpp"
#undef malloc

#include <gtest/gtest.h>

#include "wire.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace {

using wire::bytes;
using wire::frame;
using wire::pending;
using wire::put;
using wire::rfc_key;
using wire::SocketPair;

std::string hex(const unsigned char* data, size_t len)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < len; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

// n bytes following a fixed rule, so that every length has its own content.
std::vector<unsigned char> pattern(size_t n)
{
    std::vector<unsigned char> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = (unsigned char)(i % 251);
    return out;
}

// 'A' to 'Z' over and over: keys of any length made of header-safe characters.
std::string letters(size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += (char)('A' + i % 26);
    return out;
}

// Exactly n bytes from fd, or what came before the stream ended or the wait
// ran out.
std::string take(int fd, size_t n)
{
    std::string out(n, '\0');
    ssize_t got = n ? recv(fd, &out[0], n, MSG_WAITALL) : 0;
    out.resize(got > 0 ? (size_t)got : 0);
    return out;
}

// ---- SHA-1 ------------------------------------------------------------------

// Reference digests made once with Python's hashlib:
//   python3 -c 'import hashlib; print(hashlib.sha1(bytes(i % 251 for i in range(n))).hexdigest())'
// so the message of length n is the bytes i % 251 for i = 0 .. n - 1. The
// lengths sit on the block edges: the length field fits up to 55 bytes, 56 to
// 63 need a block of their own, 64 fills a block exactly.
struct DigestCase {
    size_t length;
    const char* digest;
};

const DigestCase patterned_digests[] = {
    {0, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {1, "5ba93c9db0cff93f52b521d7420e43f6eda2784f"},
    {55, "8ae2d46729cfe68ff927af5eec9c7d1b66d65ac2"},
    {56, "636e2ec698dac903498e648bd2f3af641d3c88cb"},
    {63, "6d942da0c4392b123528f2905c713a3ce28364bd"},
    {64, "c6138d514ffa2135bfce0ed0b8fac65669917ec7"},
    {65, "69bd728ad6e13cd76ff19751fde427b00e395746"},
    {119, "41c89d06001bab4ab78736b44efe7ce18ce6ae08"},
    {120, "d3dbd653bd8597b7475321b60a36891278e6a04a"},
    {128, "e6434bc401f98603d7eda504790c98c67385d535"},
};

// Hashes a copy of exactly len bytes on the heap, so that the sanitizer sees
// any read past the message, into a 21-byte digest whose last byte is a
// marker that must survive.
std::string digest_of(const unsigned char* message, size_t len)
{
    std::vector<unsigned char> exact(message, message + len);
    unsigned char hash[21];
    memset(hash, 0xA5, sizeof hash);
    sha1_calc(exact.data(), (int)len, hash);
    EXPECT_EQ(hash[20], 0xA5) << "byte after the digest written";
    return hex(hash, 20);
}

TEST(Sha1, DigestsAtTheBlockEdges)
{
    for (const DigestCase& c : patterned_digests) {
        std::vector<unsigned char> message = pattern(c.length);
        EXPECT_EQ(digest_of(message.data(), c.length), c.digest) << c.length << " bytes";
    }
}

// The example messages of FIPS 180-4 (one block, two blocks, and the
// million times 'a'), digests from `printf %s MESSAGE | openssl dgst -sha1`
// and `python3 -c 'import hashlib; print(hashlib.sha1(b"a" * 1000000).hexdigest())'`.
TEST(Sha1, PublishedExampleMessages)
{
    const std::string one_block = "abc";
    const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::string million(1000000, 'a');
    EXPECT_EQ(digest_of((const unsigned char*)one_block.data(), one_block.size()),
              "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(digest_of((const unsigned char*)two_blocks.data(), two_blocks.size()),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(digest_of((const unsigned char*)million.data(), million.size()),
              "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// ---- base64 -----------------------------------------------------------------

// Encodes a heap copy of exactly the input into a buffer prefilled with '#',
// and checks that the text ends with one zero byte and nothing after it.
std::string encode(const std::string& input)
{
    std::vector<unsigned char> exact(input.begin(), input.end());
    const size_t room = 4 * ((input.size() + 2) / 3) + 1;
    std::vector<char> out(room + 8, '#');
    base64_encode_binary(out.data(), exact.data(), exact.size());
    EXPECT_EQ(out[room - 1], '\0') << "terminator";
    for (size_t i = room; i < out.size(); ++i)
        EXPECT_EQ(out[i], '#') << "written past the terminator at " << i;
    return std::string(out.data());
}

TEST(Base64, Rfc4648TestVectors)
{
    // clang-format off
    const char* const vectors[][2] = {
        {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},       {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    // clang-format on
    for (const auto& v : vectors)
        EXPECT_EQ(encode(v[0]), v[1]) << '"' << v[0] << '"';
}

TEST(Base64, BytesAfterTheInputHaveNoInfluence)
{
    for (int next = 0; next < 256; ++next) {
        const unsigned char one[2] = {'f', (unsigned char)next};
        const unsigned char two[3] = {'f', 'o', (unsigned char)next};
        char out[5];
        base64_encode_binary(out, one, 1);
        EXPECT_STREQ(out, "Zg==") << "next byte " << next;
        base64_encode_binary(out, two, 2);
        EXPECT_STREQ(out, "Zm8=") << "next byte " << next;
    }
}

// Reference texts from python3 -c 'import base64; print(base64.b64encode(bytes(range(n))).decode())'.
TEST(Base64, LongInputStaysOnOneLine)
{
    std::string fifty_seven, sixty;
    for (int i = 0; i < 60; ++i)
        (i < 57 ? fifty_seven : sixty) += (char)i;
    sixty = fifty_seven + sixty;
    EXPECT_EQ(encode(fifty_seven),
              "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4");
    EXPECT_EQ(encode(sixty),
              "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7");
}

// ---- server handshake -----------------------------------------------------

const char reply_before_accept[] =
    "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
    "Sec-WebSocket-Accept: ";

// Parses head into req as on_http would and runs the handshake on the pair's
// near end; returns its result and leaves in *sent what the peer received.
int handshake(const std::string& head, std::string* sent)
{
    SocketPair pair;
    static http req;  // 4 KiB of record: kept off the stack
    http_reset(&req);
    EXPECT_LE(head.size(), (size_t)HTTP_READ_SIZE);
    memcpy(req.m_aBuf, head.data(), head.size());
    req.m_nBuf = (int)head.size();
    EXPECT_GT(http_parse(&req), 0) << head;
    int result = ws_handshake(pair.near, &req);
    *sent = pending(pair.far);
    return result;
}

std::string upgrade_request(const std::string& header_lines,
                            const std::string& start = "GET /chat HTTP/1.1")
{
    return start + "\r\nHost: server.example.com\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
           header_lines + "\r\n";
}

// The accept value the peer got, or "" when the reply is not the 101.
std::string accept_in(const std::string& sent)
{
    if (sent.compare(0, strlen(reply_before_accept), reply_before_accept) != 0)
        return "";
    const size_t start = strlen(reply_before_accept);
    const size_t end = sent.find("\r\n\r\n", start);
    return end == std::string::npos ? "" : sent.substr(start, end - start);
}

TEST(Handshake, Rfc6455SampleKeyGetsThePrintedAcceptIn129Bytes)
{
    std::string sent;
    int result = handshake(
        upgrade_request(
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"),
        &sent);
    EXPECT_EQ(sent, std::string(reply_before_accept) + "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    EXPECT_EQ(sent.size(), 129u);
    EXPECT_EQ(result, 129);
}

// atoi decides: leading digits after an optional sign count, the rest of the
// value is ignored; only the first version header is looked at.
TEST(Handshake, VersionValuesThatUpgradeAndThatDoNot)
{
    struct {
        const char* lines;
        bool upgrades;
    } const cases[] = {
        {"Sec-WebSocket-Version: 13\r\n", true},
        {"Sec-WebSocket-Version: 13 \r\n", true},
        {"Sec-WebSocket-Version: 013\r\n", true},
        {"Sec-WebSocket-Version: +13\r\n", true},
        {"Sec-WebSocket-Version: 13abc\r\n", true},
        {"sec-websocket-VERSION: 13\r\n", true},
        {"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Version: 8\r\n", true},
        {"Sec-WebSocket-Version: 8\r\nSec-WebSocket-Version: 13\r\n", false},
        {"Sec-WebSocket-Version: -13\r\n", false},
        {"Sec-WebSocket-Version: 1.3\r\n", false},
        {"Sec-WebSocket-Version: 8\r\n", false},
        {"Sec-WebSocket-Version: \r\n", false},
        {"Sec-WebSocket-Version: 99999999999999999999\r\n", false},
        {"", false},
    };
    for (const auto& c : cases) {
        std::string sent;
        int result =
            handshake(upgrade_request(
                          std::string("Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n") + c.lines),
                      &sent);
        if (c.upgrades) {
            EXPECT_EQ(result, 129) << c.lines;
            EXPECT_EQ(accept_in(sent), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=") << c.lines;
        } else {
            EXPECT_EQ(result, 0) << c.lines;
            EXPECT_EQ(sent, "") << c.lines;
        }
    }
}

TEST(Handshake, AnyMethodAndPathUpgrades)
{
    for (const char* start :
         {"POST /form HTTP/1.1", "PUT /nothing/here HTTP/1.0", "BREW /pot?x=1 HTCPCP/1.0"}) {
        std::string sent;
        EXPECT_EQ(handshake(upgrade_request("Sec-WebSocket-Version: 13\r\n"
                                            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n",
                                            start),
                            &sent),
                  129)
            << start;
        EXPECT_EQ(accept_in(sent), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=") << start;
    }
}

// The key is hashed exactly as the parser left it, whatever its length:
// missing, with the spaces that ended its line, one past the 24 characters of
// a real key, and long enough to fill most of a request head. Accept values
// made with
//   python3 -c 'import hashlib, base64; print(base64.b64encode(hashlib.sha1(KEY + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest()).decode())'
// where the long keys are letters(n): 'A' to 'Z' repeated, n characters.
TEST(Handshake, KeyIsHashedWholeAsParsed)
{
    struct {
        std::string key_line;
        const char* accept;
    } const cases[] = {
        {"", "Kfh9QIsMVZcl6xEPYxPHzW8SZ8w="},
        {"Sec-WebSocket-Key:\r\n", "Kfh9QIsMVZcl6xEPYxPHzW8SZ8w="},
        {"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==  \r\n", "mogpCUDsFBfEiTi8XY/wyJyveQ0="},
        {"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==x\r\n", "BzNAzmG7pR+ld7Wv5wv5nZJBluU="},
        {"Sec-WebSocket-Key: " + letters(200) + "\r\n", "Ry03eFrlFu7tRolqJcEznPWpYSc="},
        {"Sec-WebSocket-Key: " + letters(3900) + "\r\n", "z8X8WMVpDwVwz2CwgAIEjHe0sOU="},
    };
    for (const auto& c : cases) {
        std::string sent;
        int result =
            handshake(upgrade_request(c.key_line + "Sec-WebSocket-Version: 13\r\n"), &sent);
        EXPECT_EQ(result, 129) << c.key_line.size();
        EXPECT_EQ(accept_in(sent), c.accept) << c.key_line.size();
        EXPECT_EQ(sent.size(), 129u);
    }
}

TEST(Handshake, ReplyToAVanishedPeerFailsQuietly)
{
    SocketPair pair;
    static http req;
    const std::string head = upgrade_request("Sec-WebSocket-Version: 13\r\n");
    http_reset(&req);
    memcpy(req.m_aBuf, head.data(), head.size());
    req.m_nBuf = (int)head.size();
    ASSERT_GT(http_parse(&req), 0);
    pair.peer_goes_away();
    EXPECT_EQ(ws_handshake(pair.near, &req), -1);
}

// ---- client upgrade -------------------------------------------------------

// Runs ws_upgrade on the near end with reply already waiting at the peer (the
// key is fixed, so the reply can be written before the request is sent).
// Returns its result and leaves the request it sent in *request.
int upgrade(const std::string& reply, std::string* request, bool peer_closes = false,
            const std::string& uri = "/chat", const std::string& host = "server.example.com",
            const std::string& headers = "")
{
    SocketPair pair;
    static http res;  // no preparation needed: filled by the read
    put(pair.far, reply);
    if (peer_closes)
        pair.peer_stops_sending();
    int result = ws_upgrade(pair.near, uri.c_str(), host.c_str(), headers.c_str(), &res);
    *request = pending(pair.far);
    return result;
}

std::string key_in(const std::string& request)
{
    const std::string name = "\r\nSec-WebSocket-Key: ";
    size_t at = request.find(name);
    if (at == std::string::npos)
        return "";
    at += name.size();
    return request.substr(at, request.find("\r\n", at) - at);
}

// The accept value that RFC 6455 asks of a server for key, computed here from
// the SHA-1 and base64 checked against independent references above.
std::string rfc_accept(const std::string& key)
{
    const std::string joined = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char hash[20];
    sha1_calc(joined.data(), (int)joined.size(), hash);
    char text[29];
    base64_encode_binary(text, hash, 20);
    return text;
}

std::string reply_101(const std::string& accept_line)
{
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
           accept_line + "\r\n";
}

TEST(Upgrade, SendsTheRequestWithItsFixedKey)
{
    std::string request;
    upgrade("", &request, true);
    const std::string key = key_in(request);
    EXPECT_EQ(request, "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\n"
                       "Connection: Upgrade\r\nSec-WebSocket-Key: " +
                           key + "\r\nSec-WebSocket-Version: 13\r\n\r\n");
    // 16 bytes in base64: 24 characters, the last two padding.
    EXPECT_EQ(key.size(), 24u);
    EXPECT_EQ(key.substr(22), "==");

    std::string again;
    upgrade("", &again, true, "/", "h", "Origin: http://example.com\r\nX-A: b\r\n");
    EXPECT_EQ(key_in(again), key) << "the key is the same on every call";
    const std::string tail = "Version: 13\r\nOrigin: http://example.com\r\nX-A: b\r\n\r\n";
    ASSERT_GE(again.size(), tail.size());
    EXPECT_EQ(again.substr(again.size() - tail.size()), tail);
}

TEST(Upgrade, ChecksTheStatusAndTheAcceptValue)
{
    std::string request;
    upgrade("", &request, true);
    const std::string accept = rfc_accept(key_in(request));
    std::string upper = accept, lower = accept;
    for (char& ch : upper)
        ch = (char)toupper((unsigned char)ch);
    for (char& ch : lower)
        ch = (char)tolower((unsigned char)ch);
    const std::string changed_case = upper != accept ? upper : lower;

    struct {
        const char* what;
        std::string reply;
        int result;
    } const cases[] = {
        {"the RFC accept value", reply_101("Sec-WebSocket-Accept: " + accept + "\r\n"), 1},
        {"header name in lower case", reply_101("sec-websocket-accept: " + accept + "\r\n"), 1},
        {"status 200", "HTTP/1.1 200 OK\r\nSec-WebSocket-Accept: " + accept + "\r\n\r\n", -1},
        {"no accept header", reply_101(""), -1},
        {"accept in other letter case", reply_101("Sec-WebSocket-Accept: " + changed_case + "\r\n"),
         -1},
        {"accept with a trailing space", reply_101("Sec-WebSocket-Accept: " + accept + " \r\n"),
         -1},
        {"head cut in two", reply_101("Sec-WebSocket-Accept: " + accept + "\r\n").substr(0, 60),
         -1},
        {"no status line", "\r\n\r\n", -1},
    };
    for (const auto& c : cases) {
        std::string sent;
        EXPECT_EQ(upgrade(c.reply, &sent), c.result) << c.what;
    }
}

TEST(Upgrade, PeerClosingWithoutAnswerGivesZero)
{
    std::string request;
    EXPECT_EQ(upgrade("", &request, true), 0);
    EXPECT_NE(request, "") << "the request still went out";
}

// The fixed text, the key and the version take 138 characters: 885 more
// make a request of 1023, the most its 1024-byte buffer holds.
TEST(Upgrade, RequestThatWouldNotFitIsNotSent)
{
    const std::string host(300, 'h'), headers = "X-Pad: " + std::string(283, 'p') + "\r\n";
    const std::string uri_fits = "/" + std::string(885 - host.size() - headers.size() - 1, 'u');
    std::string request;
    EXPECT_EQ(upgrade("", &request, true, uri_fits, host, headers), 0);
    EXPECT_EQ(request.size(), 1023u);
    EXPECT_EQ(request.substr(request.size() - 4), "\r\n\r\n");

    EXPECT_EQ(upgrade("", &request, true, uri_fits + "u", host, headers), -1);
    EXPECT_EQ(request, "") << "a cut request was sent";
}

// ---- frames: reading --------------------------------------------------------

struct ReadCase {
    const char* what;
    std::string wire;  // what the peer sends
    bool peer_closes;  // and then ends its side
    int result;
    int opcode;
    std::string payload;  // as delivered, for results of 0 or more
    std::string answer;   // what ws_recv sent back
    std::string left;     // bytes still in the socket afterwards
};

const std::string hello = "Hello";
const std::string masked_hello =
    bytes({0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58});

// clang-format off
std::vector<ReadCase> read_cases()
{
    const std::string pong = bytes({0x8A, 0x00}), close_reply = bytes({0x88, 0x00});
    return {
        {"RFC 6455 unmasked text", bytes({0x81, 0x05}) + hello, false, 5, 1, hello, "", ""},
        {"RFC 6455 masked text", masked_hello, false, 5, 1, hello, "", ""},
        {"RFC 6455 ping", bytes({0x89, 0x05}) + hello, false, 5, 9, hello, pong, ""},
        {"masked empty ping", bytes({0x89, 0x80, 1, 2, 3, 4}), false, 0, 9, "", pong, ""},
        {"close with status 1000", bytes({0x88, 0x82, 0x37, 0xfa, 0x21, 0x3d, 0x03 ^ 0x37, 0xE8 ^ 0xfa}), false, 2, 8,
         bytes({0x03, 0xE8}), close_reply, ""},
        {"pong", bytes({0x8A, 0x02}) + "hi", false, 2, 10, "hi", "", ""},
        {"reserved control opcode 11", bytes({0x8B, 0x00}), false, 0, 11, "", "", ""},
        {"reserved data opcode 3", bytes({0x83, 0x01}) + "x", false, 1, 3, "x", "", ""},
        {"final continuation", bytes({0x80, 0x01}) + "x", false, 1, 0, "x", "", ""},
        {"RSV bits set", bytes({0xF1, 0x05}) + hello, false, 5, 1, hello, "", ""},
        {"16-bit length below 126", bytes({0x81, 0x7E, 0x00, 0x05}) + hello, false, 5, 1, hello, "", ""},
        {"FIN clear", std::string(1, 0x01) + masked_hello.substr(1), false, -2, 0, "", "",
         masked_hello.substr(2)},
        {"8-byte length of 2^32", bytes({0x82, 0x7F, 0, 0, 0, 1, 0, 0, 0, 0}) + "abc", false, -2, 0, "", "",
         "abc"},
        {"8-byte length with the top bit set", bytes({0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 5, 1, 2, 3, 4}),
         false, -2, 0, "", "", ""},
        {"peer closed before anything", "", true, 0, 0, "", "", ""},
        {"peer closed right after the head", bytes({0x81, 0x05}), true, 0, 0, "", "", ""},
        {"peer closed right after the head of a 16-bit length", bytes({0x81, 0xFE}), true, 0, 0, "", "", ""},
        {"peer closed after one head byte", bytes({0x81}), true, -1, 0, "", "", ""},
        {"peer closed inside the masking key", masked_hello.substr(0, 4), true, -1, 0, "", "", ""},
        {"peer closed inside a 16-bit length", bytes({0x81, 0x7E, 0x00}), true, -1, 0, "", "", ""},
        {"peer closed inside an 8-byte length", bytes({0x82, 0x7F, 0, 0, 0}), true, -1, 0, "", "", ""},
        {"peer closed inside the payload", masked_hello.substr(0, 8), true, -1, 0, "", "", ""},
        {"peer closed inside a ping's payload", bytes({0x89, 0x05}) + "Hel", true, -1, 0, "", "", ""},
    };
}
// clang-format on

TEST(Recv, FramesAndWhatIsAnsweredAndLeft)
{
    for (const ReadCase& c : read_cases()) {
        SocketPair pair;
        put(pair.far, c.wire);
        if (c.peer_closes)
            pair.peer_stops_sending();
        std::vector<char> buf(65536, '#');
        char opcode = 0x55;
        int result = ws_recv(pair.near, buf.data(), 65535, 0, &opcode);
        EXPECT_EQ(result, c.result) << c.what;
        EXPECT_EQ(opcode, c.opcode) << c.what;
        if (c.result > 0 || (c.result == 0 && c.opcode)) {
            EXPECT_EQ(std::string(buf.data(), (size_t)result), c.payload) << c.what;
            EXPECT_EQ(buf[result], '\0') << c.what;
        }
        EXPECT_EQ(pending(pair.far), c.answer) << c.what;
        EXPECT_EQ(pending(pair.near), c.left) << c.what;
    }
}

// Each payload fills a heap buffer of capacity + 1 bytes to its end, so the
// sanitizer sees a terminator written one too far.
TEST(Recv, LengthFormBoundaries)
{
    for (size_t n : {125u, 126u, 65535u, 65536u}) {
        SocketPair pair;
        std::vector<unsigned char> bytes_n = pattern(n);
        const std::string payload(bytes_n.begin(), bytes_n.end());
        put(pair.far, frame(WS_FIN | WS_OP_BINARY, payload, rfc_key));
        std::vector<char> buf(65536);
        char opcode = 0;
        int result = ws_recv(pair.near, buf.data(), 65535, 0, &opcode);
        if (n <= 65535) {
            EXPECT_EQ(result, (int)n);
            EXPECT_EQ(opcode, 2);
            EXPECT_EQ(std::string(buf.data(), n), payload) << n;
            EXPECT_EQ(buf[n], '\0');
            EXPECT_EQ(pending(pair.near), "");
        } else {
            EXPECT_EQ(result, -2);
            EXPECT_EQ(opcode, 0);
            std::string left = pending(pair.near);
            EXPECT_EQ(left.size(), n);
            for (size_t i = 0; i < left.size() && i < n; ++i)
                ASSERT_EQ((unsigned char)left[i],
                          (unsigned char)(payload[i] ^ rfc_key[i % WS_MASK_KEY_SIZE]))
                    << i;
        }
    }
}

TEST(Recv, FramesBackToBackAreReadOnePerCall)
{
    SocketPair pair;
    put(pair.far, masked_hello + bytes({0x82, 0x03}) + "abc");
    char buf[8];
    char opcode = 0;
    EXPECT_EQ(ws_recv(pair.near, buf, 7, 0, &opcode), 5);
    EXPECT_STREQ(buf, "Hello");
    EXPECT_EQ(ws_recv(pair.near, buf, 7, 0, &opcode), 3);
    EXPECT_EQ(opcode, 2);
    EXPECT_STREQ(buf, "abc");
}

TEST(Recv, WithoutOpcodeStorageTheFrameIsStillReadAndAnswered)
{
    SocketPair pair;
    put(pair.far, bytes({0x89, 0x05}) + hello + masked_hello);
    char buf[8];
    EXPECT_EQ(ws_recv(pair.near, buf, 7, 0, nullptr), 5);
    EXPECT_EQ(pending(pair.far), bytes({0x8A, 0x00}));
    EXPECT_EQ(ws_recv(pair.near, buf, 7, 0, nullptr), 5);
    EXPECT_STREQ(buf, "Hello");
}

TEST(Recv, AnswerToAVanishedPeerStillReturnsThePayload)
{
    SocketPair pair;
    put(pair.far, bytes({0x88, 0x02, 0x03, 0xE8}));
    pair.peer_goes_away();
    char buf[8];
    char opcode = 0;
    EXPECT_EQ(ws_recv(pair.near, buf, 7, 0, &opcode), 2);
    EXPECT_EQ(opcode, 8);
}

// A handled signal ends a waiting read early with the bytes that came so far,
// even when its handler asks for calls to be restarted, as signal() does. A
// frame once begun must still be read whole: the caller cannot take it up in
// the middle.
std::atomic<bool> signal_handled{false};

void note_signal(int) { signal_handled = true; }

struct SignalHandled {
    struct sigaction before;

    SignalHandled()
    {
        struct sigaction action = {};
        action.sa_handler = note_signal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, &before);
    }
    ~SignalHandled() { sigaction(SIGUSR1, &before, nullptr); }
};

int queued(int fd)
{
    int n = 0;
    ioctl(fd, FIONREAD, &n);
    return n;
}

struct InterruptedFrame {
    const char* what;
    std::string first;  // taken by ws_recv before the signal
    std::string rest;   // sent once the handler has run
};

TEST(Recv, FrameInterruptedBySignalIsStillReadWhole)
{
    const std::string head = frame(WS_FIN | WS_OP_TEXT, hello, rfc_key);
    const std::vector<InterruptedFrame> cases = {
        {"inside the first two bytes", head.substr(0, 1), head.substr(1)},
        {"inside the masking key", head.substr(0, 4), head.substr(4)},
        {"inside the payload", head.substr(0, 8), head.substr(8)},
    };
    SignalHandled handled;
    for (const InterruptedFrame& c : cases) {
        SocketPair pair;
        signal_handled = false;
        char buf[8];
        char opcode = 0;
        int result = 0;
        std::thread reader([&] { result = ws_recv(pair.near, buf, 7, 0, &opcode); });
        put(pair.far, c.first);
        // Once nothing is queued, the reader has taken the first bytes and
        // waits inside its read for the rest.
        while (queued(pair.near) > 0)
            std::this_thread::yield();
        pthread_kill(reader.native_handle(), SIGUSR1);
        while (!signal_handled)
            std::this_thread::yield();
        put(pair.far, c.rest);
        reader.join();
        EXPECT_EQ(result, 5) << c.what;
        EXPECT_EQ(opcode, 1) << c.what;
        EXPECT_EQ(std::string(buf, result > 0 ? (size_t)result : 0), hello) << c.what;
        EXPECT_EQ(pending(pair.near), "") << c.what;
    }
}

// ---- frames: writing --------------------------------------------------------

TEST(Send, LengthForms)
{
    struct {
        size_t length;
        std::string header;
    } const cases[] = {
        {0, bytes({0x82, 0x00})},
        {125, bytes({0x82, 0x7D})},
        {126, bytes({0x82, 0x7E, 0x00, 0x7E})},
        {256, bytes({0x82, 0x7E, 0x01, 0x00})},  // RFC 6455 section 5.7
        {65535, bytes({0x82, 0x7E, 0xFF, 0xFF})},
        {65536, bytes({0x82, 0x7F, 0, 0, 0, 0, 0, 1, 0, 0})},  // RFC 6455 section 5.7
    };
    for (const auto& c : cases) {
        SocketPair pair;
        std::vector<unsigned char> payload = pattern(c.length);
        int result =
            ws_send(pair.near, (const char*)payload.data(), c.length, 0, nullptr, WS_OP_BINARY);
        EXPECT_EQ(result, (int)c.length);
        EXPECT_EQ(take(pair.far, c.header.size()), c.header) << c.length;
        EXPECT_EQ(take(pair.far, c.length), std::string(payload.begin(), payload.end()))
            << c.length;
        EXPECT_EQ(pending(pair.far), "") << c.length;
    }
}

TEST(Send, MaskedPayloadGoesOutXoredAndTheCallersBufferStays)
{
    SocketPair pair;
    char key[4] = {0x37, (char)0xfa, 0x21, 0x3d};
    char text[] = "Hello";
    EXPECT_EQ(ws_send(pair.near, text, 5, 0, key, WS_OP_TEXT), 5);
    EXPECT_EQ(pending(pair.far), masked_hello);
    EXPECT_STREQ(text, "Hello");

    const std::string long_text = letters(300);
    EXPECT_EQ(ws_send(pair.near, long_text.data(), long_text.size(), 0, key, WS_OP_TEXT), 300);
    EXPECT_EQ(pending(pair.far), frame(WS_FIN | WS_OP_TEXT, long_text, rfc_key));
}

TEST(Send, EmptyPayload)
{
    SocketPair pair;
    char key[4] = {1, 2, 3, 4};
    EXPECT_EQ(ws_send(pair.near, nullptr, 0, 0, nullptr, WS_OP_PONG), 0);
    EXPECT_EQ(pending(pair.far), bytes({0x8A, 0x00}));
    EXPECT_EQ(ws_send(pair.near, "", 0, 0, key, WS_OP_TEXT), 0);
    EXPECT_EQ(pending(pair.far), bytes({0x81, 0x80, 1, 2, 3, 4}));
}

TEST(Send, FailuresSendNothingAndSayMinusOne)
{
    SocketPair pair;
    pair.peer_goes_away();
    EXPECT_EQ(ws_send(pair.near, "Hello", 5, 0, nullptr, WS_OP_TEXT), -1);
}

// Without its masked copy a frame would go out as a header alone, which
// would break the stream: nothing goes out.
TEST(Send, MaskedCopyThatCannotBeMadeSendsNothingAndSaysMinusOne)
{
    SocketPair pair;
    char key[4] = {0x37, (char)0xfa, 0x21, 0x3d};
    next_malloc_fails = true;
    EXPECT_EQ(ws_send(pair.near, "Hello", 5, 0, key, WS_OP_TEXT), -1);
    EXPECT_FALSE(next_malloc_fails) << "ws_send asked for no masked copy";
    EXPECT_EQ(pending(pair.far), "");

    EXPECT_EQ(ws_send(pair.near, "Hello", 5, 0, key, WS_OP_TEXT), 5);
    EXPECT_EQ(pending(pair.far), masked_hello);
}

// A result is an int, so no frame longer than INT_MAX bytes is sent or read:
// each is refused whole, before a byte of it moves, as an over-capacity frame
// is. The buffers are far smaller than the lengths: a function that went on
// would read or write past them, which the sanitizers report.
TEST(Lengths, BeyondIntAreRefusedWhole)
{
    if (SIZE_MAX <= (size_t)INT_MAX + 1)
        GTEST_SKIP() << "size_t holds no length beyond INT_MAX + 1 here";
    volatile size_t beyond = (size_t)INT_MAX + 1;
    char key[4] = {1, 2, 3, 4};
    for (char* mask : {(char*)nullptr, key}) {
        SocketPair pair;
        EXPECT_EQ(ws_send(pair.near, "x", beyond, 0, mask, WS_OP_BINARY), -2)
            << (mask ? "masked" : "unmasked");
        EXPECT_EQ(pending(pair.far), "") << (mask ? "masked" : "unmasked");
    }
    for (uint64_t announced : {(uint64_t)INT_MAX + 1, (uint64_t)UINT32_MAX}) {
        SocketPair pair;
        std::string head = bytes({WS_FIN | WS_OP_BINARY, WS_LENGTH_64});
        for (int i = 7; i >= 0; --i)
            head += (char)(announced >> (8 * i));
        put(pair.far, head + "payload");
        char buf[16];
        char opcode = 0x55;
        EXPECT_EQ(ws_recv(pair.near, buf, SIZE_MAX - 1, 0, &opcode), -2) << announced;
        EXPECT_EQ(opcode, 0) << announced;
        EXPECT_EQ(pending(pair.near), "payload") << announced;
    }
}

}  // namespace
