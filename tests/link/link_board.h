// A simulated board with the line manager, the LEDs and the input monitor up, the link
// manager initialized over it, short intervals and a fake clock for the key debounce.
#pragma once

#include "gpio.h"
#include "input.h"
#include "led.h"
#include "link.h"
#include "link_timing.h"
#include "process.h"
#include "sim_board.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

// The debounce clock of the tests; set by the test thread only.
inline link_timing::clock::time_point fake_time{std::chrono::seconds(3)};

class LinkBoardTest : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TESMAR_GPIO_ROOT", board.root().c_str(), 1);
        setenv("PATH", board.env().at("PATH").c_str(), 1);
        capture_output();
        link_timing::now = [] { return fake_time; };
        link_timing::worker_4g_wait = 300ms;
        link_timing::dial_step = 50ms;
        link_timing::kill_step = 20ms;
        link_timing::ap_settle = 50ms;
        link_timing::recovery_pause = 20ms;
        link_timing::recovery_settle = 50ms;
        link_timing::manager_step = 50ms;
        link_timing::wifi_check_interval = 300ms;
        const int failed = (gpio_init() < 0) + (gpio_init_outputs() < 0) + (gpio_init_inputs() < 0) +
                           (led_init() < 0) + (input_monitor_init(10) < 0);
        ASSERT_EQ(failed, 0) << out();
    }

    void TearDown() override
    {
        link_cleanup();
        input_monitor_cleanup();
        led_cleanup();
        gpio_cleanup();
        run_command("'" + board.path("/usr/lib/tesmar_gpio/wifi_ap.sh") + "' stop >/dev/null 2>&1");
        restore_output();
        if (HasFailure())
            std::cout << "--- link manager output ---\n" << out() << "--- errors ---\n" << err();
    }

    std::string out() const
    {
        fflush(stdout);
        return read_file(out_path());
    }
    std::string err() const { return read_file(err_path()); }
    int out_count(const std::string &line) const { return count_lines(out(), line); }
    // Waits until LINE has been printed at least TIMES times.
    bool wait_line(const std::string &line, int times = 1, std::chrono::milliseconds timeout = 5s) const
    {
        return wait_until([&] { return out_count(line) >= times; }, timeout);
    }

    void write_board(std::string_view path, const std::string &text) { write_file(board.path(path), text); }
    std::string board_file(std::string_view path) const { return read_file(board.path(path)); }

    // sys_ledN: "on", "off" or "blink <ms on>".
    std::string led(int n) const
    {
        if (board.led(n, "trigger") == "timer")
            return "blink " + board.led(n, "delay_on");
        return board.led(n, "brightness") == "0" ? "off" : "on";
    }

    std::string dialer(std::string_view suffix) const { return "/usr/bin/quectel-CM" + std::string(suffix); }
    std::string ap_script(std::string_view suffix) const
    {
        return "/usr/lib/tesmar_gpio/wifi_ap.sh" + std::string(suffix);
    }
    int dialer_starts() const { return count_words(board_file(dialer(".log")), "start"); }
    int ap_runs(const std::string &action) const { return count_lines(board_file(ap_script(".log")), action + " 0"); }

    static int count_words(const std::string &text, const std::string &word)
    {
        int n = 0;
        for (const auto &line : lines_of(text))
            n += line.find(" " + word) != std::string::npos;
        return n;
    }

    // Lays out the state file, loads it and starts the module.
    void start_with(const std::string &state)
    {
        write_board("/var/lib/tesmar_gpio/link_state", state);
        link_init();
        ASSERT_EQ(link_start(), 0);
    }

    // Starts with both switches off, then flips them: one request each, one start each
    // (a switch on at start-up is posted twice).
    void start_then_toggle(bool toggle_4g, bool toggle_wifi)
    {
        start_with("0 0\n");
        // Past the manager thread's own posting of the switches that are on.
        ASSERT_TRUE(wait_line("LINK: end2 link up -> LED7=ON")) << out();
        if (toggle_4g)
            link_toggle_4g();
        if (toggle_wifi)
            link_toggle_wifi();
    }

    SimBoard board;

private:
    std::string out_path() const { return board.root() + "/test.out"; }
    std::string err_path() const { return board.root() + "/test.err"; }

    // The module's lines go to files that the test reads while it runs.
    void capture_output()
    {
        fflush(stdout);
        saved_out_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        saved_err_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        int out_fd = open(out_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int err_fd = open(err_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        close(out_fd);
        close(err_fd);
        setvbuf(stdout, nullptr, _IOLBF, 0);
    }

    void restore_output()
    {
        fflush(stdout);
        dup2(saved_out_, STDOUT_FILENO);
        dup2(saved_err_, STDERR_FILENO);
        close(saved_out_);
        close(saved_err_);
    }

    int saved_out_ = -1;
    int saved_err_ = -1;
};
