// In-place parser for one HTTP message head: it writes zero bytes over the
// separators and points into the buffer, never copying or allocating.
#include "http.h"
#include "platform.h"

static const char s_empty[] = "";

http* http_reset(http* p)
{
    p->m_nBuf = 0;
    p->m_pMethod = nullptr;
    p->m_pURI = nullptr;
    p->m_pVersion = nullptr;
    p->m_nHeaders = 0;
    p->m_pBody = nullptr;
    return p;
}

// Position of the first `stop` byte at or after pos, or n when there is none.
static int scan_for(const char* buf, int pos, int n, char stop)
{
    while (pos < n && buf[pos] != stop)
        ++pos;
    return pos;
}

int http_parse(http* p)
{
    char* buf = p->m_aBuf;
    const int n = p->m_nBuf;
    int pos = 0;

    if (n <= 0)
        goto emergency;
    p->m_pMethod = buf;

    pos = scan_for(buf, pos, n, ' ');
    if (pos >= n)
        goto emergency;
    buf[pos++] = 0;
    p->m_pURI = buf + pos;

    pos = scan_for(buf, pos, n, ' ');
    if (pos >= n)
        goto emergency;
    buf[pos++] = 0;
    p->m_pVersion = buf + pos;

    pos = scan_for(buf, pos, n, '\r');
    if (pos >= n)
        goto emergency;
    buf[pos] = 0;
    p->m_nHeaders = 0;
    pos += 2;  // the byte after CR is taken to be LF, unexamined

    for (;;) {
        if (pos >= n)
            goto emergency;
        if (buf[pos] == '\r') {  // the blank line
            buf[pos] = 0;
            p->m_pBody = buf + pos + 2;
            return pos + 2;
        }
        if (buf[pos] == ' ' || buf[pos] == '\t')  // folded lines are refused
            goto emergency;

        p->m_aHeaderN[p->m_nHeaders] = buf + pos;
        pos = scan_for(buf, pos, n, ':');
        if (pos >= n)
            goto emergency;
        buf[pos++] = 0;
        while (pos < n && buf[pos] == ' ')
            ++pos;
        p->m_aHeaderV[p->m_nHeaders] = buf + pos;
        pos = scan_for(buf, pos, n, '\r');
        if (pos >= n)
            goto emergency;
        buf[pos] = 0;
        pos += 2;
        if (++p->m_nHeaders == 32)  // at most 31 header lines fit
            goto emergency;
    }

emergency:
    p->m_pMethod = nullptr;
    p->m_pURI = nullptr;
    p->m_pVersion = nullptr;
    p->m_nHeaders = 0;
    p->m_pBody = nullptr;
    return -pos;
}

const char* http_header(const http* p, const char* pName)
{
    for (int i = 0; i < p->m_nHeaders; ++i) {
        if (names_equal_nocase(p->m_aHeaderN[i], pName))
            return p->m_aHeaderV[i];
    }
    return s_empty;
}
