// The stand-in's two outputs: one JSON line per event, and a readable card per activity.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "sys.h"

class EventLog {
public:
    EventLog() = default;
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Opens the files (truncated); an empty log path means standard output.
    bool open(const std::string& log_path, const std::string& cards_path, std::string& error);

    void connect(unsigned conn);
    void frame(unsigned conn, const char* event, uint32_t opcode, const std::string& payload);
    void close(unsigned conn, const std::string& reason);
    // A note of the server's own; the first one (listen) also gives clock_ms, the steady clock
    // in milliseconds at which t counts 0.
    void note(const std::string& event, const std::string& detail);
    // An event of a connection with more members: fields is JSON text of ,"name":value pairs.
    void conn_event(unsigned conn, const char* event, const std::string& fields);
    void card(const std::string& card);

private:
    void write_line(const std::string& line);

    Lock lock_;
    int64_t start_ms_ = steady_ms_now();
    bool clock_given_ = false;
    FILE* log_ = nullptr;
    bool owns_log_ = false;
    FILE* cards_ = nullptr;
};
