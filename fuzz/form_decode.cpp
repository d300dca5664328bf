// The form decoder on any body, held in a heap block of exactly its size so
// that the sanitizer sees a read past its end.
//
// The record is compared with a decoder written here from what the service
// promises: '+', '=' and '&' become ' ', ':' and a line break, and a '%'
// with two bytes after it that strtol reads as a base-16 number (white
// space and a sign first) becomes that number's low byte; any other '%' is
// kept. Decoding stops at the first zero byte, and the separator follows.
#include "form.h"

#include "fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

const std::string_view kSeparator = "\n---\n";

char plain_mapping(char c)
{
    switch (c) {
    case '+':
        return ' ';
    case '=':
        return ':';
    case '&':
        return '\n';
    default:
        return c;
    }
}

// The byte a '%' and the two after it stand for, or -1 for none.
int escaped_byte(std::string_view two)
{
    const std::string text(two);
    char* end = nullptr;
    const long value = strtol(text.c_str(), &end, 16);
    return end == text.c_str() ? -1 : (int)(value & 0xFF);
}

std::string reference_record(std::string_view fields)
{
    std::string record;
    for (size_t i = 0; i < fields.size(); ++i) {
        const int escaped =
            fields[i] == '%' && i + 2 < fields.size() ? escaped_byte(fields.substr(i + 1, 2)) : -1;
        if (escaped >= 0) {
            record += (char)escaped;
            i += 2;
        } else {
            record += plain_mapping(fields[i]);
        }
    }
    return record + std::string(kSeparator);
}

std::string plain_record(std::string_view fields)
{
    std::string record;
    for (char c : fields)
        record += plain_mapping(c);
    return record + std::string(kSeparator);
}

bool ends_with_separator(const std::string& record)
{
    return record.size() >= kSeparator.size() &&
           std::string_view(record).substr(record.size() - kSeparator.size()) == kSeparator;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<char[]> copy(new char[size]);
    memcpy(copy.get(), data, size);
    const std::string_view body(copy.get(), size);
    const std::string_view fields = body.substr(0, body.find('\0'));

    const std::string record = decode_form(body);
    check(ends_with_separator(record), "a record ends with the separator");
    check(record.size() <= fields.size() + kSeparator.size(),
          "decoding never lengthens the fields");
    if (fields.find('%') == std::string_view::npos)
        check(record == plain_record(fields), "a body without escapes maps '+', '=' and '&' alone");
    check(record == reference_record(fields),
          "a record decodes every field as the service promises");
    if (fields.size() < body.size())
        check(decode_form(fields) == record, "nothing after the first zero byte counts");
    return 0;
}
