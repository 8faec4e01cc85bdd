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
// Waits for a once or alarm pattern in progress to end, stops a tone within 100 ms,
// joins the worker and drives the line low.
int beep_off();
int beep_once(int duration_ms);
int beep_alarm(int count, int on_ms, int gap_ms);
int beep_set_mute(int flag);
int beep_get_mute();
int beep_is_active();
// For the daemon's stop: cuts a once or alarm pattern in progress short and refuses new
// patterns (their operations return -1) until the next beep_init, so that no pattern a
// client chose decides how long a stop takes. beep_off still works; a tone keeps
// sounding until beep_off or beep_cleanup.
void beep_stop();
// As beep_off, but a once or alarm pattern in progress is cut short (beep_stop first).
void beep_cleanup();
