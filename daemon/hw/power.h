// The 12 V output and the power-source status from the VALID1 (external) and VALID2
// (internal) inputs.
#pragma once

enum power_status : int {
    POWER_NONE = 0,
    POWER_EXTERNAL,
    POWER_INTERNAL,
    POWER_BOTH,
    POWER_UNKNOWN
};

int power_init();
int power_12v_on();
int power_12v_off();
// The value last written to the 12 V output (0 or 1), not a measurement.
int power_12v_get();
int power_read_valid1();
int power_read_valid2();
// From live reads of both inputs; POWER_UNKNOWN when either read fails.
int power_get_status();
const char *power_status_name(unsigned status);
void power_cleanup();
