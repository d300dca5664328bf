// The form decoder on the bodies a browser sends and on the escapes it never
// sends: each body gives one record, ending in the separator.
#include "form.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct FormCase {
    const char* what;
    std::string body;
    std::string record;  // without the separator
};

// clang-format off
const FormCase form_cases[] = {
    {"the guest book", "name=Ann+Lee&msg=Hi%21", "name:Ann Lee\nmsg:Hi!"},
    {"an empty body", "", ""},
    {"equals signs after the first", "x=1=2", "x:1:2"},
    {"escapes of the separators stay what they stand for", "a%2Bb%26c%3Dd", "a+b&c=d"},
    {"escapes in either case", "%41%e9%E9", std::string("A\xE9\xE9")},
    {"UTF-8, escaped and not", "%E3%81%82\xE3\x81\x82", "\xE3\x81\x82\xE3\x81\x82"},
    {"an escaped zero byte is stored and decoding goes on", "a%00b", std::string("a\0b", 3)},
    {"a raw zero byte ends the body", std::string("a=1\0b=2", 7), "a:1"},
    {"one hex digit: its value, both bytes taken", "%4z!", std::string("\x04!")},
    {"white space and a sign, as strtol reads", "% f%-1%+a", std::string("\x0F\xFF\x0A")},
    {"no number at all: kept as sent", "%zz%%", "%zz%%"},
    {"cut short by the end of the body", "a%4", "a%4"},
    {"cut short by a zero byte", std::string("a%4\0" "1", 5), "a%4"},
};
// clang-format on

TEST(Form, EachBodyGivesItsRecord)
{
    for (const FormCase& c : form_cases)
        EXPECT_EQ(decode_form(c.body), c.record + "\n---\n") << c.what;
}

}  // namespace
