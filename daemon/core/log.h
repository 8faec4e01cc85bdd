#pragma once

// The daemon's log. Every line reaches its destination whole, in one write, whatever the
// other threads print, and carries a syslog priority (LOG_ERR, LOG_WARNING, LOG_INFO, ...)
// chosen by its call site. Where a line goes:
//  - on a console (a terminal, a pipe, a file): the text as it stands, to standard output
//    (log_out) or standard error (log_err);
//  - under systemd, when the stream is the journal: the same text behind a "<N>" priority
//    prefix, so the journal files it under its level;
//  - once the daemon has detached: to syslog with its priority (standard output and error
//    are /dev/null then).
// A format may end in "\n" or not; each call is exactly one line.

#include <syslog.h>

enum log_target {
    LOG_TARGET_CONSOLE,
    LOG_TARGET_JOURNAL,
    LOG_TARGET_SYSLOG,
};

// Picks the console or the journal from the environment systemd leaves (JOURNAL_STREAM
// naming the very stream the daemon writes to). Call once, early, on the main thread.
void log_init();
// After detaching: every line goes to syslog (openlog must have been called).
void log_use_syslog();
enum log_target log_current_target();

__attribute__((format(printf, 2, 3))) void log_out(int priority, const char *format, ...);
__attribute__((format(printf, 2, 3))) void log_err(int priority, const char *format, ...);

// A line that belongs in the system log even on a console (the SD card eject lines): on a
// console it goes to syslog and to the console, under the journal or detached once only.
__attribute__((format(printf, 2, 3))) void log_syslog_too(int priority, const char *format, ...);

// Formats one whole line (the priority prefix when TARGET is the journal, the text, one
// final newline) into BUF of SIZE bytes; returns its length. A text too long for BUF is cut
// and still ends in a newline. Pure, for the tests.
int log_format_line(char *buf, int size, enum log_target target, int priority, const char *text);
