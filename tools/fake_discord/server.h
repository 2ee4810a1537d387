// The platform's listening side: serves the pipe or socket until asked to stop.
#pragma once

#include <atomic>
#include <string>

#include "event_log.h"
#include "options.h"

// Set by a signal, the stop file or the time limit; every loop of the stand-in watches it.
extern std::atomic<bool> g_stopping;

// Serves connections until g_stopping; 0 after a clean stop, 1 when it could not listen.
int run_server(const Options& options, EventLog& log);

// True when the stop file has appeared or the time limit has passed; checked by the server's
// accept loop every 50 ms or so.
bool stop_due(const Options& options, int64_t started_ms);
