// The client's views of the link and SD card state, their JSON forms, and the watch mode.
#pragma once

#include "ctl_protocol.h"

// "link": both links' switches and states.
int view_link();
// "sdcard state": the recovery state, the eject hold and the mount point.
int view_sdcard_state();
// Runs a report or query command with --json: WORD is the command word, ARG the next
// word (nullptr when none). Returns the exit status; 1 for a command without a JSON form.
int view_json(const char *program, const char *word, const char *arg);
// "monitor": one line (or JSON object) per change until interrupted.
int view_monitor(bool json);

// Names used by the views, exposed for the tests.
const char *link_state_name(std::uint8_t state, bool is_4g);
const char *sdcard_state_name(std::uint8_t state);
