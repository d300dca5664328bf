// The worker's slot table driven directly: one table over a real loopback
// listener, a socket pair as control connection, and connections that are
// either accepted through the listener or socket pairs put into slots by
// hand. The application's callbacks are doubles that record their calls.
// The log is written by a child process, its standard output a packet
// socket whose packets are its writes.
#include "../../server/tidewire.cpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- application doubles ----------------------------------------------------

struct RequestSeen {
    SOCKET sock;
    context* ctx;
    void* nest;
    std::string target;
};

// Calls may come from a worker thread while the test waits for them.
struct CallLog {
    std::mutex mx;
    std::condition_variable changed;
    std::vector<RequestSeen> requests;
    int ws_connects = 0;
    int ws_data = 0;
    int ws_closes = 0;
    int keep = 0;  // what on_http_request answers

    void reset(int keep_result)
    {
        std::lock_guard<std::mutex> lock(mx);
        requests.clear();
        ws_connects = ws_data = ws_closes = 0;
        keep = keep_result;
    }

    // Waits until `ready` holds, at most 10 s; false if it never did.
    template <class Predicate> bool wait_for(Predicate ready)
    {
        std::unique_lock<std::mutex> lock(mx);
        return changed.wait_for(lock, std::chrono::seconds(10), ready);
    }
};

CallLog g_log;

}  // namespace

extern "C" int on_http_request(SOCKET sock, context* ctx)
{
    std::lock_guard<std::mutex> lock(g_log.mx);
    g_log.requests.push_back({sock, ctx, ctx->nest, ctx->hdr.m_pURI});
    g_log.changed.notify_all();
    return g_log.keep;
}

extern "C" int on_ws_connect(SOCKET, context*)
{
    std::lock_guard<std::mutex> lock(g_log.mx);
    ++g_log.ws_connects;
    g_log.changed.notify_all();
    return 1;
}

extern "C" int on_ws_data(SOCKET, context*, char*, size_t, char)
{
    std::lock_guard<std::mutex> lock(g_log.mx);
    ++g_log.ws_data;
    return 1;
}

extern "C" void on_ws_close(SOCKET, context*, char*, size_t, char)
{
    std::lock_guard<std::mutex> lock(g_log.mx);
    ++g_log.ws_closes;
}

namespace {

// ---- handler doubles for slots filled by hand -------------------------------

struct HandlerCall {
    SOCKET sock;
    context* ctx;
    void* nest;
};

std::vector<HandlerCall> g_handler_calls;  // only the test thread runs these

void drain(SOCKET sock)
{
    char buf[256];
    while (recv(sock, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

PFUNC keeping_handler(SOCKET sock, context* ctx)
{
    drain(sock);
    g_handler_calls.push_back({sock, ctx, ctx->nest});
    return (PFUNC)keeping_handler;
}

PFUNC closing_handler(SOCKET sock, context* ctx)
{
    drain(sock);
    g_handler_calls.push_back({sock, ctx, ctx->nest});
    return NULL;
}

// Lets the connection go with what its peer sent still unread.
PFUNC leaving_handler(SOCKET sock, context* ctx)
{
    g_handler_calls.push_back({sock, ctx, ctx->nest});
    return NULL;
}

// ---- socket helpers -----------------------------------------------------------

sockaddr_in local_address(SOCKET sock)
{
    sockaddr_in addr;
    socklen_t len = sizeof addr;
    getsockname(sock, (sockaddr*)&addr, &len);
    return addr;
}

bool same_peer(const sockaddr_in& a, const sockaddr_in& b)
{
    return a.sin_family == b.sin_family && a.sin_addr.s_addr == b.sin_addr.s_addr &&
           a.sin_port == b.sin_port;
}

// A listener on 127.0.0.1 and a port the system picks.
SOCKET loopback_listener()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, (sockaddr*)&addr, sizeof addr) != 0 || listen(s, SOMAXCONN) != 0)
        ADD_FAILURE() << "no loopback listener: " << strerror(errno);
    return s;
}

SOCKET connect_to(SOCKET listener)
{
    sockaddr_in addr = local_address(listener);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(s, (sockaddr*)&addr, sizeof addr) != 0)
        ADD_FAILURE() << "connect: " << strerror(errno);
    return s;
}

void send_text(SOCKET sock, const std::string& text)
{
    ASSERT_EQ(send(sock, text.data(), text.size(), 0), (ssize_t)text.size());
}

// Everything the peer sends until it closes, waiting at most 10 s for each piece.
std::string read_to_end(SOCKET sock)
{
    std::string got;
    char buf[4096];
    for (;;) {
        pollfd p = {sock, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) {
            ADD_FAILURE() << "the peer neither sent nor closed";
            return got;
        }
        ssize_t n = recv(sock, buf, sizeof buf, 0);
        if (n <= 0)
            return got;
        got.append(buf, (size_t)n);
    }
}

bool readable_within(SOCKET sock, int ms)
{
    pollfd p = {sock, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

bool readable_now(SOCKET sock) { return readable_within(sock, 0); }

// Waits until a worker has taken every pending connection off the listener.
bool backlog_empties(SOCKET listener)
{
    for (int i = 0; i < 1000; ++i) {
        if (!readable_now(listener))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

const char kBadRequest[] = "HTTP/1.1 400 Bad Request\r\n\r\n";

// ---- the fixtures ------------------------------------------------------------

// What a worker polls besides its connections, as both fixtures set it up: a
// loopback listener, left non-blocking as twd_start leaves it, and a socket
// pair as control connection.
class WorkerSockets : public ::testing::Test {
protected:
    void SetUp() override
    {
        listener_ = loopback_listener();
        socket_set_nonblocking(listener_, 1);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, control_), 0);
    }

    void TearDown() override
    {
        for (SOCKET s : peers_)
            close(s);
        close(control_[0]);
        close(control_[1]);
        close(listener_);
    }

    // A client of the listener, closed after the test.
    SOCKET connect_client()
    {
        peers_.push_back(connect_to(listener_));
        return peers_.back();
    }

    SOCKET listener_ = NO_SOCKET;
    int control_[2] = {-1, -1};
    std::vector<SOCKET> peers_;  // the test's ends of its connections, closed after it
};

// One worker's table, driven a pass at a time.
class SlotTable : public WorkerSockets {
protected:
    void SetUp() override
    {
        g_log.reset(0);
        g_handler_calls.clear();
        WorkerSockets::SetUp();
        if (HasFatalFailure())
            return;

        fds_.assign(SLOTS, pollfd{NO_SOCKET, 0, 0});
        acts_.assign(SLOTS, nullptr);
        ctxs_.resize(SLOTS);
        memset(ctxs_.data(), 0x5A, SLOTS * sizeof(context));  // as malloc may leave them
        dropped_.assign(SLOTS, 0x5A5A5A5A);
        fds_[0] = {control_[0], POLLIN, 0};
        fds_[1] = {listener_, POLLIN, 0};
        table_ = {fds_.data(), acts_.data(), ctxs_.data(), dropped_.data(), 2};
    }

    void TearDown() override
    {
        for (int i = 2; i < table_.pls; ++i)
            close(fds_[i].fd);
        WorkerSockets::TearDown();
    }

    // One pass, once poll has something to report; a pass with nothing to
    // report would block for ever, so that fails the test instead.
    void pass()
    {
        ASSERT_GT(poll(table_.fds, (nfds_t)table_.pls, 10000), 0) << "nothing to report";
        run_pass(&table_);
    }

    // Puts a socket pair's end into the next slot by hand; returns the peer.
    SOCKET put_connection(ACTION act, void* nest, unsigned short port)
    {
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        int i = table_.pls++;
        fds_[i] = {pair[0], POLLIN, 0};
        acts_[i] = act;
        ctxs_[i].from = sockaddr_in{};
        ctxs_[i].from.sin_port = htons(port);
        http_reset(&ctxs_[i].hdr);
        ctxs_[i].nest = nest;
        dropped_[i] = NOT_LINGERING;
        peers_.push_back(pair[1]);
        return pair[1];
    }

    // Connects a client and lets one pass accept it; returns the client.
    SOCKET accept_client()
    {
        SOCKET client = connect_client();
        int before = table_.pls;
        pass();
        EXPECT_EQ(table_.pls, before + 1);
        return client;
    }

    std::vector<pollfd> fds_;
    std::vector<ACTION> acts_;
    std::vector<context> ctxs_;
    std::vector<int> dropped_;
    slot_table table_;
};

// Slots 2 to 6 in use; the connection in slot 3 ends. The one in slot 6 takes
// its place with its own peer address, nest and handler, and although it has
// data waiting it is served only in the next pass, from its new slot.
TEST_F(SlotTable, ClosingMovesTheLastSlotIntoTheFreedOne)
{
    int nests[7];
    std::vector<SOCKET> peers;
    for (int i = 2; i <= 6; ++i)
        peers.push_back(
            put_connection(i == 3 ? closing_handler : keeping_handler, &nests[i], 1000 + i));
    SOCKET moved = fds_[6].fd;
    send_text(peers[1], "x");  // slot 3
    send_text(peers[4], "y");  // slot 6

    pass();
    ASSERT_EQ(g_handler_calls.size(), 1u);
    EXPECT_EQ(g_handler_calls[0].ctx, &ctxs_[3]);
    EXPECT_EQ(table_.pls, 6);
    EXPECT_EQ(fds_[3].fd, moved);
    EXPECT_EQ(fds_[3].events, POLLIN);
    EXPECT_EQ(acts_[3], (ACTION)keeping_handler);
    EXPECT_EQ(ntohs(ctxs_[3].from.sin_port), 1006);
    EXPECT_EQ(ctxs_[3].nest, &nests[6]);
    EXPECT_EQ(fds_[6].fd, NO_SOCKET);
    EXPECT_EQ(acts_[6], nullptr);
    EXPECT_EQ(read_to_end(peers[1]), "");  // slot 3's socket was closed

    pass();
    ASSERT_EQ(g_handler_calls.size(), 2u);
    EXPECT_EQ(g_handler_calls[1].sock, moved);
    EXPECT_EQ(g_handler_calls[1].ctx, &ctxs_[3]);
    EXPECT_EQ(g_handler_calls[1].nest, &nests[6]);
}

TEST_F(SlotTable, ClosingTheLastSlotMovesNothing)
{
    int nests[5];
    std::vector<SOCKET> peers;
    for (int i = 2; i <= 4; ++i)
        peers.push_back(
            put_connection(i == 4 ? closing_handler : keeping_handler, &nests[i], 1000 + i));
    SOCKET kept[2] = {fds_[2].fd, fds_[3].fd};
    send_text(peers[2], "x");

    pass();
    ASSERT_EQ(g_handler_calls.size(), 1u);
    EXPECT_EQ(table_.pls, 4);
    EXPECT_EQ(fds_[2].fd, kept[0]);
    EXPECT_EQ(fds_[3].fd, kept[1]);
    EXPECT_EQ(ctxs_[2].nest, &nests[2]);
    EXPECT_EQ(ctxs_[3].nest, &nests[3]);
    EXPECT_EQ(ntohs(ctxs_[3].from.sin_port), 1003);
    EXPECT_EQ(fds_[4].fd, NO_SOCKET);
    EXPECT_EQ(acts_[4], nullptr);
}

// Two connections end in one pass: the first frees slot 2 and the last slot
// moves into it; the second is then the last slot itself.
TEST_F(SlotTable, TwoClosesInOnePassKeepTheTableDense)
{
    int nests[6];
    std::vector<SOCKET> peers;
    ACTION acts[] = {closing_handler, keeping_handler, closing_handler, keeping_handler};
    for (int i = 2; i <= 5; ++i)
        peers.push_back(put_connection(acts[i - 2], &nests[i], 1000 + i));
    SOCKET third = fds_[3].fd, last = fds_[5].fd;
    send_text(peers[0], "x");  // slot 2
    send_text(peers[2], "x");  // slot 4

    pass();
    EXPECT_EQ(g_handler_calls.size(), 2u);
    EXPECT_EQ(table_.pls, 4);
    EXPECT_EQ(fds_[2].fd, last);
    EXPECT_EQ(ctxs_[2].nest, &nests[5]);
    EXPECT_EQ(fds_[3].fd, third);
    EXPECT_EQ(ctxs_[3].nest, &nests[3]);
    EXPECT_EQ(fds_[4].fd, NO_SOCKET);
    EXPECT_EQ(fds_[5].fd, NO_SOCKET);
}

// The request is already there when the pass accepts the connection, yet it
// is read only in the next pass; the slot starts clean with the peer address.
TEST_F(SlotTable, NewConnectionIsServedFromTheNextPass)
{
    SOCKET client = connect_client();
    send_text(client, "GET /first HTTP/1.1\r\n\r\n");

    pass();
    ASSERT_EQ(table_.pls, 3);
    EXPECT_TRUE(g_log.requests.empty());
    EXPECT_EQ(acts_[2], (ACTION)on_http);
    EXPECT_EQ(fds_[2].events, POLLIN);
    EXPECT_TRUE(same_peer(ctxs_[2].from, local_address(client)));
    EXPECT_EQ(ctxs_[2].nest, nullptr);
    EXPECT_EQ(ctxs_[2].hdr.m_nBuf, 0);
    EXPECT_EQ(ctxs_[2].hdr.m_pURI, nullptr);
    EXPECT_TRUE(readable_now(fds_[2].fd)) << "the request had arrived before the pass";

    pass();
    ASSERT_EQ(g_log.requests.size(), 1u);
    EXPECT_EQ(g_log.requests[0].target, "/first");
    EXPECT_EQ(g_log.requests[0].ctx, &ctxs_[2]);
    EXPECT_EQ(g_log.requests[0].nest, nullptr);
    EXPECT_EQ(table_.pls, 2);  // the double answered 0: closed
    EXPECT_EQ(read_to_end(client), "");
}

// With 158 connections the worker stops polling the listener; the 159th
// client waits in the backlog until one connection ends, and is accepted in
// the pass after that.
TEST_F(SlotTable, ListenerIsOffWhileAllSlotsAreInUse)
{
    std::vector<SOCKET> clients;
    for (int i = 0; i < SLOTS - 2; ++i) {
        clients.push_back(accept_client());
        ASSERT_EQ(fds_[1].events, table_.pls < SLOTS ? POLLIN : 0)
            << "at " << table_.pls << " slots";
        if (HasFatalFailure())
            return;
    }
    ASSERT_EQ(table_.pls, SLOTS);

    SOCKET waiting = connect_client();
    shutdown(clients[10], SHUT_WR);  // on_http reads nothing: 400 and close

    pass();
    EXPECT_EQ(table_.pls, SLOTS - 1) << "the waiting client was accepted by a full worker";
    EXPECT_EQ(fds_[1].events, POLLIN);
    EXPECT_EQ(read_to_end(clients[10]), kBadRequest);
    EXPECT_TRUE(g_log.requests.empty());

    pass();
    EXPECT_EQ(table_.pls, SLOTS);
    EXPECT_EQ(fds_[SLOTS - 1].events, POLLIN);
    EXPECT_TRUE(same_peer(ctxs_[SLOTS - 1].from, local_address(waiting)));
    EXPECT_EQ(fds_[1].events, 0);
}

// A worker that accepts with every slot in use cannot keep the connection:
// it reports the count and ends the process with errno as status.
TEST_F(SlotTable, AcceptIntoAFullTableEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    connect_client();
    table_.pls = SLOTS;
    EXPECT_EXIT(
        {
            errno = ENOBUFS;
            accept_one(&table_);
        },
        ::testing::ExitedWithCode(ENOBUFS), "!pls:160");
    table_.pls = 2;
}

// A request that a callback keeps is followed by a fresh parse of the next
// one; the peer's close then gets the 400 reply and no further callback.
TEST_F(SlotTable, KeptConnectionIsReadAfresh)
{
    g_log.reset(1);
    SOCKET client = accept_client();
    send_text(client, "GET /one HTTP/1.1\r\nX-First: 1\r\n\r\n");
    pass();
    send_text(client, "GET /two HTTP/1.1\r\n\r\n");
    pass();
    ASSERT_EQ(g_log.requests.size(), 2u);
    EXPECT_EQ(g_log.requests[1].target, "/two");
    EXPECT_STREQ(http_header(&ctxs_[2].hdr, "X-First"), "");
    EXPECT_EQ(table_.pls, 3);

    shutdown(client, SHUT_WR);
    pass();
    EXPECT_EQ(read_to_end(client), kBadRequest);
    EXPECT_EQ(g_log.requests.size(), 2u);
    EXPECT_EQ(table_.pls, 2);
}

// Body bytes that the callback left in the socket begin the next message.
TEST_F(SlotTable, UnreadBodyBytesAreTheNextMessage)
{
    g_log.reset(1);
    SOCKET client = accept_client();
    send_text(client, "PUT /a HTTP/1.1\r\nContent-Length: 5\r\n\r\n");
    pass();
    send_text(client, "hello");
    pass();
    EXPECT_EQ(read_to_end(client), kBadRequest);
    EXPECT_EQ(g_log.requests.size(), 1u);
    EXPECT_EQ(table_.pls, 2);
}

// A connection closed with bytes of its peer still unread would be reset,
// and a reset throws away the reply the system has yet to send. Such a
// connection ends its sending side instead and stays in its slot, dropping
// what comes, until the peer closes too.
TEST_F(SlotTable, UnreadBytesAtTheCloseLingerUntilThePeerCloses)
{
    g_log.reset(0);
    SOCKET client = accept_client();
    send_text(client, "GET /a HTTP/1.1\r\n\r\n" + std::string(2 * HTTP_READ_SIZE, 'x'));
    pass();
    ASSERT_EQ(g_log.requests.size(), 1u);
    EXPECT_EQ(table_.pls, 3) << "closed with bytes unread";
    EXPECT_EQ(read_to_end(client), "") << "the end of stream, not a reset";

    shutdown(client, SHUT_WR);
    for (int passes = 0; table_.pls == 3 && passes < 10; ++passes)
        pass();
    EXPECT_EQ(table_.pls, 2);
    EXPECT_EQ(g_log.requests.size(), 1u) << "what was dropped was never parsed";
}

// A lingering connection that compaction moves lingers on in its new slot:
// no handler is called for it again, and it drops what comes until its peer
// closes.
TEST_F(SlotTable, LingeringMovesWithItsConnection)
{
    int nests[4];
    SOCKET first = put_connection(closing_handler, &nests[2], 1002);
    SOCKET second = put_connection(leaving_handler, &nests[3], 1003);
    send_text(second, "unread");
    pass();
    ASSERT_EQ(table_.pls, 4) << "closed with bytes unread";
    EXPECT_EQ(dropped_[3], 0);

    send_text(first, "x");
    pass();  // slot 2 closes; the lingering connection moves into it
    ASSERT_EQ(table_.pls, 3);
    EXPECT_EQ(ctxs_[2].nest, &nests[3]);
    EXPECT_EQ(dropped_[2], 0);

    send_text(second, "more");
    pass();
    EXPECT_EQ(dropped_[2], 10) << "what was unread and what came after";
    EXPECT_EQ(g_handler_calls.size(), 2u);
    EXPECT_EQ(read_to_end(second), "") << "the end of stream, not a reset";

    shutdown(second, SHUT_WR);
    pass();
    EXPECT_EQ(table_.pls, 2);
}

// A peer that never stops sending is cut off once the lingering slot has
// dropped LINGER_LIMIT bytes.
TEST_F(SlotTable, LingeringEndsAtItsLimit)
{
    int nest;
    SOCKET peer = put_connection(leaving_handler, &nest, 1002);
    send_text(peer, "unread");
    pass();
    ASSERT_EQ(table_.pls, 3);

    const std::string chunk(HTTP_READ_SIZE, 'x');
    long sent = 6;
    for (int passes = 0; table_.pls == 3 && passes < 2 * LINGER_LIMIT / HTTP_READ_SIZE; ++passes) {
        ssize_t n = send(peer, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        pass();
    }
    EXPECT_EQ(table_.pls, 2);
    EXPECT_GE(sent, LINGER_LIMIT) << "closed before the limit";
}

// The control socket's wake byte alone ends the pass, however often it comes:
// nobody reads it, and nothing is dispatched for it.
TEST_F(SlotTable, WakeByteAloneDispatchesNothing)
{
    int nest;
    put_connection(keeping_handler, &nest, 1002);
    send(control_[1], "", 1, 0);
    pass();
    pass();
    EXPECT_TRUE(g_handler_calls.empty());
    EXPECT_EQ(table_.pls, 3);
    EXPECT_TRUE(readable_now(control_[0]));
}

// ---- the worker loop and the stop mark -----------------------------------------

// The whole loop on a thread of its own, over the fixture's listener and
// control connection.
class Worker : public WorkerSockets {
protected:
    void SetUp() override
    {
        g_log.reset(1);
        WorkerSockets::SetUp();
        if (HasFatalFailure())
            return;
        g_ctrl = control_[0];
        g_lstn = listener_;
    }

    void TearDown() override
    {
        g_lstn = NO_SOCKET;
        g_ctrl = NO_SOCKET;
        WorkerSockets::TearDown();
    }
};

// At the stop mark and the wake byte the worker closes every connection it
// holds, whatever its state, without a reply and without a callback.
TEST_F(Worker, StopMarkClosesConnectionsWithoutCallbacks)
{
    std::thread worker(main_poll, nullptr);

    SOCKET kept = connect_client();
    send_text(kept, "GET /kept HTTP/1.1\r\n\r\n");
    SOCKET websocket = connect_client();
    send_text(websocket,
              "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    ASSERT_TRUE(
        g_log.wait_for([] { return g_log.requests.size() == 1 && g_log.ws_connects == 1; }));
    SOCKET idle = connect_client();
    ASSERT_TRUE(backlog_empties(listener_));

    g_lstn = NO_SOCKET;
    send(control_[1], "", 1, 0);
    worker.join();

    EXPECT_EQ(read_to_end(kept), "");
    EXPECT_EQ(read_to_end(idle), "");
    std::string handshake = read_to_end(websocket);
    EXPECT_EQ(handshake.rfind("HTTP/1.1 101", 0), 0u) << handshake;
    EXPECT_EQ(handshake.find("HTTP/1.1 400"), std::string::npos) << handshake;
    std::lock_guard<std::mutex> lock(g_log.mx);
    EXPECT_EQ(g_log.requests.size(), 1u);
    EXPECT_EQ(g_log.ws_data, 0);
    EXPECT_EQ(g_log.ws_closes, 0);
}

// ---- the control connection --------------------------------------------------

// A client that got into the backlog before the control connection is not
// taken for it: it is closed, and the accepted end is the control peer's.
TEST(ControlConnection, StrangerBeforeItIsClosed)
{
    SOCKET listener = loopback_listener();
    SOCKET stranger = connect_to(listener);
    g_ctrler = connect_to(listener);

    SOCKET ctrl = accept_control(listener);
    ASSERT_NE(ctrl, NO_SOCKET);
    sockaddr_in peer;
    socklen_t len = sizeof peer;
    getpeername(ctrl, (sockaddr*)&peer, &len);
    EXPECT_TRUE(same_peer(peer, local_address(g_ctrler)));
    EXPECT_EQ(read_to_end(stranger), "");

    send(g_ctrler, "", 1, 0);
    EXPECT_TRUE(readable_within(ctrl, 10000));

    close(ctrl);
    close(g_ctrler);
    g_ctrler = NO_SOCKET;
    close(stranger);
    close(listener);
}

// ---- the log -------------------------------------------------------------------

// What a child process writes to standard output when it sets the log up
// and logs each of `lines` with twd_log: one packet per write, since its
// standard output is a packet socket.
std::vector<std::string> writes_of_log(const std::vector<std::string>& lines)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) {
        ADD_FAILURE() << "socketpair: " << strerror(errno);
        return {};
    }
    // A child that never ends fails the test instead of hanging it.
    timeval patience = {10, 0};
    setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    fflush(stdout);  // or the child would write this process's pending output too
    pid_t child = fork();
    if (child == 0) {
        dup2(fds[1], STDOUT_FILENO);
        log_prepare();
        for (const std::string& line : lines)
            twd_log("%s", line.c_str());
        _exit(0);
    }
    close(fds[1]);
    std::vector<std::string> writes;
    std::string packet(2 * LOG_LINE_MAX, '\0');
    ssize_t n;
    while (child > 0 && (n = recv(fds[0], &packet[0], packet.size(), 0)) > 0)
        writes.push_back(packet.substr(0, (size_t)n));
    close(fds[0]);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child) << strerror(errno);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return writes;
}

// Every line goes out in one write of its own: one longer than the 4 KiB
// that glibc would choose for a buffer, and one of the longest length taken
// whole, too. A longer line is cut to that length, an LF its last byte.
TEST(Log, EachLineIsOneWriteAndALongerOneIsCut)
{
    const std::vector<std::string> lines = {
        "short\n",
        std::string(10000, 'a') + "\n",
        std::string(LOG_LINE_MAX - 1, 'b') + "\n",
        std::string(LOG_LINE_MAX + 100, 'c') + "\n",
    };
    std::vector<std::string> expected = lines;
    expected[3] = std::string(LOG_LINE_MAX - 1, 'c') + "\n";

    std::vector<std::string> writes = writes_of_log(lines);
    std::vector<size_t> sizes;
    for (const std::string& w : writes)
        sizes.push_back(w.size());
    std::vector<size_t> expected_sizes;
    for (const std::string& e : expected)
        expected_sizes.push_back(e.size());
    ASSERT_EQ(sizes, expected_sizes);
    for (size_t i = 0; i < writes.size(); ++i)
        EXPECT_TRUE(writes[i] == expected[i]) << "line " << i;
}

}  // namespace
