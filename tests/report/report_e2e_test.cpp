// The shipped daemon and client on a simulated board: the system report over real
// interfaces in a private network, and the modem report with two clients at once.
#include "ctl_test_peer.h"
#include "fake_modem_process.h"
#include "private_net.h"

#include <gtest/gtest.h>

#include <future>

namespace {

bool daemon_ready(const SimBoard &board) { return file_exists(board.path(CTL_SOCKET_PATH)); }

RunResult client(const SimBoard &board, std::vector<std::string> args)
{
    args.insert(args.begin(), client_binary());
    return run_program(args, board.env(), 30s);
}

// "ip ARGS" in this test's network; false when it fails.
bool ip(const std::string &args, std::string &why)
{
    RunResult run = run_program({"/bin/sh", "-c", "ip " + args}, {});
    if (run.status != 0)
        why = "ip " + args + ": " + run.err;
    return run.status == 0;
}

TEST(ReportEndToEnd, SysinfoShowsTheInterfacesAndTheDefaultRoute)
{
    std::string why;
    if (!enter_private_network(why))
        GTEST_SKIP() << why;
    const std::pair<const char *, const char *> interfaces[] = {
        {"end1", "192.168.1.10/24"}, {"end2", "10.0.0.5/16"}, {"wlan0", "192.168.4.1/24"}, {"wwu1u2i4", nullptr}};
    int n = 0;
    for (auto [name, address] : interfaces) {
        std::string temporary = "ifb" + std::to_string(n++);
        if (!ip("link add " + temporary + " type ifb", why))
            GTEST_SKIP() << "no ifb interfaces here: " << why;
        ASSERT_TRUE(ip("link set " + temporary + " name " + name, why)) << why;
        if (address != nullptr) {
            ASSERT_TRUE(ip(std::string("addr add ") + address + " dev " + name, why)) << why;
        }
        ASSERT_TRUE(ip(std::string("link set ") + name + " up", why)) << why;
    }
    // The 4G interface has only an IPv6 address, where the kernel allows one.
    ip("-6 addr add 2001:db8::5/64 dev wwu1u2i4", why);
    ASSERT_TRUE(ip("route add default via 192.168.1.1 dev end1", why)) << why;

    SimBoard board;
    DaemonProcess daemon(board);
    ASSERT_TRUE(wait_until([&] { return daemon_ready(board); }, 10s)) << daemon.err();

    RunResult sysinfo = client(board, {"sysinfo"});
    EXPECT_EQ(sysinfo.status, 0) << sysinfo.err;
    for (const char *line : {"  end1:  192.168.1.10/24", "  end2:  10.0.0.5/16", "  wlan0: 192.168.4.1/24",
                             "Default Route: end1", "Battery:     87%", "CPU Temp:    47.8°C"})
        EXPECT_EQ(count_lines(sysinfo.out, line), 1) << line << "\n" << sysinfo.out;
    EXPECT_EQ(sysinfo.out.find("wwan:"), std::string::npos) << sysinfo.out;

    // On the wire: the address and mask of end1 in network byte order.
    ctl_peer peer(board.path(CTL_SOCKET_PATH));
    ASSERT_TRUE(peer.send(request_bytes(CMD_SYSINFO)));
    bytes record = peer.receive_exactly(sizeof(SysInfoRecord));
    ASSERT_EQ(record.size(), sizeof(SysInfoRecord));
    EXPECT_EQ(bytes(record.begin() + 56, record.begin() + 64), (bytes{192, 168, 1, 10, 255, 255, 255, 0}));
    EXPECT_EQ(bytes(record.begin() + 80, record.begin() + 88), bytes(8, 0));
    EXPECT_EQ(record[88], ROUTE_END1);

    RunResult status = client(board, {"status"});
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(count_lines(status.out, "  Net:    end1=192.168.1.10 end2=10.0.0.5 wlan0=192.168.4.1"), 1) << status.out;
    EXPECT_EQ(count_lines(status.out, "  Route: end1"), 1) << status.out;
}

class ModemEndToEnd : public testing::Test {
protected:
    SimBoard board;
};

TEST_F(ModemEndToEnd, TwoClientsAtOnceBothSeeTheModem)
{
    FakeModem modem(board, "echo on\nsplit 2 40\n"
                           "AT+CSQ ok +CSQ: 20,0\n"
                           "AT+CREG? ok +CREG: 0,1\n"
                           "AT+COPS? ok +COPS: 0,0,\"Telekom.de\",7\n"
                           "AT+QCCID ok +QCCID: 8949022123456789012F\n"
                           "AT+CIMI ok 262011234567890\n"
                           "AT+QENG=\"servingcell\" ok +QENG: \"servingcell\",\"NOCONN\",\"LTE\",\"FDD\",262,01,"
                           "1C2D3E4,7,6300,20,5,5,D2F,-101,-12,-70,9,30\n"
                           "AT+QNWINFO ok +QNWINFO: \"FDD LTE\",\"26201\",\"LTE BAND 20\",6300\n");
    ASSERT_TRUE(modem.ready());
    DaemonProcess daemon(board);
    ASSERT_TRUE(wait_until([&] { return daemon_ready(board); }, 10s)) << daemon.err();

    auto first = std::async(std::launch::async, [&] { return client(board, {"4g", "info"}); });
    auto second = std::async(std::launch::async, [&] { return client(board, {"4g", "info"}); });
    const char *expected = "=== 4G Modem Info ===\n"
                           "ICCID:       8949022123456789012F\n"
                           "IMSI:        262011234567890\n"
                           "Operator:    Telekom.de (MCC=262 MNC=1)\n"
                           "Network:     LTE Band 20\n"
                           "Status:      registered (home), connected\n"
                           "Signal:      RSSI=20 (-73 dBm) BER=0\n"
                           "Cell:        PCI=7 CellID=29545444 TAC=3375\n"
                           "RSRP:        -101 dBm\n"
                           "RSRQ:        -12 dB\n";
    for (RunResult run : {first.get(), second.get()}) {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, expected);
    }
}

TEST_F(ModemEndToEnd, WithoutModemTheReportSaysSo)
{
    DaemonProcess daemon(board);
    ASSERT_TRUE(wait_until([&] { return daemon_ready(board); }, 10s)) << daemon.err();
    RunResult run = client(board, {"4g", "info"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "4G Modem: not available\n");

    RunResult battery = client(board, {"battery"});
    EXPECT_EQ(battery.out, "Battery: 87%\n");
}

}  // namespace
