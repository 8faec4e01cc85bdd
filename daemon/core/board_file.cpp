#include "board_file.h"

#include "board_root.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

line_read read_first_line(std::string_view path, char *line, std::size_t size)
{
    if (size == 0)
        return line_read::cannot_read;
    unique_fd fd(open(board_path(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return line_read::cannot_open;
    ssize_t n;
    do {
        n = read(fd.get(), line, size - 1);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return line_read::cannot_read;
    line[n] = '\0';
    line[std::strcspn(line, "\n")] = '\0';
    return line_read::ok;
}
