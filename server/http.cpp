// In-place parser for one HTTP message head: it writes zero bytes over the
// separators and points into the buffer, never copying or allocating. The
// rule is lenient: every line ends in CR (the byte after it is not looked
// at), the head ends in a blank line within the bytes read, folded lines and
// more than 31 header lines are refused, and nothing else is checked.
#include "http.h"
#include "platform.h"

static const char s_empty[] = "";

// What a parse sets, cleared: after a reset or a failed parse every lookup
// yields "".
static void clear_fields(http* p)
{
    p->m_pMethod = nullptr;
    p->m_pURI = nullptr;
    p->m_pVersion = nullptr;
    p->m_nHeaders = 0;
    p->m_pBody = nullptr;
}

http* http_reset(http* p)
{
    p->m_nBuf = 0;
    clear_fields(p);
    return p;
}

// The parser's one step: from *pos, finds the next `stop` byte within the n
// bytes read, writes a zero over it and moves past it and `skip` bytes more.
// False when the bytes end first; *pos is then n.
static bool cut_at(char* buf, int n, int* pos, char stop, int skip)
{
    while (*pos < n && buf[*pos] != stop)
        ++*pos;
    if (*pos >= n)
        return false;
    buf[*pos] = 0;
    *pos += 1 + skip;
    return true;
}

int http_parse(http* p)
{
    char* buf = p->m_aBuf;
    const int n = p->m_nBuf;
    int pos = 0;

    if (n <= 0)
        goto emergency;
    // The first line: two fields ended by a space each, the third by a CR.
    p->m_pMethod = buf;
    if (!cut_at(buf, n, &pos, ' ', 0))
        goto emergency;
    p->m_pURI = buf + pos;
    if (!cut_at(buf, n, &pos, ' ', 0))
        goto emergency;
    p->m_pVersion = buf + pos;
    if (!cut_at(buf, n, &pos, '\r', 1))
        goto emergency;

    // Header lines, "name:" then spaces, then the value up to its CR; a line
    // without a colon runs on into the next one's name.
    p->m_nHeaders = 0;
    while (pos < n) {
        if (buf[pos] == '\r') {  // the blank line
            buf[pos] = 0;
            p->m_pBody = buf + pos + 2;
            return pos + 2;
        }
        if (buf[pos] == ' ' || buf[pos] == '\t')  // folded lines are refused
            goto emergency;
        p->m_aHeaderN[p->m_nHeaders] = buf + pos;
        if (!cut_at(buf, n, &pos, ':', 0))
            goto emergency;
        while (pos < n && buf[pos] == ' ')
            ++pos;
        p->m_aHeaderV[p->m_nHeaders] = buf + pos;
        if (!cut_at(buf, n, &pos, '\r', 1))
            goto emergency;
        if (++p->m_nHeaders == HTTP_HEADER_SLOTS)
            goto emergency;
    }

emergency:
    clear_fields(p);
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
