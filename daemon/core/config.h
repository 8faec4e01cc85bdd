// The daemon's configuration file "/etc/tesmar_gpio/tesmar_gpio.conf": "key=value" lines,
// "#" comments and blank lines, read once at start as data (never run by a shell). Every
// key is optional and defaults to the value the daemon has always used, so a board
// without the file behaves as before.
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr const char CONFIG_PATH[] = "/etc/tesmar_gpio/tesmar_gpio.conf";

struct tesmar_config {
    std::string apn = "cmnet";                        // apn: the dialer's -s argument
    std::vector<std::string> dialer_args;             // dialer_args: words after the APN
    std::string dialer = "/usr/bin/quectel-CM";       // dialer: the connection manager
    std::string modem_port = "/dev/ttyUSB2";          // modem_port: the modem's AT port
    std::string wwan_interface = "wwu1u2i4";          // wwan_interface: the modem's interface
    std::string notify_url = "http://127.0.0.1/api/platform_notify";  // notify_url
    std::string card_mount_dir = "/home/pi";          // card_mount_dir: where the card is mounted
};

// Reads TEXT as the file NAME would hold it, over the defaults in CONFIG. 0 on success;
// -1 with ERROR set to "NAME:LINE: what is wrong" for the first bad line.
int config_parse(std::string_view text, std::string_view name, tesmar_config &config, std::string &error);

// Loads the board's file into the daemon's configuration. A missing file keeps the
// defaults (0); an unreadable or bad one logs "CONFIG: ..." and returns -1.
int config_load();

// The daemon's configuration (the defaults until config_load ran).
const tesmar_config &config();
