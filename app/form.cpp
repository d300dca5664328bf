// The form decoder: one pass over a POST body, no state.
#include "form.h"

// The value of the two bytes after a %, read as a base-16 number the way
// strtol reads one (white space and a sign first); -1 when they hold none.
static int escape_value(const char* two)
{
    int i = 0;
    while (i < 2 && (two[i] == ' ' || (two[i] >= '\t' && two[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < 2 && (two[i] == '+' || two[i] == '-'))
        negative = two[i++] == '-';
    int value = 0, digits = 0;
    for (; i < 2; ++i, ++digits) {
        char c = two[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0)
            break;
        value = value * 16 + digit;
    }
    if (digits == 0)
        return -1;
    return (negative ? -value : value) & 0xFF;
}

// One form record: fields decoded up to the body's first zero byte, then the
// separator. An escape that holds no number, or is cut short, stays as sent.
std::string decode_form(std::string_view body)
{
    size_t limit = body.find('\0');
    if (limit == std::string_view::npos)
        limit = body.size();
    std::string record;
    record.reserve(limit + FORM_SEPARATOR.size());
    for (size_t i = 0; i < limit; ++i) {
        char c = body[i];
        if (c == '+') {
            record += ' ';
        } else if (c == '=') {
            record += ':';
        } else if (c == '&') {
            record += '\n';
        } else if (c == '%' && i + 2 < limit && escape_value(&body[i + 1]) >= 0) {
            record += (char)escape_value(&body[i + 1]);
            i += 2;
        } else {
            record += c;
        }
    }
    record += FORM_SEPARATOR;
    return record;
}
