// One client connection: reads frames, answers them through the protocol, applies the faults.
#pragma once

#include <cstddef>

#include "event_log.h"
#include "options.h"

// The byte stream of one connection, supplied by the platform's server.
class Channel {
public:
    virtual ~Channel() = default;
    // Reads exactly size bytes; false when the peer closed, on an error, or when stopping.
    virtual bool read_exact(void* buffer, size_t size) = 0;
    virtual bool write_all(const void* buffer, size_t size) = 0;
};

// Runs the connection until either side closes it; the caller closes the channel afterwards.
void run_session(Channel& channel, unsigned conn, const Options& options, EventLog& log);
