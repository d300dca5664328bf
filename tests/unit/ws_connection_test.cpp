// WebSocket connections in the core: the upgrade test of on_http and the
// frame dispatch of on_frame, called directly on one end of a socket pair
// while the test plays the client on the other. The application's callbacks
// are doubles that record their arguments.
#include "../../server/tidewire.cpp"

#include <gtest/gtest.h>

#include "wire.h"

#include <initializer_list>
#include <string>
#include <vector>

namespace {

struct Call {
    std::string name;
    std::string payload;  // the buffer's bytes, when the length is meaningful
    size_t length;
    int opcode;
    bool terminated;       // buffer[length] was the zero byte
    std::string target;    // the request target, for on_ws_connect
    std::string peer_had;  // what the client had received when the call came
};

using wire::pending;

std::vector<Call> g_calls;  // only the test thread calls the handlers
int g_connect_result = 1;
int g_data_result = 1;
SOCKET g_client = -1;  // the client end, to see what had been sent back

void record(const char* name, char* buf, size_t len, char opcode)
{
    Call call{name, "", len, opcode, false, "", pending(g_client)};
    if (len <= FRAME_CAPACITY) {
        call.payload.assign(buf, len);
        call.terminated = buf[len] == 0;
    }
    g_calls.push_back(call);
}

}  // namespace

extern "C" int on_http_request(SOCKET, context* ctx)
{
    g_calls.push_back({"on_http_request", "", 0, 0, false, ctx->hdr.m_pURI, pending(g_client)});
    return 0;
}

extern "C" int on_ws_connect(SOCKET, context* ctx)
{
    g_calls.push_back({"on_ws_connect", "", 0, 0, false, ctx->hdr.m_pURI, pending(g_client)});
    return g_connect_result;
}

extern "C" int on_ws_data(SOCKET, context*, char* buf, size_t len, char opcode)
{
    record("on_ws_data", buf, len, opcode);
    return g_data_result;
}

extern "C" void on_ws_close(SOCKET, context*, char* buf, size_t len, char opcode)
{
    record("on_ws_close", buf, len, opcode);
}

namespace {

using wire::bytes;
using wire::frame;

// The frame reader's results as on_ws_close gets them, as sizes.
const size_t peer_closed = (size_t)WS_END_OF_STREAM;
const size_t read_failed = (size_t)WS_SOCKET_ERROR;
const size_t refused = (size_t)WS_REFUSED;

context g_ctx;  // a record of over 4 KiB: kept off the stack

// A fresh connection slot: the handlers get `server`, the test is the client.
struct Connection {
    wire::SocketPair pair;  // the two ends under the names the tests use:
    SOCKET& server = pair.near;
    SOCKET& client = pair.far;  // -1 once the client has left
    context* ctx = &g_ctx;

    Connection()
    {
        g_client = client;
        memset(&g_ctx, 0, sizeof g_ctx);
        http_reset(&g_ctx.hdr);
        g_calls.clear();
        g_connect_result = 1;
        g_data_result = 1;
    }
    ~Connection() { g_client = -1; }

    void client_sends(const std::string& data) { wire::put(client, data); }
    void client_leaves()
    {
        pair.peer_goes_away();
        g_client = -1;
    }
};

const std::string upgrade_request =
    "GET /chat HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
const std::string reply_101 =
    "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

// ---- on_http ------------------------------------------------------------------

TEST(WsConnection, AcceptedUpgradeMovesToFrames)
{
    Connection conn;
    conn.client_sends(upgrade_request);
    EXPECT_EQ(on_http(conn.server, conn.ctx), (PFUNC)on_frame);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].name, "on_ws_connect");
    EXPECT_EQ(g_calls[0].target, "/chat") << "the request is still parsed during the call";
    EXPECT_EQ(g_calls[0].peer_had, reply_101) << "the 101 went out first";
}

TEST(WsConnection, RefusedUpgradeClosesWithoutCloseCallback)
{
    Connection conn;
    g_connect_result = 0;
    conn.client_sends(upgrade_request);
    EXPECT_EQ(on_http(conn.server, conn.ctx), (PFUNC)NULL);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].name, "on_ws_connect");
}

TEST(WsConnection, OtherVersionIsAnOrdinaryRequest)
{
    Connection conn;
    std::string request = upgrade_request;
    request.replace(request.find("Version: 13"), 11, "Version: 8");
    conn.client_sends(request);
    EXPECT_EQ(on_http(conn.server, conn.ctx), (PFUNC)NULL);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].name, "on_http_request");
    EXPECT_EQ(g_calls[0].peer_had, "") << "no handshake reply";
}

TEST(WsConnection, UpgradeWhose101CannotGoOutIsAnOrdinaryRequest)
{
    Connection conn;
    conn.client_sends(upgrade_request);
    conn.client_leaves();  // the request stays readable, the reply has nowhere to go
    EXPECT_EQ(on_http(conn.server, conn.ctx), (PFUNC)NULL);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].name, "on_http_request");
    EXPECT_EQ(g_calls[0].target, "/chat");
}

// ---- on_frame -----------------------------------------------------------------

struct FrameCase {
    const char* what;
    std::string wire;
    bool client_stops;  // and then ends its side
    int data_result;
    std::vector<Call> calls;  // name, payload, length, opcode; terminated when payload is given
    bool stays_open;
    std::string answer;
};

Call data(const std::string& payload, int opcode)
{
    return {"on_ws_data", payload, payload.size(), opcode, true, "", ""};
}
Call closed(const std::string& payload, int opcode)
{
    return {"on_ws_close", payload, payload.size(), opcode, true, "", ""};
}
Call ended(size_t length) { return {"on_ws_close", "", length, 0, false, "", ""}; }

// clang-format off
std::vector<FrameCase> frame_cases()
{
    const std::string status = bytes({0x03, 0xE8});
    return {
        {"text", frame(WS_FIN | WS_OP_TEXT, "Hello"), false, 1, {data("Hello", 1)}, true, ""},
        {"empty text", frame(WS_FIN | WS_OP_TEXT, ""), false, 1, {data("", 1)}, true, ""},
        {"binary of 65,535 bytes", frame(WS_FIN | WS_OP_BINARY, std::string(65535, 'b')), false, 1,
         {data(std::string(65535, 'b'), 2)}, true, ""},
        {"binary the application refuses", frame(WS_FIN | WS_OP_BINARY, "abc"), false, 0,
         {data("abc", 2), closed("abc", 2)}, false, ""},
        {"close with status", frame(WS_FIN | WS_OP_CLOSE, status), false, 1, {closed(status, 8)}, false,
         bytes({0x88, 0x00})},
        {"ping", frame(WS_FIN | WS_OP_PING, "Hello"), false, 1, {}, true, bytes({0x8A, 0x00})},
        {"pong", frame(WS_FIN | WS_OP_PONG, ""), false, 1, {}, true, ""},
        {"reserved control 11", frame(WS_FIN | WS_OP_CONTROL_RESERVED_FIRST, "x"), false, 1, {}, true, ""},
        {"reserved control 15", frame(WS_FIN | WS_OP_CONTROL_RESERVED_LAST, "x"), false, 1, {}, true, ""},
        {"reserved data 3", frame(WS_FIN | WS_OP_DATA_RESERVED_FIRST, "xy"), false, 1, {closed("xy", 3)}, false, ""},
        {"reserved data 7", frame(WS_FIN | WS_OP_DATA_RESERVED_LAST, ""), false, 1, {closed("", 7)}, false, ""},
        {"final continuation", frame(WS_FIN | WS_OP_CONTINUATION, "tail"), false, 1, {closed("tail", 0)}, false, ""},
        {"client closed", "", true, 1, {ended(peer_closed)}, false, ""},
        {"read failed: head cut short", bytes({WS_FIN | WS_OP_TEXT}), true, 1, {ended(read_failed)}, false, ""},
        {"fragmented", frame(WS_OP_TEXT, "frag"), false, 1, {ended(refused)}, false, ""},
        {"binary of 65,536 bytes", frame(WS_FIN | WS_OP_BINARY, std::string(65536, 'b')), false, 1, {ended(refused)},
         false, ""},
    };
}
// clang-format on

TEST(WsConnection, FramesAreDispatchedByOpcode)
{
    for (const FrameCase& c : frame_cases()) {
        Connection conn;
        g_data_result = c.data_result;
        conn.client_sends(c.wire);
        if (c.client_stops)
            shutdown(conn.client, SHUT_WR);
        PFUNC next = on_frame(conn.server, conn.ctx);
        EXPECT_EQ(next, c.stays_open ? (PFUNC)on_frame : (PFUNC)NULL) << c.what;
        ASSERT_EQ(g_calls.size(), c.calls.size()) << c.what;
        for (size_t i = 0; i < c.calls.size(); ++i) {
            const Call& want = c.calls[i];
            const Call& got = g_calls[i];
            EXPECT_EQ(got.name, want.name) << c.what;
            EXPECT_EQ(got.length, want.length) << c.what;
            EXPECT_EQ(got.opcode, want.opcode) << c.what;
            if (want.terminated) {
                EXPECT_EQ(got.payload, want.payload) << c.what;
                EXPECT_TRUE(got.terminated) << c.what;
            }
        }
        std::string answer;
        for (const Call& got : g_calls)
            answer += got.peer_had;
        EXPECT_EQ(answer + pending(conn.client), c.answer) << c.what;
    }
}

TEST(WsConnection, CloseReplyPrecedesTheCloseCallback)
{
    Connection conn;
    conn.client_sends(frame(WS_FIN | WS_OP_CLOSE, ""));
    EXPECT_EQ(on_frame(conn.server, conn.ctx), (PFUNC)NULL);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].peer_had, bytes({0x88, 0x00}));
}

TEST(WsConnection, OneFramePerCall)
{
    Connection conn;
    conn.client_sends(frame(WS_FIN | WS_OP_TEXT, "one") + frame(WS_FIN | WS_OP_TEXT, "two"));
    EXPECT_EQ(on_frame(conn.server, conn.ctx), (PFUNC)on_frame);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].payload, "one");
    EXPECT_EQ(on_frame(conn.server, conn.ctx), (PFUNC)on_frame);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[1].payload, "two");
}

}  // namespace
