// Header lookups after a parse of any bytes: the answer is the value of the
// first header whose name matches ignoring ASCII case, or the one shared
// empty string, and never anything else.
//
// Input: a name to look up, a line feed, then the head (without a line feed,
// the input is all name and the head is empty). Every parsed name is looked
// up too, as it is and with the case of its letters swapped.
#include "http.h"

#include "fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

char ascii_case_swapped(char c)
{
    if (c >= 'A' && c <= 'Z')
        return (char)(c - 'A' + 'a');
    if (c >= 'a' && c <= 'z')
        return (char)(c - 'a' + 'A');
    return c;
}

bool names_match(const char* a, const char* b)
{
    for (; *a && *b; ++a, ++b) {
        if (ascii_lower(*a) != ascii_lower(*b))
            return false;
    }
    return *a == *b;
}

// What the lookup must answer, found by walking the headers in order.
const char* expected_value(const http& record, const char* name, const char* empty)
{
    for (int i = 0; i < record.m_nHeaders; ++i) {
        if (names_match(record.m_aHeaderN[i], name))
            return record.m_aHeaderV[i];
    }
    return empty;
}

void check_lookup(const http& record, const char* name, const char* empty)
{
    check(http_header(&record, name) == expected_value(record, name, empty),
          "a lookup gives the first matching header's value, or the shared empty string");
}

std::string case_swapped(const char* name)
{
    std::string swapped(name);
    for (char& c : swapped)
        c = ascii_case_swapped(c);
    return swapped;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const uint8_t* line_end = (const uint8_t*)memchr(data, '\n', size);
    const size_t name_length = line_end ? (size_t)(line_end - data) : size;
    const std::string name((const char*)data, name_length);  // a zero byte in it ends it
    const uint8_t* head = line_end ? line_end + 1 : data + size;
    const size_t head_size = (size_t)(data + size - head);
    if (head_size > HTTP_READ_SIZE)
        return -1;  // more than one read can bring

    static http record;
    http_reset(&record);
    const char* empty = http_header(&record, name.c_str());
    check(empty != nullptr && *empty == 0, "a record with no headers answers the empty string");

    memset(record.m_aBuf, 0, sizeof record.m_aBuf);
    memcpy(record.m_aBuf, head, head_size);
    record.m_nBuf = (int)head_size;
    const int result = http_parse(&record);
    check(result > 0 || record.m_nHeaders == 0, "a failed parse leaves no headers to find");

    check_lookup(record, name.c_str(), empty);
    for (int i = 0; i < record.m_nHeaders; ++i) {
        check_lookup(record, record.m_aHeaderN[i], empty);
        check_lookup(record, case_swapped(record.m_aHeaderN[i]).c_str(), empty);
    }
    return 0;
}
