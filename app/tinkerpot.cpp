// The content service: one in-memory table of resources, filled with the
// editor and its scripts at start, read by GET, replaced by PUT and extended
// by form POSTs.
#include "../server/tidewire.h"
#include "form.h"
#include "upload_room.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

extern "C" {
extern const char tinkerpot_html_start[], tinkerpot_html_end[];
extern const char ace_start[], ace_end[];
extern const char mhjs_start[], mhjs_end[];
extern const char whjs_start[], whjs_end[];
}

// The bytes of a resource, shared by its successive versions. Its room is
// fixed when it is made, so the bytes never move while a GET sends them, and
// a form post writes its record past `used`, where no version reaches yet.
// `used` is read and written under the table lock only.
struct Block {
    std::vector<char> bytes;  // its size is the room
    size_t used;
};

// One version of a resource: the first `length` bytes of its block.
struct Content {
    std::string type;
    std::shared_ptr<Block> block;
    size_t length;
};

// The bytes a Content covers are never changed: a request takes a reference
// under the lock and sends outside it, and a PUT or POST swaps in a new
// Content whole. So a GET always serves one version entire, and a failed
// upload loses nothing.
typedef std::shared_ptr<const Content> Stored;

static Stored content_of(std::string type, std::vector<char> bytes)
{
    size_t length = bytes.size();
    auto block = std::make_shared<Block>(Block{std::move(bytes), length});
    return std::make_shared<const Content>(Content{std::move(type), std::move(block), length});
}

static std::map<std::string, Stored, std::less<>> contents;

// The table's lock: held for every lookup and insertion in `contents` and
// every swap of an entry, never while a request waits on the network, and
// never taken twice by one thread. The only other lock is the log's, which
// is never taken while this one is held.
static platform_lock contents_mx;

struct table_lock {
    table_lock() { lock_take(&contents_mx); }
    ~table_lock() { lock_give(&contents_mx); }
    table_lock(const table_lock&) = delete;
    table_lock& operator=(const table_lock&) = delete;
};

static Stored find_resource(std::string_view key)
{
    table_lock held;
    auto found = contents.find(key);
    return found == contents.end() ? Stored() : found->second;
}

// The version replaced ends up in `content`, so that when it held the last
// reference to its block, the block is freed after the lock is given back.
static void store_resource(const char* key, Stored content)
{
    table_lock held;
    contents[key].swap(content);
}

// ---- replies ------------------------------------------------------------------

static const char reply_201[] = "HTTP/1.0 201 Created\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
static const char reply_200[] = "HTTP/1.0 200 OK\r\n\r\n";
static const char reply_200_typed[] = "HTTP/1.0 200 OK\r\nContent-Type: %s\r\n\r\n";
static const char reply_303[] =
    "HTTP/1.0 303 See Other\r\nLocation: %s\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
static const char reply_400[] = "HTTP/1.0 400 Bad Request\r\n\r\n";
static const char reply_404[] = "HTTP/1.0 404 Not Found\r\n\r\n";
static const char reply_204[] =
    "HTTP/1.0 204 No Content\r\nAllow: PUT, GET, OPTIONS\r\nAccess-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: PUT\r\nAccess-Control-Allow-Headers: Content-Type\r\n\r\n";
static const char reply_405[] = "HTTP/1.0 405 Method Not Allowed\r\n\r\n";
static const char reply_411[] = "HTTP/1.0 411 Length Required\r\n\r\n";
static const char reply_413[] = "HTTP/1.0 413 Payload Too Large\r\n\r\n";

// The type of every resource a form post has written to.
static const char form_records_type[] = "text/plain";

// A blocking send may take less than it was given: a handled signal (Ctrl+C
// lands on any worker) cuts it short, and no send is told more than INT_MAX
// bytes, the most that Windows' int count holds. The rest goes in further
// sends until one fails or takes nothing.
static void send_bytes(SOCKET sock, const char* bytes, size_t len)
{
    while (len > 0) {
        int chunk = len > (size_t)INT_MAX ? INT_MAX : (int)len;
        int sent = (int)send(sock, bytes, chunk, 0);
        if (sent <= 0)
            return;
        bytes += sent;
        len -= (size_t)sent;
    }
}

template <size_t N> static void send_fixed(SOCKET sock, const char (&reply)[N])
{
    send_bytes(sock, reply, N - 1);
}

// A head with one text in it: formatted on the stack, or on the heap when the
// text is too long for that, so the head always goes out whole.
static void send_formatted(SOCKET sock, const char* format, const char* text)
{
    char aBuf[256];
    int n = snprintf(aBuf, sizeof aBuf, format, text);
    if (n < 0)
        return;
    if ((size_t)n < sizeof aBuf) {
        send_bytes(sock, aBuf, (size_t)n);
        return;
    }
    std::vector<char> head((size_t)n + 1);
    snprintf(head.data(), head.size(), format, text);
    send_bytes(sock, head.data(), (size_t)n);
}

// ---- requests -----------------------------------------------------------------

enum { RECEIVE_CHUNK = 65536 };

struct peer_text {
    char text[INET_ADDRSTRLEN];
    explicit peer_text(const sockaddr_in& from)
    {
        in_addr addr = from.sin_addr;
        if (!inet_ntop(AF_INET, &addr, text, sizeof text))
            strcpy(text, "?");
    }
};

static std::string_view body_with_head(const http& req)
{
    const char* end = req.m_aBuf + req.m_nBuf;
    return req.m_pBody < end ? std::string_view(req.m_pBody, (size_t)(end - req.m_pBody))
                             : std::string_view();
}

// The memory that every PUT and POST in progress claims, bounded together
// by what the system can still give.
static upload_ledger uploads(available_memory);

// What a table entry takes besides its bytes: the map's node with its key,
// the version record with its type, the block record, and the counts of the
// two shared records. An upper estimate, claimed like the bytes, so that
// uploads of nothing to ever new targets are bounded too.
enum { ENTRY_RECORDS = 512 };

static unsigned long long entry_cost(const char* key, size_t type_length)
{
    return strlen(key) + type_length + ENTRY_RECORDS;
}

// Whether a text may go into a line of a reply head as it is: no control
// byte but the tab, which a browser would take for the end of the line.
// The stored type and a post's target are echoed into later replies, where
// such a byte would let one learner add headers to another's page.
static bool fit_for_a_head_line(const char* text)
{
    for (const unsigned char* c = (const unsigned char*)text; *c; ++c) {
        if ((*c < 0x20 && *c != '\t') || *c == 0x7F)
            return false;
    }
    return true;
}

// The Content-Length, read the way atol reads a number (white space, a sign,
// then the digits up to the first other byte; no digits at all is 0). atol
// leaves a number beyond the range of long undefined; here it is the nearest
// end of that range, and `beyond_long` tells it from that end itself.
struct announced_length {
    long value;
    bool beyond_long;
};

static announced_length content_length(const http& req)
{
    errno = 0;
    long value = strtol(http_header(&req, "content-length"), NULL, 10);
    return {value, errno == ERANGE};
}

// What was announced beyond the bytes that came with the head; never
// negative, and never an overflow for the smallest long.
static long still_to_come(long announced, size_t with_head)
{
    return announced > (long)with_head ? announced - (long)with_head : 0;
}

// How the reading of a body ended. An orderly end of stream is a peer that
// sent less than it announced, and what came is the body; a failed receive
// (the peer reset the connection) leaves the body in doubt, and a part of
// it must not replace what was stored nor be reported as stored.
enum class body_end { received, too_large, broken_off };

// Reads a body into `body`: what came with the head, then receives of at
// most `per_receive` bytes until the announced length has come, the peer
// ends its side or a receive fails. An announced length of 0 or less (no
// Content-Length at all gives 0) reads nothing beyond the head; the largest
// long (2,147,483,647 where long has 32 bits, as on ARM Linux and Windows;
// 9,223,372,036,854,775,807 where it has 64, as on macOS and x86-64 Linux)
// reads until the peer stops.
static body_end read_body(SOCKET sock, const http& req, long announced, int per_receive,
                          upload_body& body)
{
    std::string_view first = body_with_head(req);
    if (!body.append(first.data(), first.size()))
        return body_end::too_large;
    long remaining = still_to_come(announced, first.size());
    char aBuf[RECEIVE_CHUNK];
    while (remaining > 0) {
        int got = (int)recv(sock, aBuf, per_receive, 0);
        if (got < 0)
            return body_end::broken_off;
        if (got == 0)
            break;
        if (!body.append(aBuf, (size_t)got))
            return body_end::too_large;
        remaining -= got;
    }
    return body_end::received;
}

// Refuses a PUT or POST on its head alone, and says whether it did: 400 for
// a head that is not `well_formed`, 411 for a body sent in chunks, which
// names no length and whose chunk markup is no content.
static bool refused_by_head(SOCKET sock, const http& req, bool well_formed)
{
    if (!well_formed) {
        send_fixed(sock, reply_400);
        return true;
    }
    if (*http_header(&req, "transfer-encoding")) {
        send_fixed(sock, reply_411);
        return true;
    }
    return false;
}

static void serve_put(SOCKET sock, context* ctx)
{
    const http& req = ctx->hdr;
    twd_log("Creating: %s\n", req.m_pURI);

    const char* type = http_header(&req, "content-type");
    announced_length announced = content_length(req);
    long n = announced.value;
    if (refused_by_head(sock, req, n >= 0 && fit_for_a_head_line(type)))
        return;
    // Beyond the range of long (2,147,483,647 where long has 32 bits, as on
    // ARM Linux and Windows; 9,223,372,036,854,775,807 where it has 64, as
    // on macOS and x86-64 Linux): more than the process can hold. Taken as
    // the largest long it would mean "read until the peer stops", and a
    // client waiting for its reply would hold the worker and every
    // connection of it for ever.
    if (announced.beyond_long) {
        send_fixed(sock, reply_413);
        return;
    }
    // The largest long names no length: read until the peer stops. Where
    // long has 64 bits, 2,147,483,647 is an ordinary length.
    room_claim entry(uploads);
    upload_body upload(uploads);
    bool room = entry.claim(entry_cost(req.m_pURI, strlen(type))) &&
                (n == LONG_MAX || upload.reserve((size_t)n));
    if (!room) {
        send_fixed(sock, reply_413);
        return;
    }
    if (n != LONG_MAX)
        twd_log("reserved: %ld\n", n);
    body_end end = read_body(sock, req, n, RECEIVE_CHUNK, upload);
    if (end == body_end::broken_off)
        return;  // the stored entry stays as it was, and nobody is left to tell
    if (end == body_end::too_large) {
        send_fixed(sock, reply_413);
        return;
    }
    store_resource(req.m_pURI, content_of(type, upload.take()));
    send_fixed(sock, reply_201);
    twd_log("Created: %s\n", req.m_pURI);
}

static void serve_get(SOCKET sock, context* ctx)
{
    const char* target = ctx->hdr.m_pURI;
    Stored found = find_resource(target);
    peer_text peer(ctx->from);
    if (!found) {
        send_fixed(sock, reply_404);
        twd_log("Access '%s' From '%s'\n", target, peer.text);
        return;
    }
    if (found->type.empty())
        send_fixed(sock, reply_200);
    else
        send_formatted(sock, reply_200_typed, found->type.c_str());
    send_bytes(sock, found->block->bytes.data(), found->length);
    twd_log("Accessed '%s' From '%s'\n", target, peer.text);
}

// A block holding a copy of `count` bytes and room for `room`. Every byte of
// it is written here, the room zeroed, so that all of it is taken from the
// system at once, while its claim still counts it.
static std::shared_ptr<Block> block_holding(const char* bytes, size_t count, size_t room)
{
    std::vector<char> storage;
    storage.reserve(room);
    storage.assign(bytes, bytes + count);
    storage.resize(room);
    return std::make_shared<Block>(Block{std::move(storage), count});
}

// Claims the room of a block that must hold `needed` bytes in place of
// `length`: twice the length, so that the copies made for all the posts to
// a target add up to about twice its size; the bare need where that is more,
// or where twice the length does not fit. 0 when not even the need fits.
static size_t claim_block_room(room_claim& room, size_t length, size_t needed)
{
    unsigned long long doubled = 2ULL * length;
    if (doubled > needed && doubled <= SIZE_MAX && room.claim(doubled))
        return (size_t)doubled;
    return room.claim(needed) ? needed : 0;
}

// Appends a record under the lock, so concurrent posts to one target never
// lose or interleave records. The record goes into the room past what the
// target's block holds, where no version reaches, so no GET sees it written;
// only when the room runs out are the bytes copied, once, to a larger block,
// whose room is claimed first: under the lock, since the length to copy is
// known only there, and doubling makes that rare. False, and the table as it
// was, when the block is not to be had.
static bool append_record(const char* key, const std::string& record)
{
    Stored replaced;  // freed after the lock is given back, if it was the last
    room_claim block_room(uploads);
    try {
        table_lock held;
        auto found = contents.find(key);
        const Content* current = found == contents.end() ? nullptr : found->second.get();
        size_t length = current ? current->length : 0;
        size_t needed = length + record.size();
        std::shared_ptr<Block> block = current ? current->block : nullptr;
        if (!block || block->used != length || needed > block->bytes.size()) {
            size_t room = claim_block_room(block_room, length, needed);
            if (room == 0)
                return false;
            const char* so_far = block ? block->bytes.data() : nullptr;
            block = block_holding(so_far, length, room);
            block_room.settle(0);  // every byte of it is written
        }
        std::copy(record.begin(), record.end(), block->bytes.begin() + (ptrdiff_t)length);
        Stored extended =
            std::make_shared<const Content>(Content{form_records_type, block, needed});
        block->used = needed;
        if (found == contents.end())
            contents.emplace(key, std::move(extended));
        else
            replaced = std::exchange(found->second, std::move(extended));
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

// Decodes a gathered form and appends its record to the target. The record,
// and the table's records for the new version, are claimed before they are
// made; the record's claim is given back once its bytes are written.
static bool post_record(const char* key, std::string_view body)
{
    unsigned long long records = entry_cost(key, sizeof form_records_type - 1);
    room_claim made(uploads);
    if (!made.claim(body.size() + FORM_SEPARATOR.size() + records))
        return false;
    std::string record;
    try {
        record = decode_form(body);
    } catch (const std::exception&) {
        return false;
    }
    made.settle(records);
    return append_record(key, record);
}

static void serve_post(SOCKET sock, context* ctx)
{
    const http& req = ctx->hdr;
    if (refused_by_head(sock, req, fit_for_a_head_line(req.m_pURI)))
        return;
    // One byte per receive, so that nothing past the announced length is
    // taken from the socket.
    upload_body gathered(uploads);
    body_end end = read_body(sock, req, content_length(req).value, 1, gathered);
    if (end == body_end::broken_off)
        return;  // no record of a form that may have been cut anywhere
    if (end == body_end::too_large || !post_record(req.m_pURI, gathered.view())) {
        send_fixed(sock, reply_413);
        return;
    }
    send_formatted(sock, reply_303, req.m_pURI);
    twd_log("Posted: %s\n", req.m_pURI);
}

extern "C" int on_http_request(SOCKET sock, context* ctx)
{
    const char* method = ctx->hdr.m_pMethod;
    try {
        if (strcmp(method, "PUT") == 0) {
            serve_put(sock, ctx);
        } else if (strcmp(method, "GET") == 0) {
            serve_get(sock, ctx);
        } else if (strcmp(method, "OPTIONS") == 0) {
            send_fixed(sock, reply_204);
        } else if (strcmp(method, "POST") == 0) {
            serve_post(sock, ctx);
        } else {
            send_fixed(sock, reply_405);
            twd_log("405:%d %s\n", (int)sock, method);
        }
    } catch (const std::exception&) {
        // memory ran out for this request alone; the connection closes
    }
    return 0;
}

// ---- start, stop and the WebSocket log ------------------------------------------

static void add_builtin(const char* key, const char* type, const char* start, const char* end)
{
    contents[key] = content_of(type, std::vector<char>(start, end));
}

extern "C" void on_start(sockaddr_in* bindto)
{
    twd_log("[tinkerpot " TINKERPOT_VERSION "]\n");
    try {
        add_builtin("/", "text/html", tinkerpot_html_start, tinkerpot_html_end);
        add_builtin("/ace.min.js", "text/javascript", ace_start, ace_end);
        add_builtin("/mode-html.js", "text/javascript", mhjs_start, mhjs_end);
        add_builtin("/worker-html.js", "text/javascript", whjs_start, whjs_end);
    } catch (const std::exception&) {
        fflush(stdout);
        fputs("!malloc.\n", stderr);
        exit(ENOMEM);
    }
    lock_create(&contents_mx);
    twd_start(bindto);
}

extern "C" void on_stop(void)
{
    twd_stop();
    lock_destroy(&contents_mx);
}

extern "C" int on_ws_connect(SOCKET, context*)
{
    twd_log("on_ws_connect\n");
    return 1;
}

extern "C" int on_ws_data(SOCKET, context*, char*, size_t, char)
{
    twd_log("on_ws_data\n");
    return 1;
}

extern "C" void on_ws_close(SOCKET, context*, char*, size_t, char) { twd_log("on_ws_close\n"); }
