// A simulated board whose paths and stand-ins this test process uses, as the daemon
// would on it.
#pragma once

#include "sdcard_board.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>

class StorageBoardTest : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TESMAR_GPIO_ROOT", board.root().c_str(), 1);
        setenv("PATH", board.env().at("PATH").c_str(), 1);
    }

    void set_mounts(const std::string &table) { write_file(board.path("/proc/mounts"), table); }
    std::string mounts() const { return read_file(board.path("/proc/mounts")); }
    // The arguments of every call of stand-in NAME, one line each.
    std::vector<std::string> calls(const std::string &name) const
    {
        return lines_of(read_file(board.path("/sim/bin/" + name + ".log")));
    }

    SimBoard board;
};
