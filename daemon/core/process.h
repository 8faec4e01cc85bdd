// Running outside programs.
//
// Every child starts with default signal dispositions, an empty signal mask and no
// descriptor but 0, 1 and 2, whatever the daemon has installed or opened. Nothing here
// touches the daemon's own signal handling: system() would ignore SIGINT and SIGQUIT in
// the whole process while a command runs, and a stop request would be lost.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

// Runs COMMAND with "/bin/sh -c" and waits for it. Returns its wait status as system()
// does (0 when it exited 0), or -1 when it could not be started.
int run_command(const std::string &command);

// Runs COMMAND with "/bin/sh -c" and collects its standard output into OUTPUT, keeping at
// most MAX_BYTES (the rest is read and dropped, so the child never blocks on a full
// pipe). Returns the wait status, or -1 when it could not be started.
int read_command(const std::string &command, std::string &output, std::size_t max_bytes = 64 * 1024);

// Starts the program at PATH with ARGV (null-terminated) without a shell and without
// waiting. Standard output and standard error go to OUTPUT_FD when it is 0 or more;
// standard input stays as the daemon's. Returns the child's pid, or -1 with errno set
// when it could not be forked; a program that cannot be executed ends with status 127.
pid_t spawn_program(const char *path, char *const argv[], int output_fd);

// WORD as one single-quoted shell word: nothing in it (quotes, '$', '\', newlines) can
// change the command it is put into.
std::string shell_quote(std::string_view word);
