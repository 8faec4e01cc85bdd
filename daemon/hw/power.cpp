#include "power.h"
#include "log.h"

#include "gpio.h"

#include <cstdio>

namespace {

const char *const power_status_names[] = {"无电源", "外接电源", "内接电源", "双电源"};
constexpr const char *power_unknown_name = "未知";

}  // namespace

int power_init()
{
    // Whatever a previous run or the boot loader left, the 12 V output starts off.
    gpio_set_output(OUT_VOUT12V, 0);
    log_out(LOG_INFO, "POWER: Module initialized\n");
    return 0;
}

int power_12v_on()
{
    return gpio_set_output(OUT_VOUT12V, 1);
}

int power_12v_off()
{
    return gpio_set_output(OUT_VOUT12V, 0);
}

int power_12v_get()
{
    return gpio_get_output(OUT_VOUT12V);
}

int power_read_valid1()
{
    return gpio_get_input(IN_VALID1);
}

int power_read_valid2()
{
    return gpio_get_input(IN_VALID2);
}

int power_get_status()
{
    // Live reads, so a command sees a supply that changed since the last poll.
    const int external = power_read_valid1();
    const int internal = power_read_valid2();
    if (external < 0 || internal < 0)
        return POWER_UNKNOWN;
    if (external == 1 && internal == 1)
        return POWER_BOTH;
    if (external == 1)
        return POWER_EXTERNAL;
    if (internal == 1)
        return POWER_INTERNAL;
    return POWER_NONE;
}

const char *power_status_name(unsigned status)
{
    if (status < sizeof power_status_names / sizeof power_status_names[0])
        return power_status_names[status];
    return power_unknown_name;
}

void power_cleanup()
{
    gpio_set_output(OUT_VOUT12V, 0);
    log_out(LOG_INFO, "POWER: Module cleaned up\n");
}
