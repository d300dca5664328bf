// One HTTP message head, read into a fixed buffer and parsed in place.
#ifndef TINKERPOT_HTTP_H
#define TINKERPOT_HTTP_H

#ifdef __cplusplus
extern "C" {
#endif

// A request line or a status line: the three pointer pairs name the same
// three fields, read under whichever names fit what the caller expects.
struct http {
    char m_aBuf[4098];  // one read of at most 4096 bytes; the last two never filled
    int m_nBuf;         // what that read returned, also 0 or -1
    union { const char* m_pMethod; const char* m_pResVer; };
    union { const char* m_pURI; const char* m_pCode; };
    union { const char* m_pVersion; const char* m_pReason; };
    const char* m_aHeaderN[32];
    const char* m_aHeaderV[32];
    int m_nHeaders;
    const char* m_pBody;  // first byte after the blank line
};

struct http* http_reset(struct http* p);

// Parses the first m_nBuf bytes of m_aBuf. Returns the head length (> 0),
// 0 when there were no bytes, or minus the offset where parsing stopped.
int http_parse(struct http* p);

// Value of the first header named pName (ASCII case ignored), or "".
const char* http_header(const struct http* p, const char* pName);

#ifdef __cplusplus
}
#endif

#endif
