// Any bytes as one read into a record: whatever they hold, the parser leaves
// a result and pointers that stay inside the read, writes nothing past it,
// and reads nothing past it either. The last is seen by parsing the same
// bytes twice, once followed by zero bytes and once by text that would end
// a head, and asking for the same outcome.
#include "http.h"

#include "fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

enum { BUF_SIZE = sizeof http::m_aBuf };

// What lies in the buffer after the read: zero bytes, or blank lines and
// colons that a parser reading on would take as the end of a head.
struct Fillers {
    char zeros[BUF_SIZE] = {};
    char head_text[BUF_SIZE];

    Fillers()
    {
        static const char head_end[] = "\r\n\r\n: ";
        for (size_t i = 0; i < BUF_SIZE; ++i)
            head_text[i] = head_end[i % (sizeof head_end - 1)];
    }
};

const char* filler(bool head_like)
{
    static const Fillers fillers;
    return head_like ? fillers.head_text : fillers.zeros;
}

// The outcome of one parse: the result, every pointer as an offset into the
// buffer (-1 for null) and the read's bytes as the parser left them.
struct Outcome {
    int result;
    int headers;
    ptrdiff_t fields[3];
    ptrdiff_t names[HTTP_HEADER_SLOTS];
    ptrdiff_t values[HTTP_HEADER_SLOTS];
    ptrdiff_t body;
    char bytes[HTTP_READ_SIZE];

    bool operator==(const Outcome& other) const { return memcmp(this, &other, sizeof *this) == 0; }
};

ptrdiff_t offset_in(const http& record, const char* p) { return p ? p - record.m_aBuf : -1; }

Outcome outcome_of(const http& record, int result)
{
    Outcome out;
    memset(&out, 0, sizeof out);  // padding too, so that == may compare bytes
    out.result = result;
    out.headers = record.m_nHeaders;
    out.fields[0] = offset_in(record, record.m_pMethod);
    out.fields[1] = offset_in(record, record.m_pURI);
    out.fields[2] = offset_in(record, record.m_pVersion);
    for (int i = 0; i < record.m_nHeaders && i < HTTP_HEADER_SLOTS; ++i) {
        out.names[i] = offset_in(record, record.m_aHeaderN[i]);
        out.values[i] = offset_in(record, record.m_aHeaderV[i]);
    }
    out.body = offset_in(record, record.m_pBody);
    memcpy(out.bytes, record.m_aBuf, (size_t)record.m_nBuf);
    return out;
}

// The parser writes zero bytes over separators and nothing else.
void check_written_bytes(const http& record, const uint8_t* data, size_t size, bool head_like)
{
    for (size_t i = 0; i < size; ++i) {
        const char sent = (char)data[i], left = record.m_aBuf[i];
        check(left == sent || (left == 0 && (sent == ' ' || sent == ':' || sent == '\r')),
              "only a space, colon or CR is overwritten, and only with a zero byte");
    }
    check(memcmp(record.m_aBuf + size, filler(head_like), BUF_SIZE - size) == 0,
          "nothing past the read is written");
}

// Each field starts after the zero byte that ends the one before it, inside
// the read, and has its own zero byte inside the read. Returns where the
// next field may start.
const char* check_field(const http& record, const char* field, const char* earliest)
{
    const char* end = record.m_aBuf + record.m_nBuf;
    check(field >= earliest && field < end, "a field lies inside the read, after the one before");
    const void* zero = memchr(field, 0, (size_t)(end - field));
    check(zero != nullptr, "a field ends in a zero byte inside the read");
    return (const char*)zero + 1;
}

void check_success(const http& record, const uint8_t* data, int result)
{
    const int n = record.m_nBuf;
    check(result <= n + 1, "a head is at most the read and the LF its last CR stands for");
    check(record.m_pBody == record.m_aBuf + result, "the body starts right after the head");
    check(result >= 2 && data[result - 2] == '\r' && record.m_aBuf[result - 2] == 0,
          "a head ends in a blank line whose CR became a zero byte");
    check(record.m_pMethod == record.m_aBuf, "the method starts the read");
    check(record.m_nHeaders >= 0 && record.m_nHeaders < HTTP_HEADER_SLOTS, "at most 31 headers");

    const char* next = check_field(record, record.m_pMethod, record.m_aBuf);
    next = check_field(record, record.m_pURI, next);
    next = check_field(record, record.m_pVersion, next);
    for (int i = 0; i < record.m_nHeaders; ++i) {
        next = check_field(record, record.m_aHeaderN[i], next);
        next = check_field(record, record.m_aHeaderV[i], next);
    }
    check(record.m_aBuf + result - 2 >= next, "the blank line follows the last field");
}

// A failure stops at most one past the read: after a CR in its last byte, the
// LF that would follow is counted as read.
void check_failure(const http& record, const uint8_t* data, int result)
{
    const int n = record.m_nBuf;
    check(record.m_pMethod == nullptr && record.m_pURI == nullptr && record.m_pVersion == nullptr &&
              record.m_pBody == nullptr && record.m_nHeaders == 0,
          "a failure leaves no fields and no headers");
    check((result == 0) == (n == 0), "the result is 0 exactly when nothing was read");
    const int stop = -result;
    check(stop >= 0 && (stop <= n || (stop == n + 1 && n > 0 && data[n - 1] == '\r')),
          "a failure stops inside the read, or just past a CR that ends it");
}

Outcome parse_checked(const uint8_t* data, size_t size, bool head_like)
{
    static http record;
    memset(&record, 0xA5, sizeof record);  // fields the parser does not set stay garbage
    memcpy(record.m_aBuf, data, size);
    memcpy(record.m_aBuf + size, filler(head_like), BUF_SIZE - size);
    record.m_nBuf = (int)size;

    const int result = http_parse(&record);
    check(record.m_nBuf == (int)size, "the read's length is left alone");
    check_written_bytes(record, data, size, head_like);
    if (result > 0)
        check_success(record, data, result);
    else
        check_failure(record, data, result);
    return outcome_of(record, result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > HTTP_READ_SIZE)
        return -1;  // more than one read can bring
    const Outcome after_zeros = parse_checked(data, size, false);
    const Outcome after_head_text = parse_checked(data, size, true);
    check(after_zeros == after_head_text, "the bytes after the read change nothing");
    return 0;
}
