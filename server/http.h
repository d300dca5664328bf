// One HTTP message head, read into a fixed buffer and parsed in place. The
// record owns no resource and holds no global state; it belongs to one
// connection, whose handlers run on one thread at a time, so nothing here
// takes a lock.
#ifndef TINKERPOT_HTTP_H
#define TINKERPOT_HTTP_H

// Sizes named once for every unit, test and fuzz target.
enum {
    HTTP_READ_SIZE = 4096,   // a head must come whole in one read of this many bytes
    HTTP_HEADER_SLOTS = 32,  // room for 31 header lines: the 32nd fails the parse
};

#ifdef __cplusplus
extern "C" {
#endif

// A request line or a status line: the three pointer pairs name the same
// three fields, read under whichever names fit what the caller expects.
struct http {
    char m_aBuf[HTTP_READ_SIZE + 2];  // one read; the last two bytes spare
    int m_nBuf;                       // what that read returned, also 0 or -1
    union {
        const char* m_pMethod;
        const char* m_pResVer;
    };
    union {
        const char* m_pURI;
        const char* m_pCode;
    };
    union {
        const char* m_pVersion;
        const char* m_pReason;
    };
    const char* m_aHeaderN[HTTP_HEADER_SLOTS];
    const char* m_aHeaderV[HTTP_HEADER_SLOTS];
    int m_nHeaders;
    const char* m_pBody;  // first byte after the blank line
};

// Clears the count and every field that a parse sets; leaves the buffer and
// the header arrays as they are. Returns p.
struct http* http_reset(struct http* p);

// Parses the first m_nBuf bytes of m_aBuf in place, writing zero bytes over
// the separators, and never reads or writes a byte at or past m_nBuf.
// Returns the head's length, blank line included (> 0): m_pBody is m_aBuf
// plus it, the body bytes that came with the head run from m_pBody to
// m_aBuf + m_nBuf, and the result may be m_nBuf + 1 when the read ended with
// the blank line's CR (the byte after it is then still unread). Returns 0
// when m_nBuf is 0 or less, and otherwise minus the offset where parsing
// stopped; every field is then cleared, so every lookup yields "".
// Needs no reset first. The fields point into m_aBuf: valid until the next
// read into it.
int http_parse(struct http* p);

// The value of the first header whose name equals pName, the letters A to Z
// matching a to z; a shared, constant "" (never null) when none does.
const char* http_header(const struct http* p, const char* pName);

#ifdef __cplusplus
}
#endif

#endif
