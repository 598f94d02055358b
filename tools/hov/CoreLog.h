// The log of the tool's own copy of the library core (the commands that run the modem, the
// sinks or the capture front in-process), and of the system's sound library.
#pragma once

// Main thread, before the core runs. With verbose the core's log lines go to stderr, otherwise
// nowhere: its built-in printer would put them on stdout, which carries the command's answer.
void RouteCoreLog(bool verbose);

// Main thread, before any device is opened. Without verbose, silences the system sound
// library's own error printer (Linux: ALSA writes several lines on stderr when there is no
// sound card), so that a failure reaches the user as the command's one line. The library logs
// the failed calls itself, and --verbose shows them.
void RouteSoundSystemLog(bool verbose);
