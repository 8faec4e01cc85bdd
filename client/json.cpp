#include "json.h"

namespace {

// Length of the valid UTF-8 sequence at TEXT (at most LEFT bytes), or 0 when it is not one:
// no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8_sequence(const unsigned char *text, std::size_t left)
{
    const unsigned char c = text[0];
    std::size_t length;
    unsigned char low = 0x80, high = 0xbf;  // bounds of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3;
        if (c == 0xe0)
            low = 0xa0;
        else if (c == 0xed)
            high = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4;
        if (c == 0xf0)
            low = 0x90;
        else if (c == 0xf4)
            high = 0x8f;
    } else {
        return 0;
    }
    if (left < length || text[1] < low || text[1] > high)
        return 0;
    for (std::size_t i = 2; i < length; i++) {
        if (text[i] < 0x80 || text[i] > 0xbf)
            return 0;
    }
    return length;
}

}  // namespace

void json_write_string(FILE *out, const char *text, std::size_t length)
{
    const auto *at = reinterpret_cast<const unsigned char *>(text);
    std::size_t left = 0;
    while (left < length && at[left] != '\0')
        left++;
    fputc('"', out);
    while (left > 0) {
        const unsigned char c = *at;
        std::size_t used = 1;
        if (c == '"' || c == '\\') {
            fputc('\\', out);
            fputc(c, out);
        } else if (c == '\n') {
            fputs("\\n", out);
        } else if (c == '\r') {
            fputs("\\r", out);
        } else if (c == '\t') {
            fputs("\\t", out);
        } else if (c < 0x20 || c == 0x7f) {
            fprintf(out, "\\u%04x", c);
        } else if (c < 0x80) {
            fputc(c, out);
        } else if ((used = utf8_sequence(at, left)) != 0) {
            fwrite(at, 1, used, out);
        } else {
            used = 1;
            fputs("\\ufffd", out);
        }
        at += used;
        left -= used;
    }
    fputc('"', out);
}

void text_write_safe(FILE *out, const char *text, std::size_t length)
{
    const auto *at = reinterpret_cast<const unsigned char *>(text);
    std::size_t left = 0;
    while (left < length && at[left] != '\0')
        left++;
    while (left > 0) {
        const unsigned char c = *at;
        std::size_t used = 1;
        if (c < 0x20 || c == 0x7f) {
            fprintf(out, "\\x%02x", c);
        } else if (c < 0x80) {
            fputc(c, out);
        } else if ((used = utf8_sequence(at, left)) == 0) {
            used = 1;
            fputs("\xef\xbf\xbd", out);
        } else if (c == 0xc2 && at[1] < 0xa0) {
            fprintf(out, "\\u%04x", at[1]);  // U+0080 to U+009F: C1 controls
        } else {
            fwrite(at, 1, used, out);
        }
        at += used;
        left -= used;
    }
}

json_object::json_object(FILE *out) : out_(out), top_(true) { fputc('{', out_); }

json_object::json_object(json_object &parent, const char *name) : out_(parent.out_), top_(false)
{
    parent.key(name);
    fputc('{', out_);
}

json_object::~json_object()
{
    fputc('}', out_);
    if (top_)
        fputc('\n', out_);
}

void json_object::key(const char *name)
{
    if (!first_)
        fputc(',', out_);
    first_ = false;
    json_write_string(out_, name, SIZE_MAX);
    fputc(':', out_);
}

void json_object::string(const char *name, const char *text, std::size_t length)
{
    key(name);
    json_write_string(out_, text, length);
}

void json_object::text_or_null(const char *name, const char *field, std::size_t size)
{
    if (size == 0 || field[0] == '\0')
        null(name);
    else
        string(name, field, size);
}

void json_object::number(const char *name, long long value)
{
    key(name);
    fprintf(out_, "%lld", value);
}

void json_object::unsigned_number(const char *name, unsigned long long value)
{
    key(name);
    fprintf(out_, "%llu", value);
}

void json_object::decimal(const char *name, double value, int digits)
{
    key(name);
    fprintf(out_, "%.*f", digits, value);
}

void json_object::boolean(const char *name, bool value)
{
    key(name);
    fputs(value ? "true" : "false", out_);
}

void json_object::null(const char *name)
{
    key(name);
    fputs("null", out_);
}
