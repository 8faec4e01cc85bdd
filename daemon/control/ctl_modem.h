// The modem's radio information (CMD_4G_INFO): seven AT commands on the modem's AT port
// "/dev/ttyUSB2", each answer parsed into the ModemInfoRecord. Runs in the connection
// thread; one query holds the port at a time, so two clients never read each other's
// answers (the second waits for the port).
#pragma once

#include "ctl_protocol.h"

#include <cstddef>

// Room for one command's answer: at most 511 characters and the terminator.
inline constexpr std::size_t MODEM_ANSWER_SIZE = 512;

// Builds RECORD afresh and fills it from the modem. status 1 when the port cannot be
// opened; otherwise 0, with every field that no answer gave at its initial value.
void ctl_query_modem(ModemInfoRecord &record);

// Makes every query, running or waiting for the port, give up at its next command with
// status 1, and refuses new ones: the daemon is stopping.
void ctl_modem_stop();

// The record before any answer: status 1, rssi and ber 99, everything else 0.
ModemInfoRecord modem_initial_record();

// Opens the AT port and sets it up for the exchanges (115200 8N1, raw). The descriptor,
// non-blocking, or -1.
int ctl_modem_open();

// One exchange: sends COMMAND and a carriage return, then collects the answer into ANSWER
// (always terminated) until the final result code, one second without bytes, or a full
// buffer. Returns the number of characters collected, or -1 when the command could not
// be written within a second (output stopped by flow control) or the daemon stopped.
int ctl_at_command(int port, const char *command, char (&answer)[MODEM_ANSWER_SIZE]);

// The parsers of the seven answers: pure functions of the collected text (the echo of the
// command may precede it). Each changes only the fields its answer gave.
void modem_parse_csq(const char *answer, ModemInfoRecord &record);
void modem_parse_creg(const char *answer, ModemInfoRecord &record);
void modem_parse_cops(const char *answer, ModemInfoRecord &record);
void modem_parse_qccid(const char *answer, ModemInfoRecord &record);
void modem_parse_cimi(const char *answer, ModemInfoRecord &record);
void modem_parse_qeng(const char *answer, ModemInfoRecord &record);
void modem_parse_qnwinfo(const char *answer, ModemInfoRecord &record);
