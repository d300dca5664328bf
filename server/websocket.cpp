// WebSocket, version 13: the handshake's accept value (own SHA-1 and base64),
// the server and client sides of the upgrade, and single frames.
#include "websocket.h"
#include "http.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// ---- SHA-1 ----------------------------------------------------------------

static const unsigned int sha1_initial[5] = {
    0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u,
};

static inline unsigned int rol(const unsigned int value, const unsigned int steps)
{
    return (value << steps) | (value >> (32 - steps));
}

static inline void clearWBuffert(unsigned int* buffert)
{
    for (int pos = 16; --pos >= 0;)
        buffert[pos] = 0;
}

// Compresses the block in w[0..15] into result; fills w[16..79] on the way.
static void innerHash(unsigned int* result, unsigned int* w)
{
    unsigned int a = result[0], b = result[1], c = result[2], d = result[3], e = result[4];
    for (int round = 0; round < 80; ++round) {
        if (round >= 16)
            w[round] = rol(w[round - 3] ^ w[round - 8] ^ w[round - 14] ^ w[round - 16], 1);
        unsigned int f, k;
        if (round < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        } else if (round < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        } else if (round < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        unsigned int t = rol(a, 5) + f + e + k + w[round];
        e = d;
        d = c;
        c = rol(b, 30);
        b = a;
        a = t;
    }
    result[0] += a;
    result[1] += b;
    result[2] += c;
    result[3] += d;
    result[4] += e;
}

// Digest of bytelength (0 to 2^29 - 1) bytes at src into hash[0..19].
static void sha1_calc(const void* src, const int bytelength, unsigned char* hash)
{
    const unsigned char* bytes = (const unsigned char*)src;
    unsigned int result[5];
    unsigned int w[80];
    memcpy(result, sha1_initial, sizeof result);

    const int endOfFullBlocks = bytelength - 64;
    int currentBlock = 0;
    for (; currentBlock <= endOfFullBlocks; currentBlock += 64) {
        for (int i = 0; i < 16; ++i) {
            const unsigned char* word = bytes + currentBlock + 4 * i;
            w[i] = (unsigned int)word[0] << 24 | (unsigned int)word[1] << 16 |
                   (unsigned int)word[2] << 8 | word[3];
        }
        innerHash(result, w);
    }

    const int endCurrentBlock = bytelength - currentBlock;
    clearWBuffert(w);
    int lastBlockBytes = 0;
    for (; lastBlockBytes < endCurrentBlock; ++lastBlockBytes) {
        w[lastBlockBytes >> 2] |= (unsigned int)bytes[currentBlock + lastBlockBytes]
                                  << ((3 - (lastBlockBytes & 3)) << 3);
    }
    w[lastBlockBytes >> 2] |= 0x80u << ((3 - (lastBlockBytes & 3)) << 3);
    if (endCurrentBlock >= 56) {  // no room left for the length field
        innerHash(result, w);
        clearWBuffert(w);
    }
    w[15] = (unsigned int)bytelength << 3;
    innerHash(result, w);

    for (int k = 0; k < 20; ++k)
        hash[k] = (unsigned char)(result[k >> 2] >> ((3 - (k & 3)) << 3));
}

// ---- base64 ---------------------------------------------------------------

static const char base64_list[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Four characters for the group at in; len is the number of bytes left.
static void base64_encode_block(unsigned char* out, const unsigned char* in, int len)
{
    unsigned int x = in[0];
    unsigned int y = len > 1 ? in[1] : 0;
    unsigned int z = len > 2 ? in[2] : 0;
    out[0] = (unsigned char)base64_list[x >> 2];
    out[1] = (unsigned char)base64_list[((x & 0x03) << 4) | (y >> 4)];
    out[2] = len > 1 ? (unsigned char)base64_list[((y & 0x0F) << 2) | (z >> 6)] : '=';
    out[3] = len > 2 ? (unsigned char)base64_list[z & 0x3F] : '=';
}

// out needs room for 4 * ceil(len / 3) characters and a zero byte.
static void base64_encode_binary(char* out, const unsigned char* in, size_t len)
{
    for (size_t i = 0; i < len; i += 3) {
        size_t left = len - i;
        base64_encode_block((unsigned char*)out, in + i, left > 3 ? 3 : (int)left);
        out += 4;
    }
    *out = 0;
}

// ---- handshake --------------------------------------------------------------

enum { WS_VERSION = 13 };

#define WS_GUID "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

static const char ws_reply_format[] =
    "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
    "Sec-WebSocket-Accept: %s\r\n\r\n";

static const char ws_request_format[] =
    "GET %s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: %d\r\n%s\r\n";

// The client's fixed key and the accept value a server must answer it with.
static const unsigned char ws_client_key[17] = "the sample nonce";
static const char ws_client_accept[29] = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

// A key of any length is hashed whole: the joined text gets room for the
// longest key a request head can carry.
enum { JOINED_ROOM = sizeof http::m_aBuf + sizeof WS_GUID };

int ws_handshake(SOCKET sock, const http* req)
{
    if (atoi(http_header(req, "Sec-WebSocket-Version")) != WS_VERSION)
        return 0;

    char aBufAppended[JOINED_ROOM];
    int nBufAppended = snprintf(aBufAppended, sizeof aBufAppended, "%s" WS_GUID,
                                http_header(req, "Sec-WebSocket-Key"));
    if (nBufAppended < 0 || nBufAppended >= (int)sizeof aBufAppended)
        return 0;  // cannot happen for a key taken from one request head

    unsigned char hash[21];
    sha1_calc(aBufAppended, nBufAppended, hash);
    hash[20] = 0;
    char aAccept[29];
    base64_encode_binary(aAccept, hash, 20);

    char aBuf[1024];
    int n = snprintf(aBuf, sizeof aBuf, ws_reply_format, aAccept);
    return (int)send(sock, aBuf, n, 0);
}

int ws_upgrade(SOCKET sock, const char* pURI, const char* pHost, const char* pHeaders, http* res)
{
    unsigned char keysource[17];
    memcpy(keysource, ws_client_key, sizeof keysource);
    char aKey[25];
    base64_encode_binary(aKey, keysource, 16);

    char aBuf[1024];
    int n = snprintf(aBuf, sizeof aBuf, ws_request_format, pURI, pHost, aKey, WS_VERSION, pHeaders);
    if (n < 0 || n >= (int)sizeof aBuf)
        return -1;  // a cut request would be garbage: send none at all
    send(sock, aBuf, n, 0);

    res->m_nBuf = (int)recv(sock, res->m_aBuf, HTTP_READ_SIZE, 0);
    if (res->m_nBuf <= 0)
        return res->m_nBuf;
    if (http_parse(res) <= 0)
        return -1;
    if (atoi(res->m_pCode) != 101)
        return -1;
    if (strcmp(http_header(res, "Sec-WebSocket-Accept"), ws_client_accept) != 0)
        return -1;
    return 1;
}

// ---- frames -----------------------------------------------------------------

// Reads exactly len bytes of a frame. A handled signal ends a waiting read
// early with what came so far, so the wait goes on until all have come or
// the stream ends. A frame cut by the end of the stream is no frame (its
// missing bytes are undefined), so that counts as a failed read. Returns len,
// or 0 or -1 from a read that brought nothing.
static int read_frame_part(SOCKET sock, char* buf, int len)
{
    int got = 0;
    while (got < len) {
        int n = (int)recv(sock, buf + got, len - got, MSG_WAITALL);
        if (n <= 0)
            return got > 0 ? -1 : n;
        got += n;
    }
    return got;
}

// The length field of byte 1 and the extended length after it: the shortest
// of the three forms for len. Returns the header size so far.
static int put_length(char* aHeader, size_t len)
{
    if (len < WS_LENGTH_16) {
        aHeader[1] = (char)len;
        return 2;
    }
    if (len <= 0xFFFF) {
        aHeader[1] = WS_LENGTH_16;
        aHeader[2] = (char)(len >> 8);
        aHeader[3] = (char)len;
        return 4;
    }
    aHeader[1] = WS_LENGTH_64;
    uint64_t wide = len;
    for (int i = 0; i < 8; ++i)
        aHeader[2 + i] = (char)(wide >> (56 - 8 * i));
    return 10;
}

int ws_send(SOCKET sock, const char* buf, size_t len, int flags, char* mask, char opcode)
{
    if (len > (size_t)INT_MAX)
        return WS_REFUSED;  // no result could report its count
    char aHeader[WS_HEADER_MAX];
    aHeader[0] = (char)(WS_FIN | opcode);  // every frame written is final
    int size = put_length(aHeader, len);

    char* tmp = NULL;
    if (mask) {
        aHeader[1] = (char)(aHeader[1] | WS_MASKED);
        memcpy(aHeader + size, mask, WS_MASK_KEY_SIZE);
        size += WS_MASK_KEY_SIZE;
        tmp = (char*)malloc(len ? len : 1);
        // Nothing is sent: a header without its payload would break the stream.
        if (!tmp)
            return WS_SOCKET_ERROR;
        for (size_t i = 0; i < len; ++i)
            tmp[i] = (char)(buf[i] ^ mask[i % WS_MASK_KEY_SIZE]);  // RFC 6455 section 5.3
    }

    int sent = (int)send(sock, aHeader, size, flags);
    if (sent > 0)
        sent = (int)send(sock, tmp ? tmp : buf, (int)len, flags);
    free(tmp);
    return sent;
}

// The control frames that are answered here: a close with an empty close
// (RFC 6455 section 5.5.1), a ping with an empty pong (section 5.5.2).
static void answer_control(SOCKET sock, char opcode)
{
    if (opcode == WS_OP_CLOSE)
        ws_send(sock, NULL, 0, 0, NULL, WS_OP_CLOSE);
    else if (opcode == WS_OP_PING)
        ws_send(sock, NULL, 0, 0, NULL, WS_OP_PONG);
}

int ws_recv(SOCKET sock, char* buf, size_t len, int flags, char* popcode)
{
    (void)flags;  // every read waits for all of its bytes
    char aHeader[WS_HEADER_MAX];
    if (popcode)
        *popcode = 0;

    int got = read_frame_part(sock, aHeader, 2);
    if (got <= 0)
        return got;
    if (!(aHeader[0] & WS_FIN))
        return WS_REFUSED;  // a fragment (RFC 6455 section 5.4): messages are taken whole only

    uint64_t plen = aHeader[1] & WS_LENGTH_BITS;
    const bool masked = (aHeader[1] & WS_MASKED) != 0;
    int lengthSize = plen == WS_LENGTH_64 ? 8 : plen == WS_LENGTH_16 ? 2 : 0;
    int rest = lengthSize + (masked ? WS_MASK_KEY_SIZE : 0);
    if (rest > 0) {
        got = read_frame_part(sock, aHeader + 2, rest);
        if (got <= 0)
            return got;
    }
    if (lengthSize > 0) {  // no test that the shortest form was used
        plen = 0;
        for (int i = 0; i < lengthSize; ++i)
            plen = plen << 8 | (unsigned char)aHeader[2 + i];
    }
    const char* pMask = masked ? aHeader + 2 + lengthSize : NULL;
    // Longer than the caller takes, or than a result can count: the payload
    // stays in the socket.
    if (plen > (uint64_t)len || plen > (uint64_t)INT_MAX)
        return WS_REFUSED;

    int n = 0;
    if (plen > 0) {
        n = read_frame_part(sock, buf, (int)plen);
        if (n <= 0)
            return n;
    }
    buf[n] = 0;
    if (pMask) {
        for (int i = 0; i < n; ++i)
            buf[i] = (char)(buf[i] ^ pMask[i % WS_MASK_KEY_SIZE]);
    }

    const char opcode = aHeader[0] & WS_OPCODE_BITS;
    if (popcode)
        *popcode = opcode;
    answer_control(sock, opcode);
    return n;
}
