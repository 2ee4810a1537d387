// The program's log, "Brightrelay.log" in the data folder: one time-stamped line per message.
#pragma once

// Appends "YYYY-MM-DD hh:mm:ss <message>\r\n" (local time; at most 1199 characters, cut beyond).
// A null message logs an empty one. Fails silently: the caller is never told.
void log_line(const char* message);
