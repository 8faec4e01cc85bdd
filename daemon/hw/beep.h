// The beeper on output line BEEP: a continuous tone, one beep, or an alarm of short
// beeps, played on a worker thread so callers return at once.
#pragma once

enum beep_mode : int {
    BEEP_MODE_OFF = 0,
    BEEP_MODE_ONCE,
    BEEP_MODE_CONTINUOUS,
    BEEP_MODE_ALARM
};

int beep_init();
int beep_on();
int beep_off();
int beep_once(int duration_ms);
int beep_alarm(int count, int on_ms, int gap_ms);
int beep_set_mute(int flag);
int beep_get_mute();
int beep_is_active();
void beep_cleanup();
