// The decoding of a POST body into the text record that the content service
// appends to its target.
#ifndef TINKERPOT_FORM_H
#define TINKERPOT_FORM_H

#include <string>
#include <string_view>

// The record of one form body: its bytes up to the first zero byte (or all
// of them), with '+' as a space, '=' as a colon, '&' as a line feed, and a
// '%' with two bytes after it that strtol reads as a base-16 number (white
// space and a sign first) as that number's low byte; a '%' that holds no
// number, or has fewer than two bytes after it, is kept as sent, and a byte
// that an escape yields is never decoded again. The separator "\n---\n"
// follows. Reads nothing beyond the body; throws only std::bad_alloc. The
// record is never longer than the body and the separator.
std::string decode_form(std::string_view body);

// The separator that ends every record.
constexpr std::string_view FORM_SEPARATOR = "\n---\n";

#endif
