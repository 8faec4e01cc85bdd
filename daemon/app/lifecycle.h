// The daemon's entry: options, signals, detaching, and the fixed order in which the
// modules are initialized, started, stopped and cleaned up.
#pragma once

// Runs the daemon and returns the process exit status.
int daemon_main(int argc, char **argv);
