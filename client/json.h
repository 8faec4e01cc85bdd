// A small JSON writer for the client's --json output: one object at a time, written as
// it goes, with no allocation. Every string is escaped so that the output stays valid
// JSON whatever bytes the daemon sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Writes TEXT (at most LENGTH bytes, stopping at a NUL) as a quoted JSON string: quote,
// backslash and control characters escaped (\n, \t, ... or \u00XX), valid UTF-8 kept,
// every byte of an invalid sequence replaced by U+FFFD.
void json_write_string(FILE *out, const char *text, std::size_t length);

// Writes TEXT (at most LENGTH bytes, stopping at a NUL) for a terminal: printable text
// and valid UTF-8 as they are, control characters (C0, DEL and the C1 range, which
// terminals read as escape sequences) as \xHH or \u00HH, and each byte of an invalid
// sequence as U+FFFD. A text from the daemon (a mount point, a modem's answer) can then
// neither move the cursor nor retitle the window.
void text_write_safe(FILE *out, const char *text, std::size_t length);

// The object being written; members are separated and nested objects closed for you.
class json_object {
public:
    explicit json_object(FILE *out);  // opens the top-level object
    json_object(json_object &parent, const char *key);  // a member object of PARENT
    ~json_object();                   // closes it (and ends the line at the top level)
    json_object(const json_object &) = delete;
    json_object &operator=(const json_object &) = delete;

    void string(const char *key, const char *text, std::size_t length = SIZE_MAX);
    // A text field: null when it is empty, as the daemon leaves fields it did not fill.
    void text_or_null(const char *key, const char *field, std::size_t size);
    void number(const char *key, long long value);
    void unsigned_number(const char *key, unsigned long long value);
    void decimal(const char *key, double value, int digits);  // fixed number of decimals
    void boolean(const char *key, bool value);
    void null(const char *key);

private:
    void key(const char *name);
    FILE *out_;
    bool top_;
    bool first_ = true;
};
