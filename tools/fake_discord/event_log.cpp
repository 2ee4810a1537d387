// Event lines and cards, each written whole and flushed at once so a test can follow them.
#include "event_log.h"

#include "protocol.h"

EventLog::~EventLog() {
    if (owns_log_ && log_) std::fclose(log_);
    if (cards_) std::fclose(cards_);
}

bool EventLog::open(const std::string& log_path, const std::string& cards_path, std::string& error) {
    if (log_path.empty()) {
        log_ = stdout;
    } else {
        log_ = std::fopen(log_path.c_str(), "wb");
        if (!log_) {
            error = "cannot open the log " + log_path;
            return false;
        }
        owns_log_ = true;
    }
    if (!cards_path.empty()) {
        cards_ = std::fopen(cards_path.c_str(), "wb");
        if (!cards_) {
            error = "cannot open the cards file " + cards_path;
            return false;
        }
    }
    return true;
}

void EventLog::write_line(const std::string& line) {
    Locked hold(lock_);
    std::fputs(line.c_str(), log_);
    std::fputc('\n', log_);
    std::fflush(log_);
}

static std::string head(int64_t t, unsigned conn, const char* event) {
    return "{\"t\":" + std::to_string(t) + ",\"conn\":" + std::to_string(conn) + ",\"event\":\"" +
           event + "\"";
}

void EventLog::connect(unsigned conn) {
    write_line(head(steady_ms_now() - start_ms_, conn, "connect") + "}");
}

void EventLog::frame(unsigned conn, const char* event, uint32_t opcode, const std::string& payload) {
    write_line(head(steady_ms_now() - start_ms_, conn, event) + ",\"op\":" + std::to_string(opcode) +
               ",\"payload\":" + json_string(payload) + "}");
}

void EventLog::close(unsigned conn, const std::string& reason) {
    write_line(head(steady_ms_now() - start_ms_, conn, "close") + ",\"reason\":" + json_string(reason) +
               "}");
}

void EventLog::conn_event(unsigned conn, const char* event, const std::string& fields) {
    write_line(head(steady_ms_now() - start_ms_, conn, event) + fields + "}");
}

void EventLog::note(const std::string& event, const std::string& detail) {
    std::string clock;
    if (!clock_given_) {
        clock_given_ = true;
        clock = ",\"clock_ms\":" + std::to_string(start_ms_);
    }
    write_line("{\"t\":" + std::to_string(steady_ms_now() - start_ms_) + ",\"event\":" +
               json_string(event) + ",\"detail\":" + json_string(detail) + clock + "}");
}

void EventLog::card(const std::string& card) {
    if (!cards_) return;
    Locked hold(lock_);
    std::fputs(card.c_str(), cards_);
    std::fflush(cards_);
}
