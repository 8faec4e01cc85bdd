#include "ctl_modem.h"
#include "config.h"

#include "board_root.h"
#include "unique_fd.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

using namespace std::chrono_literals;

namespace {

// One query at a time owns the port: two would steal each other's answers. The port is
// claimed under modem_lock rather than by holding it, so a query waiting for its turn
// can give up when the daemon stops.
std::mutex modem_lock;
std::condition_variable port_released;
bool port_claimed = false;

// Set by the stop: a silent modem costs over a second per command, and every client
// queued for the port would otherwise add a whole query to the daemon's stop.
std::atomic<int> modem_closing{0};

// The port for one query, or nothing when the daemon stopped while it waited.
class port_claim {
public:
    port_claim()
    {
        std::unique_lock lock(modem_lock);
        port_released.wait(lock, [] { return !port_claimed || modem_closing.load() != 0; });
        held_ = modem_closing.load() == 0;
        if (held_)
            port_claimed = true;
    }
    ~port_claim()
    {
        if (!held_)
            return;
        {
            std::lock_guard lock(modem_lock);
            port_claimed = false;
        }
        port_released.notify_one();
    }
    port_claim(const port_claim &) = delete;
    port_claim &operator=(const port_claim &) = delete;
    bool held() const { return held_; }

private:
    bool held_ = false;
};

// The modem needs this long after a command before its answer is worth reading.
constexpr auto ANSWER_DELAY = 200ms;
// Pause between reads of an answer that is still coming.
constexpr auto READ_PAUSE = 50ms;
// An answer is over after this long without a byte.
constexpr auto SILENCE = 1000ms;
// A command line is a few dozen bytes, gone in milliseconds; a port that takes longer has
// its output stopped (flow control) and may never take it.
constexpr auto WRITE_DEADLINE = 1000ms;
// How soon a wait on the port notices the stop.
constexpr auto STOP_CHECK = 100ms;

using port_clock = std::chrono::steady_clock;

// Waits until PORT reports one of EVENTS (or an error, which the next read or write then
// meets), for at most until UNTIL. False at the deadline and at stop.
bool wait_port(int port, short events, port_clock::time_point until)
{
    while (modem_closing.load() == 0) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(until - port_clock::now());
        if (left <= 0ms)
            return false;
        pollfd ready{port, events, 0};
        int n = poll(&ready, 1, static_cast<int>(std::min(left, std::chrono::milliseconds(STOP_CHECK)).count()));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
    return false;
}

// Writes all of LINE to the non-blocking PORT before its deadline; false when it could
// not, or when the daemon stops meanwhile.
bool write_line(int port, std::string_view line)
{
    auto until = port_clock::now() + WRITE_DEADLINE;
    while (!line.empty()) {
        ssize_t n = write(port, line.data(), line.size());
        if (n > 0) {
            line.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (!wait_port(port, POLLOUT, until))
            return false;
    }
    return true;
}

// The answer text from the first PREFIX on, or nullptr.
const char *find(const char *answer, const char *prefix) { return std::strstr(answer, prefix); }

// Copies TEXT into a text field of SIZE bytes, cut to SIZE - 1 characters and zero-padded.
template <std::size_t Size>
void set_text(char (&field)[Size], const char *text)
{
    std::memset(field, 0, Size);
    std::memcpy(field, text, strnlen(text, Size - 1));
}

}  // namespace

ModemInfoRecord modem_initial_record()
{
    ModemInfoRecord record{};
    record.status = 1;
    record.rssi = MODEM_NO_VALUE;
    record.ber = MODEM_NO_VALUE;
    return record;
}

void modem_parse_csq(const char *answer, ModemInfoRecord &record)
{
    const char *at = find(answer, "+CSQ:");
    int rssi = 0, ber = 0;
    int n = at != nullptr ? std::sscanf(at, "+CSQ: %d,%d", &rssi, &ber) : 0;
    if (n >= 1)
        record.rssi = static_cast<std::uint8_t>(rssi);
    if (n >= 2)
        record.ber = static_cast<std::uint8_t>(ber);
}

void modem_parse_creg(const char *answer, ModemInfoRecord &record)
{
    const char *at = find(answer, "+CREG:");
    int mode = 0, state = 0;
    if (at != nullptr && std::sscanf(at, "+CREG: %d,%d", &mode, &state) == 2)
        record.reg_status = static_cast<std::uint8_t>(state);
}

void modem_parse_cops(const char *answer, ModemInfoRecord &record)
{
    const char *at = find(answer, "+COPS:");
    char name[32] = {};
    int access_tech = 0;
    int n = at != nullptr ? std::sscanf(at, "+COPS: %*d,%*d,\"%31[^\"]\",%d", name, &access_tech) : 0;
    if (n >= 1)
        set_text(record.operator_name, name);
    if (n >= 2)
        record.access_tech = static_cast<std::uint8_t>(access_tech);
}

void modem_parse_qccid(const char *answer, ModemInfoRecord &record)
{
    const char *at = find(answer, "+QCCID:");
    char iccid[sizeof record.iccid] = {};
    if (at != nullptr && std::sscanf(at, "+QCCID: %23s", iccid) == 1)
        set_text(record.iccid, iccid);
}

void modem_parse_cimi(const char *answer, ModemInfoRecord &record)
{
    // This answer has no prefix to look for: the digits of "+CME ERROR: 10" are no IMSI.
    if (std::strstr(answer, "ERROR") != nullptr)
        return;
    const char *digits = std::strpbrk(answer, "0123456789");
    if (digits == nullptr)
        return;
    std::size_t length = std::min(std::strspn(digits, "0123456789"), sizeof record.imsi - 1);
    std::memset(record.imsi, 0, sizeof record.imsi);
    std::memcpy(record.imsi, digits, length);
}

void modem_parse_qeng(const char *answer, ModemInfoRecord &record)
{
    const char *at = find(answer, "+QENG:");
    if (at == nullptr)
        return;
    char state[16] = {}, network[16] = {}, duplex[16] = {};
    int mcc = 0, mnc = 0, band = 0, rsrp = 0, rsrq = 0;
    unsigned cell_id = 0, pci = 0, tac = 0;
    // The tracking area code is read where the channel and bandwidths are skipped.
    int n = std::sscanf(at,
                        "+QENG: \"servingcell\",\"%15[^\"]\",\"%15[^\"]\",\"%15[^\"]\",%d,%d,%x,%u,%*d,%d,%*d,%*d,%x,"
                        "%d,%d",
                        state, network, duplex, &mcc, &mnc, &cell_id, &pci, &band, &tac, &rsrp, &rsrq);
    if (n <= 4)
        return;
    record.mcc = static_cast<std::uint16_t>(mcc);
    record.mnc = static_cast<std::uint8_t>(mnc);
    record.connected = std::strstr(state, "CONN") != nullptr ? 1 : 0;
    if (n >= 6)
        record.cell_id = cell_id;
    if (n >= 7)
        record.pci = static_cast<std::uint16_t>(pci);
    if (n >= 8)
        record.band = static_cast<std::uint8_t>(band);
    if (n >= 9)
        record.tac = static_cast<std::uint16_t>(tac);
    if (n >= 10)
        record.rsrp = static_cast<std::int16_t>(rsrp);
    if (n >= 11)
        record.rsrq = static_cast<std::int16_t>(rsrq);
}

void modem_parse_qnwinfo(const char *answer, ModemInfoRecord &record)
{
    const char *at = find(answer, "+QNWINFO:");
    char access[16] = {}, operator_code[8] = {}, band_text[16] = {};
    int channel = 0;
    if (at == nullptr || std::sscanf(at, "+QNWINFO: \"%15[^\"]\",\"%7[^\"]\",\"%15[^\"]\",%d", access, operator_code,
                                     band_text, &channel) != 4)
        return;
    // The serving-cell band wins; this one only fills a band that is still unknown.
    const char *band = std::strstr(band_text, "BAND ");
    int number = 0;
    if (record.band == 0 && band != nullptr && std::sscanf(band + 5, "%d", &number) == 1)
        record.band = static_cast<std::uint8_t>(number);
}

int ctl_modem_open()
{
    unique_fd port(open(board_path(config().modem_port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!port)
        return -1;
    termios tty{};
    tcgetattr(port.get(), &tty);
    cfsetispeed(&tty, B115200);
    cfsetospeed(&tty, B115200);
    tty.c_cflag &= ~(CSIZE | CSTOPB | PARENB);
    tty.c_cflag |= CS8 | CREAD | CLOCAL;
    // Besides flow control, no translation of what arrives: a port left with ICRNL (the
    // tty default) would turn every "\r\nOK\r\n" into "\n\nOK\n\n", and each exchange would
    // wait out the silence instead of ending at its result code.
    tty.c_iflag &= ~(IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP);
    tty.c_lflag &= ~(ICANON | ECHO | ISIG);
    tty.c_cc[VMIN] = 0;
    tty.c_cc[VTIME] = 10;  // a read gives up after 1 s without bytes
    tcsetattr(port.get(), TCSANOW, &tty);
    // The port stays non-blocking: a write to a port whose output is stopped would
    // otherwise never return, and neither its deadline nor the stop could end it. Every
    // read and write waits in poll instead.
    return port.release();
}

int ctl_at_command(int port, const char *command, char (&answer)[MODEM_ANSWER_SIZE])
{
    constexpr std::size_t capacity = MODEM_ANSWER_SIZE - 1;
    answer[0] = '\0';
    tcflush(port, TCIFLUSH);
    if (!write_line(port, std::string(command) + "\r")) {
        // What did not go out must not reach the modem later as half a command.
        tcflush(port, TCOFLUSH);
        return -1;
    }
    std::this_thread::sleep_for(ANSWER_DELAY);

    std::size_t collected = 0;
    // A second of silence ends the answer, on a terminal or not (a pipe has no read
    // timeout of its own); a port that keeps waking poll with nothing to read ends there too.
    auto quiet_until = port_clock::now() + SILENCE;
    while (collected < capacity) {
        if (!wait_port(port, POLLIN, quiet_until))
            break;
        ssize_t got = read(port, answer + collected, capacity - collected);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got <= 0)
            break;
        collected += static_cast<std::size_t>(got);
        answer[collected] = '\0';
        if (std::strstr(answer, "\r\nOK\r\n") != nullptr || std::strstr(answer, "\r\nERROR\r\n") != nullptr)
            break;
        std::this_thread::sleep_for(READ_PAUSE);
        quiet_until = port_clock::now() + SILENCE;
    }
    answer[collected] = '\0';
    return static_cast<int>(collected);
}

void ctl_query_modem(ModemInfoRecord &record)
{
    record = modem_initial_record();
    port_claim claim;
    if (!claim.held())
        return;
    unique_fd port(ctl_modem_open());
    if (!port)
        return;

    using parser = void (*)(const char *, ModemInfoRecord &);
    static constexpr struct {
        const char *command;
        parser parse;
    } steps[] = {
        {"AT+CSQ", modem_parse_csq},     {"AT+CREG?", modem_parse_creg},
        {"AT+COPS?", modem_parse_cops},  {"AT+QCCID", modem_parse_qccid},
        {"AT+CIMI", modem_parse_cimi},   {"AT+QENG=\"servingcell\"", modem_parse_qeng},
        {"AT+QNWINFO", modem_parse_qnwinfo},
    };
    // Whatever is still queued goes with the port: closing a terminal would otherwise wait
    // for stopped output to drain.
    struct discard_queues {
        int port;
        ~discard_queues() { tcflush(port, TCIOFLUSH); }
    } discard{port.get()};

    char answer[MODEM_ANSWER_SIZE];
    for (const auto &step : steps) {
        if (modem_closing.load() != 0)
            return;  // an unfinished query is reported as failed
        if (ctl_at_command(port.get(), step.command, answer) > 0)
            step.parse(answer, record);
    }
    record.status = 0;
}

void ctl_modem_stop()
{
    {
        std::lock_guard lock(modem_lock);
        modem_closing.store(1);
    }
    port_released.notify_all();
}
