// The fake modem of the simulated board, run for one test: started on a board root with
// the script the test chose, stopped (and its link gone) when the object goes.
#pragma once

#include "sim_board.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

class FakeModem {
public:
    FakeModem(const SimBoard &board, const std::string &script) : board_(board)
    {
        write_script(script);
        std::string program = TESMAR_FAKE_MODEM;
        std::string root = board.root();
        char *argv[] = {program.data(), root.data(), nullptr};
        if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0)
            pid_ = -1;
        ready_ = pid_ > 0 && wait_until([&] { return access(board.path("/dev/ttyUSB2").c_str(), F_OK) == 0; });
    }
    ~FakeModem()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        int status;
        waitpid(pid_, &status, 0);
    }
    FakeModem(const FakeModem &) = delete;
    FakeModem &operator=(const FakeModem &) = delete;

    bool ready() const { return ready_; }
    // The modem reads its script again for every command.
    void write_script(const std::string &script) const { write_file(board_.path("/sim/fake_modem.script"), script); }
    // Stops the port's output, as a modem holding its flow control does: whatever the
    // daemon writes stays queued, and once the queue is full a blocking write waits for ever.
    bool stop_output() const
    {
        int port = open(board_.path("/dev/ttyUSB2").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        bool stopped = port >= 0 && tcflow(port, TCOOFF) == 0;
        if (port >= 0)
            close(port);
        return stopped;
    }
    // Every command it received, one a line.
    std::vector<std::string> commands() const { return lines_of(read_file(board_.path("/sim/fake_modem.log"))); }

private:
    const SimBoard &board_;
    pid_t pid_ = -1;
    bool ready_ = false;
};
