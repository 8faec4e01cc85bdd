// The client run in-process on a fresh board, against a scripted daemon.
#pragma once

#include "fake_ctl_server.h"
#include "gpioctl.h"
#include "sim_board.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// Runs "gpioctl ARGS..." and returns its exit status as the shell would see it.
inline Outcome run_client(const std::vector<std::string> &args)
{
    std::vector<std::string> words = {"gpioctl"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = gpioctl_main(static_cast<int>(words.size()), argv.data()) & 0xff;
    std::string out = testing::internal::GetCapturedStdout();
    return {status, out, testing::internal::GetCapturedStderr()};
}

inline bytes ok(std::initializer_list<std::uint8_t> data = {}) { return reply_bytes(STATUS_OK, data); }

// The bytes of a record as they go on the wire.
template <typename Record>
bytes record_bytes(const Record &record)
{
    const auto *begin = reinterpret_cast<const std::uint8_t *>(&record);
    return bytes(begin, begin + sizeof record);
}

class ClientTest : public testing::Test {
protected:
    void SetUp() override { setenv("TESMAR_GPIO_ROOT", board.root().c_str(), 1); }
    std::string socket_path() const { return board.path(CTL_SOCKET_PATH); }
    SimBoard board;
};
