// A stand-in for the board's 4G modem AT port: a pseudo-terminal linked at
// ROOT/dev/ttyUSB2 that answers AT commands as a script says.
//
//   fake_modem ROOT
//
// The script, ROOT/sim/fake_modem.script, is read again for every command, so a test or a
// person can change the modem's answers while it runs. Its lines:
//
//   echo on|off            echo each command before answering (as ATE1 does)
//   split N MS             answers after this line go out in N pieces, MS ms apart
//   COMMAND ok TEXT        "\r\n" TEXT "\r\n\r\nOK\r\n"
//   COMMAND error          "\r\nERROR\r\n"
//   COMMAND raw TEXT       TEXT exactly
//   COMMAND silent         no answer at all
//   COMMAND stream N       N characters of chatter and never a final result code
//
// TEXT may use \r, \n, \t, \" and \\. Commands the script does not list get ERROR. Every
// command received is appended to ROOT/sim/fake_modem.log. It runs until SIGTERM or SIGINT
// (scripts/sim-daemon has the board supervisor send it when the daemon ends) or until the
// board is removed; it removes its link.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

volatile sig_atomic_t stopping = 0;

void on_signal(int) { stopping = 1; }

std::string unescape(const std::string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
    return out;
}

struct answer {
    bool echo = false;
    bool silent = false;
    std::string text = "\r\nERROR\r\n";
    int pieces = 1;
    int gap_ms = 0;
};

// What the script says to COMMAND.
answer answer_for(const std::string &script_path, const std::string &command)
{
    answer result;
    bool echo = false;
    int pieces = 1, gap_ms = 0;
    std::ifstream script(script_path);
    std::string line;
    while (std::getline(script, line)) {
        std::istringstream words(line);
        std::string first, action;
        words >> first;
        if (first.empty() || first[0] == '#')
            continue;
        if (first == "echo") {
            words >> action;
            echo = action == "on";
            continue;
        }
        if (first == "split") {
            words >> pieces >> gap_ms;
            pieces = std::max(pieces, 1);
            continue;
        }
        if (first != command)
            continue;
        words >> action;
        std::string rest;
        std::getline(words >> std::ws, rest);
        result.pieces = pieces;
        result.gap_ms = gap_ms;
        if (action == "ok")
            result.text = "\r\n" + unescape(rest) + "\r\n\r\nOK\r\n";
        else if (action == "raw")
            result.text = unescape(rest);
        else if (action == "silent")
            result.silent = true;
        else if (action == "stream") {
            int length = std::atoi(rest.c_str());
            result.text.clear();
            for (int i = 0; i < length; i++)
                result.text += "+QIND: chatter\r\n"[i % 16];
        } else
            result.text = "\r\nERROR\r\n";
    }
    result.echo = echo;
    return result;
}

void write_all(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

void respond(int master, const answer &a, const std::string &command)
{
    if (a.echo)
        write_all(master, command + "\r");
    if (a.silent)
        return;
    std::size_t size = a.text.size();
    std::size_t piece = (size + a.pieces - 1) / a.pieces;
    for (std::size_t at = 0; at < size && !stopping; at += piece) {
        if (at > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(a.gap_ms));
        write_all(master, a.text.substr(at, piece));
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s ROOT\n", argv[0]);
        return 2;
    }
    std::string root = argv[1];
    std::string link = root + "/dev/ttyUSB2";
    std::string script = root + "/sim/fake_modem.script";
    std::string log_path = root + "/sim/fake_modem.log";

    // One modem per board.
    int lock = open((root + "/sim/fake_modem.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
        fprintf(stderr, "fake_modem: a modem already runs on %s\n", root.c_str());
        return 0;
    }

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("fake_modem: pseudo-terminal");
        return 1;
    }
    std::string terminal = ptsname(master);
    // Held open so the port never hangs up between the daemon's queries.
    int slave = open(terminal.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tty{};
    tcgetattr(slave, &tty);
    cfmakeraw(&tty);
    // As a freshly plugged-in USB serial port: carriage returns arrive as newlines unless
    // the program that opens the port says otherwise.
    tty.c_iflag |= ICRNL;
    tcsetattr(slave, TCSANOW, &tty);

    std::string temporary = link + ".new";
    unlink(temporary.c_str());
    if (symlink(terminal.c_str(), temporary.c_str()) != 0 || rename(temporary.c_str(), link.c_str()) != 0) {
        perror("fake_modem: link");
        return 1;
    }

    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string pending;
    while (!stopping) {
        pollfd p{master, POLLIN, 0};
        int ready = poll(&p, 1, 1000);
        if (access(root.c_str(), F_OK) != 0)
            break;  // the board is gone
        if (ready <= 0 || (p.revents & POLLIN) == 0)
            continue;
        char chunk[256];
        ssize_t n = read(master, chunk, sizeof chunk);
        if (n <= 0)
            continue;
        pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\r')) != std::string::npos) {
            std::string command = pending.substr(0, end);
            pending.erase(0, end + 1);
            command.erase(std::remove(command.begin(), command.end(), '\n'), command.end());
            if (command.size() < 2 || (command.compare(0, 2, "AT") != 0 && command.compare(0, 2, "at") != 0))
                continue;
            if (FILE *log = fopen(log_path.c_str(), "ae")) {
                fprintf(log, "%s\n", command.c_str());
                fclose(log);
            }
            respond(master, answer_for(script, command), command);
        }
    }

    // Only our own link goes: a newer modem may have replaced it.
    char target[256];
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length > 0 && std::string(target, static_cast<std::size_t>(length)) == terminal)
        unlink(link.c_str());
    close(slave);
    close(master);
    return 0;
}
