// A simulated board with the line manager up, shared by the hardware module tests.
#pragma once

#include "gpio.h"
#include "sim_board.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <thread>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// Chip number and offset of the lines the modules drive or read.
struct board_line {
    int chip;
    unsigned offset;
};
inline constexpr board_line beep_line{1, 11};
inline constexpr board_line vout12v_line{6, 13};
inline constexpr board_line input_lines[GPIO_INPUT_COUNT] = {{1, 9}, {6, 11}, {6, 12}, {8, 10}};

class HwBoardTest : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TESMAR_GPIO_ROOT", board.root().c_str(), 1);
        CaptureStdout();
        int failed = (gpio_init() < 0) + (gpio_init_outputs() < 0) + (gpio_init_inputs() < 0);
        GetCapturedStdout();
        ASSERT_EQ(failed, 0);
    }
    void TearDown() override { gpio_cleanup(); }

    int level(board_line line) const { return board.level(line.chip, line.offset); }
    void set_level(board_line line, int value) { board.set_level(line.chip, line.offset, value); }
    std::string line_file(board_line line, const char *suffix) const
    {
        return board.line_file(line.chip, line.offset, suffix);
    }

    SimBoard board;
};

// CLOCK_MONOTONIC, the clock of the recorded transitions.
inline long long monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

inline double ms_between(long long from_ns, long long to_ns) { return (to_ns - from_ns) / 1e6; }

