// The AT exchange and the whole query against the fake modem on a pseudo-terminal: the
// three end conditions, their cost, and two queries at once.
#include "ctl_modem.h"
#include "fake_modem_process.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using clock_type = std::chrono::steady_clock;

// The commands of one query, in the order they are asked.
const char *const query_commands[] = {"AT+CSQ", "AT+CREG?", "AT+COPS?", "AT+QCCID", "AT+CIMI",
                                      "AT+QENG=\"servingcell\"", "AT+QNWINFO"};

const char *const registered_modem = R"(echo on
AT+CSQ ok +CSQ: 24,99
AT+CREG? ok +CREG: 0,5
AT+COPS? ok +COPS: 0,0,"CHINA MOBILE",7
AT+QCCID ok +QCCID: 89860117851014783481
AT+CIMI ok 460011234567890
AT+QENG="servingcell" ok +QENG: "servingcell","CONNECT","LTE","FDD",460,00,5A3B10F,123,1300,0,5,5,1A2B,-95,-10,-65,12,40
AT+QNWINFO ok +QNWINFO: "FDD LTE","46000","LTE BAND 3",1300
)";

ModemInfoRecord registered_record()
{
    ModemInfoRecord r = modem_initial_record();
    r.status = 0;
    r.rssi = 24;
    r.reg_status = 5;
    r.access_tech = 7;
    std::strcpy(r.iccid, "89860117851014783481");
    std::strcpy(r.imsi, "460011234567890");
    std::strcpy(r.operator_name, "CHINA MOBILE");
    r.mcc = 460;
    r.mnc = 0;
    r.tac = 0x1a2b;
    r.cell_id = 0x5a3b10f;
    r.band = 3;  // the serving cell gave none, the network information did
    r.pci = 123;
    r.rsrp = -95;
    r.rsrq = -10;
    r.connected = 1;
    return r;
}

bool same(const ModemInfoRecord &a, const ModemInfoRecord &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class ModemTest : public testing::Test {
protected:
    void SetUp() override { setenv("TESMAR_GPIO_ROOT", board.root().c_str(), 1); }
    SimBoard board;
};

struct ExchangeCase {
    const char *name;
    const char *script;
    std::string answer;  // what the exchange collects
    int min_ms, max_ms;  // how long it takes
};

const ExchangeCase exchange_cases[] = {
    // A final result code ends the exchange at once: 200 ms after the command, not after
    // a second of silence.
    {"EndsAtOk", "AT+CSQ ok +CSQ: 18,99", "\r\n+CSQ: 18,99\r\n\r\nOK\r\n", 190, 900},
    {"EndsAtError", "AT+CSQ error", "\r\nERROR\r\n", 190, 900},
    {"EchoIsPartOfTheAnswer", "echo on\nAT+CSQ ok +CSQ: 18,99", "AT+CSQ\r\r\n+CSQ: 18,99\r\n\r\nOK\r\n", 190, 900},
    {"AnswerInPiecesIsJoined", "split 4 150\nAT+CSQ ok +CSQ: 18,99", "\r\n+CSQ: 18,99\r\n\r\nOK\r\n", 400, 1400},
    // Without a final result code the exchange waits out one second of silence.
    {"SilenceEndsAfterOneSecond", "AT+CSQ silent", "", 1150, 2000},
    {"NoFinalCodeEndsAfterSilence", "AT+CSQ raw \\r\\n+CSQ: 18,99\\r\\n", "\r\n+CSQ: 18,99\r\n", 1150, 2000},
    {"ErrorLookalikeIsNoResultCode", "AT+CSQ raw \\r\\n+CME ERROR: 10\\r\\n", "\r\n+CME ERROR: 10\r\n", 1150, 2000},
    // A chattering modem fills the buffer and no more.
    {"StreamStopsAtAFullBuffer", "AT+CSQ stream 700", std::string(), 190, 2000},
};

class ExchangeTest : public ModemTest, public testing::WithParamInterface<ExchangeCase> {};

TEST_P(ExchangeTest, CollectsUntilItsEndCondition)
{
    const ExchangeCase &c = GetParam();
    FakeModem modem(board, c.script);
    ASSERT_TRUE(modem.ready());
    int port = ctl_modem_open();
    ASSERT_GE(port, 0);
    char answer[MODEM_ANSWER_SIZE];
    auto start = clock_type::now();
    int length = ctl_at_command(port, "AT+CSQ", answer);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count();
    close(port);

    if (std::string_view(c.name) == "StreamStopsAtAFullBuffer") {
        EXPECT_EQ(length, 511);
        EXPECT_EQ(std::strlen(answer), 511u);
    } else {
        EXPECT_EQ(std::string(answer), c.answer);
        EXPECT_EQ(length, static_cast<int>(c.answer.size()));
    }
    EXPECT_GE(ms, c.min_ms);
    EXPECT_LE(ms, c.max_ms);
    EXPECT_EQ(modem.commands(), std::vector<std::string>{"AT+CSQ"});
}

INSTANTIATE_TEST_SUITE_P(Modems, ExchangeTest, testing::ValuesIn(exchange_cases),
                         [](const auto &param) { return std::string(param.param.name); });

TEST_F(ModemTest, StaleAnswerIsDiscardedBeforeTheNextCommand)
{
    // The first answer comes too late for its exchange; the next one must not read it.
    FakeModem modem(board, "AT+CREG? ok +CREG: 0,1\nsplit 2 1500\nAT+CSQ ok +CSQ: 18,99");
    ASSERT_TRUE(modem.ready());
    int port = ctl_modem_open();
    ASSERT_GE(port, 0);
    char answer[MODEM_ANSWER_SIZE];
    ctl_at_command(port, "AT+CSQ", answer);
    std::this_thread::sleep_for(700ms);  // the rest of the late answer arrives meanwhile
    ctl_at_command(port, "AT+CREG?", answer);
    close(port);
    EXPECT_EQ(std::string(answer), "\r\n+CREG: 0,1\r\n\r\nOK\r\n");
}

TEST_F(ModemTest, PortThatIsNoTerminalNeverHangsTheQuery)
{
    // A pipe ignores the terminal's read timeout; the query must still end.
    ASSERT_EQ(mkfifo(board.path("/dev/ttyUSB2").c_str(), 0600), 0);
    ModemInfoRecord record;
    auto start = clock_type::now();
    ctl_query_modem(record);
    EXPECT_LT(clock_type::now() - start, 15s);
    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(record.rssi, 99);
}

TEST_F(ModemTest, QueryOfARegisteredModem)
{
    FakeModem modem(board, registered_modem);
    ASSERT_TRUE(modem.ready());
    ModemInfoRecord record;
    ctl_query_modem(record);
    EXPECT_TRUE(same(record, registered_record()));
    EXPECT_EQ(modem.commands(), std::vector<std::string>(std::begin(query_commands), std::end(query_commands)));
}

TEST_F(ModemTest, ModemThatRefusesEverythingKeepsInitialValues)
{
    // Every command gets ERROR (none is in the script).
    FakeModem modem(board, "echo on\n");
    ASSERT_TRUE(modem.ready());
    ModemInfoRecord record;
    auto start = clock_type::now();
    ctl_query_modem(record);
    ModemInfoRecord expected = modem_initial_record();
    expected.status = 0;
    EXPECT_TRUE(same(record, expected));
    EXPECT_LT(clock_type::now() - start, 4s);
    EXPECT_EQ(modem.commands().size(), 7u);
}

TEST_F(ModemTest, NoPortGivesTheInitialRecord)
{
    ModemInfoRecord record;
    record.status = 0;
    ctl_query_modem(record);
    EXPECT_TRUE(same(record, modem_initial_record()));
}

// At stop, neither the query at the port nor those queued behind it may keep the daemon
// waiting for a silent modem: each gives up at its next command with status 1.
TEST_F(ModemTest, StopEndsTheQueryAtThePortAndThoseWaitingForIt)
{
    FakeModem modem(board, "echo on\nAT+CSQ silent\nAT+CREG? silent\nAT+COPS? silent\n");
    ASSERT_TRUE(modem.ready());
    ModemInfoRecord records[3];
    std::vector<std::thread> queries;
    for (ModemInfoRecord &record : records)
        queries.emplace_back([&record] { ctl_query_modem(record); });
    ASSERT_TRUE(wait_until([&] { return !modem.commands().empty(); }));
    auto stop = clock_type::now();
    ctl_modem_stop();
    for (std::thread &query : queries)
        query.join();
    EXPECT_LT(clock_type::now() - stop, 5s);  // not the 8.5 s of each queued query
    for (const ModemInfoRecord &record : records)
        EXPECT_EQ(record.status, 1);
    EXPECT_EQ(modem.commands().size(), 1u);
}

// A port whose output is stopped takes no command: the write gives up at its deadline,
// the port still closes, and the stop ends a query held by such writes at once.
TEST_F(ModemTest, StoppedOutputEndsTheWriteAtItsDeadlineAndAtStop)
{
    FakeModem modem(board, registered_modem);
    ASSERT_TRUE(modem.ready());
    ASSERT_TRUE(modem.stop_output());
    int port = ctl_modem_open();
    ASSERT_GE(port, 0);
    char answer[MODEM_ANSWER_SIZE];
    auto start = clock_type::now();
    EXPECT_EQ(ctl_at_command(port, "AT+CSQ", answer), -1);
    EXPECT_GE(clock_type::now() - start, 900ms);
    EXPECT_LT(clock_type::now() - start, 3s);
    close(port);

    ModemInfoRecord record;
    std::thread query([&record] { ctl_query_modem(record); });
    std::this_thread::sleep_for(300ms);  // into the first command's write
    auto stop = clock_type::now();
    ctl_modem_stop();
    query.join();
    EXPECT_LT(clock_type::now() - stop, 1s);
    EXPECT_EQ(record.status, 1);
    EXPECT_TRUE(modem.commands().empty());
}

TEST_F(ModemTest, TwoQueriesAtOnceEachGetTheWholeRecord)
{
    // Answers in pieces keep each exchange open long enough for the two to meet.
    FakeModem modem(board, std::string("split 2 60\n") + registered_modem);
    ASSERT_TRUE(modem.ready());
    ModemInfoRecord first, second;
    std::thread other([&] { ctl_query_modem(second); });
    ctl_query_modem(first);
    other.join();
    EXPECT_TRUE(same(first, registered_record()));
    EXPECT_TRUE(same(second, registered_record()));
    // One query after the other, never interleaved.
    std::vector<std::string> expected(std::begin(query_commands), std::end(query_commands));
    expected.insert(expected.end(), std::begin(query_commands), std::end(query_commands));
    EXPECT_EQ(modem.commands(), expected);
}

}  // namespace
