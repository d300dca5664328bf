// The in-place head parser: one table of heads with the result and the
// fields each must give, then the header lookup.
#include "http.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <utility>
#include <vector>

namespace {

const std::string kHead = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";  // 27 bytes

// The most header lines a head may carry: the last slot is the one that
// fails the parse.
const int kMostHeaders = HTTP_HEADER_SLOTS - 1;

// Copies one read's bytes into a record whose every byte was garbage before,
// so the parser cannot lean on zero bytes or fields that it did not write.
int parse_bytes(http& record, const std::string& bytes)
{
    memset(&record, 0xA5, sizeof record);
    memcpy(record.m_aBuf, bytes.data(), bytes.size());
    record.m_nBuf = (int)bytes.size();
    return http_parse(&record);
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// A request line followed by `count` header lines "H00: v" ... and the blank line.
std::string head_with_headers(int count)
{
    std::string head = "GET / HTTP/1.1\r\n";
    char line[16];
    for (int i = 0; i < count; ++i) {
        snprintf(line, sizeof line, "H%02d: v\r\n", i);
        head += line;
    }
    return head + "\r\n";
}

// A full read of HTTP_READ_SIZE bytes: a request line and one long header line with no
// blank line; with `ends_in_cr` the last byte is the CR ending that header.
std::string full_read_without_blank_line(bool ends_in_cr)
{
    std::string head = "GET / HTTP/1.1\r\nX-Pad: ";
    head.append(HTTP_READ_SIZE - head.size() - (ends_in_cr ? 1 : 0), 'a');
    if (ends_in_cr)
        head += '\r';
    return head;
}

using Headers = std::vector<std::pair<std::string, std::string>>;

Headers numbered_headers(int count)
{
    Headers headers;
    char name[8];
    for (int i = 0; i < count; ++i) {
        snprintf(name, sizeof name, "H%02d", i);
        headers.emplace_back(name, "v");
    }
    return headers;
}

struct HeadCase {
    const char* label;
    std::string bytes;
    int result;
    // What the three fields and the headers must read after a success.
    std::string first, second, third;
    Headers headers;
};

// clang-format off
std::vector<HeadCase> head_cases()
{
    const std::string lf_for_other = replaced(kHead, "\n", "Z");
    const std::string host_x = "Host: x\r\n";
    return {
        {"the_27_byte_head", kHead, 27, "GET", "/", "HTTP/1.1", {{"Host", "x"}}},
        {"body_bytes_after_the_head", kHead + "hello", 27, "GET", "/", "HTTP/1.1", {{"Host", "x"}}},
        {"cut_after_the_blank_lines_cr", kHead.substr(0, 26), 27, "GET", "/", "HTTP/1.1", {{"Host", "x"}}},
        {"cut_before_the_blank_line", kHead.substr(0, 25), -25, "", "", "", {}},
        {"cut_after_the_first_lines_cr", kHead.substr(0, 15), -16, "", "", "", {}},
        {"lines_ending_in_lf_alone", replaced(kHead, "\r\n", "\n"), -24, "", "", "", {}},
        {"any_byte_in_place_of_lf", lf_for_other, 27, "GET", "/", "HTTP/1.1", {{"Host", "x"}}},
        {"nothing_read", "", 0, "", "", "", {}},
        {"full_read_without_blank_line", full_read_without_blank_line(false), -HTTP_READ_SIZE, "", "", "", {}},
        {"full_read_ending_in_a_header_cr", full_read_without_blank_line(true), -(HTTP_READ_SIZE + 1), "", "", "", {}},
        {"no_space_at_all", "GARBAGE\r\n\r\n", -11, "", "", "", {}},
        {"no_cr_after_the_second_space", "GET / HTTP/1.1", -14, "", "", "", {}},
        {"no_cr_after_a_header_colon", "GET / HTTP/1.1\r\nHost: x", -23, "", "", "", {}},
        {"no_colon_in_the_rest", "GET / HTTP/1.1\r\nHost\r\n\r\n", -24, "", "", "", {}},
        {"empty_method", " /a HTTP/1.1 x\r\n\r\n", 18, "", "/a", "HTTP/1.1 x", {}},
        {"space_in_target", "GET /a b HTTP/1.1\r\n\r\n", 21, "GET", "/a", "b HTTP/1.1", {}},
        {"two_spaces_after_method", "GET  / HTTP/1.1\r\n\r\n", 19, "GET", "", "/ HTTP/1.1", {}},
        {"zero_byte_in_target", std::string("GET /a\0b HTTP/1.1\r\n\r\n", 21), 21, "GET", "/a", "HTTP/1.1", {}},
        {"bytes_above_127", "GET /\xC3\xA9 HTTP/1.1\r\nN\xFF: \x80\r\n\r\n", 27, "GET", "/\xC3\xA9", "HTTP/1.1",
         {{"N\xFF", "\x80"}}},
        {"one_space_request_line_runs_on", "GET /\r\n" + host_x + "\r\n", 18, "GET", "/\r\nHost:", "x", {}},
        {"header_without_colon_joins_next", "GET / HTTP/1.1\r\nNoColon\r\n" + host_x + "\r\n", 36, "GET", "/",
         "HTTP/1.1", {{"NoColon\r\nHost", "x"}}},
        {"spaces_skipped_tabs_kept", "GET / HTTP/1.1\r\nA:  \t v \t\r\n\r\n", 29, "GET", "/", "HTTP/1.1",
         {{"A", "\t v \t"}}},
        {"space_before_colon_kept_in_name", "GET / HTTP/1.1\r\nA : v\r\n\r\n", 25, "GET", "/", "HTTP/1.1",
         {{"A ", "v"}}},
        {"colon_right_before_cr", "GET / HTTP/1.1\r\nA:\r\n\r\n", 22, "GET", "/", "HTTP/1.1", {{"A", ""}}},
        {"only_spaces_after_colon", "GET / HTTP/1.1\r\nA:   \r\n\r\n", 25, "GET", "/", "HTTP/1.1", {{"A", ""}}},
        {"empty_name", "GET / HTTP/1.1\r\n: v\r\n\r\n", 23, "GET", "/", "HTTP/1.1", {{"", "v"}}},
        {"line_folded_with_space", "GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n", -22, "", "", "", {}},
        {"line_folded_with_tab", "GET / HTTP/1.1\r\nA: b\r\n\tc\r\n\r\n", -22, "", "", "", {}},
        {"31_headers", head_with_headers(kMostHeaders), 16 + kMostHeaders * 8 + 2, "GET", "/", "HTTP/1.1",
         numbered_headers(kMostHeaders)},
        {"32_headers", head_with_headers(HTTP_HEADER_SLOTS), -(16 + HTTP_HEADER_SLOTS * 8), "", "", "", {}},
        {"status_line", "HTTP/1.1 101 Switching Protocols\r\n\r\n", 36, "HTTP/1.1", "101", "Switching Protocols", {}},
        {"status_line_without_reason", "HTTP/1.1 101\r\nUpgrade: websocket\r\n\r\n", 36, "HTTP/1.1", "101\r\nUpgrade:",
         "websocket", {}},
    };
}
// clang-format on

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const HeadCase& c, std::ostream* os) { *os << c.label; }

class HeadTable : public ::testing::TestWithParam<HeadCase> {};

TEST_P(HeadTable, ParsesInPlace)
{
    const HeadCase& c = GetParam();
    http record;
    int result = parse_bytes(record, c.bytes);
    ASSERT_EQ(result, c.result);

    if (result <= 0) {
        // A failure leaves nothing that a caller could read as a request.
        EXPECT_EQ(record.m_pMethod, nullptr);
        EXPECT_EQ(record.m_pURI, nullptr);
        EXPECT_EQ(record.m_pVersion, nullptr);
        EXPECT_EQ(record.m_nHeaders, 0);
        EXPECT_EQ(record.m_pBody, nullptr);
        return;
    }
    EXPECT_EQ(record.m_pMethod, record.m_aBuf);
    EXPECT_EQ(record.m_pResVer, record.m_pMethod);
    EXPECT_EQ(c.first, record.m_pMethod);
    EXPECT_EQ(c.second, record.m_pURI);
    EXPECT_EQ(c.third, record.m_pVersion);
    ASSERT_EQ(record.m_nHeaders, (int)c.headers.size());
    for (int i = 0; i < record.m_nHeaders; ++i) {
        EXPECT_EQ(c.headers[i].first, record.m_aHeaderN[i]) << "header " << i;
        EXPECT_EQ(c.headers[i].second, record.m_aHeaderV[i]) << "header " << i;
    }
    EXPECT_EQ(record.m_pBody, record.m_aBuf + result);
    // The body bytes that came with the head are left where they were.
    const char* end = record.m_aBuf + record.m_nBuf;
    std::string body = record.m_pBody < end ? std::string(record.m_pBody, end) : "";
    EXPECT_EQ(body, c.bytes.size() > (size_t)result ? c.bytes.substr((size_t)result) : "");
}

INSTANTIATE_TEST_SUITE_P(Heads, HeadTable, ::testing::ValuesIn(head_cases()),
                         [](const ::testing::TestParamInfo<HeadCase>& info) {
                             return std::string(info.param.label);
                         });

TEST(HttpParse, FailsForNegativeReadResult)
{
    http record;
    http_reset(&record);
    record.m_nBuf = -1;
    EXPECT_EQ(http_parse(&record), 0);
    EXPECT_EQ(record.m_pMethod, nullptr);
}

// A connection that stays open parses its next request into the same record,
// without a reset in between, and a failure clears what the success left.
TEST(HttpParse, ReparsesTheSameRecord)
{
    http record;
    ASSERT_EQ(parse_bytes(record, kHead), 27);
    std::string second = "PUT /b HTTP/1.0\r\nA: 1\r\nB: 2\r\n\r\n";
    memcpy(record.m_aBuf, second.data(), second.size());
    record.m_nBuf = (int)second.size();
    ASSERT_EQ(http_parse(&record), (int)second.size());
    EXPECT_STREQ(record.m_pMethod, "PUT");
    EXPECT_STREQ(record.m_pURI, "/b");
    EXPECT_EQ(record.m_nHeaders, 2);
    EXPECT_STREQ(http_header(&record, "host"), "");

    memcpy(record.m_aBuf, "GET / HT", 8);
    record.m_nBuf = 8;
    ASSERT_LT(http_parse(&record), 0);
    EXPECT_EQ(record.m_pURI, nullptr);
    EXPECT_STREQ(http_header(&record, "A"), "");
}

TEST(HttpHeader, LooksNamesUpWithoutCase)
{
    http record;
    ASSERT_GT(parse_bytes(record, "GET / HTTP/1.1\r\nContent-Type: text/plain\r\nX-A_1: v\r\n\r\n"),
              0);
    EXPECT_STREQ(http_header(&record, "content-type"), "text/plain");
    EXPECT_STREQ(http_header(&record, "CONTENT-TYPE"), "text/plain");
    EXPECT_STREQ(http_header(&record, "x-a_1"), "v");
    // Only letters fold: '_' and '-' are different bytes.
    EXPECT_STREQ(http_header(&record, "x-a-1"), "");
    EXPECT_STREQ(http_header(&record, "Content"), "");
}

TEST(HttpHeader, FindsTheFirstOfTwo)
{
    http record;
    ASSERT_GT(parse_bytes(record, "GET / HTTP/1.1\r\nHost: first\r\nhost: second\r\n\r\n"), 0);
    EXPECT_STREQ(http_header(&record, "HOST"), "first");
}

// Absent names give the same non-null empty string, whatever state the
// record is in, so callers can hand the result on unchecked.
TEST(HttpHeader, GivesEmptyStringAfterFailureOrReset)
{
    http record;
    ASSERT_LT(parse_bytes(record, "GET / HTTP/1.1\r\nHost: x\r\n"), 0);
    const char* missing = http_header(&record, "Host");
    ASSERT_NE(missing, nullptr);
    EXPECT_STREQ(missing, "");

    ASSERT_GT(parse_bytes(record, kHead), 0);
    EXPECT_EQ(http_reset(&record), &record);
    EXPECT_EQ(record.m_nBuf, 0);
    EXPECT_EQ(record.m_pMethod, nullptr);
    EXPECT_EQ(record.m_pBody, nullptr);
    EXPECT_EQ(http_header(&record, "Host"), missing);
}

}  // namespace
