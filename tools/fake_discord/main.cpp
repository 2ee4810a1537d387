// Stand-in for the Discord desktop client's local IPC, for end-to-end tests and the demo.
#include <cstdio>
#include <string>

#include "event_log.h"
#include "options.h"
#include "server.h"
#include "sys.h"

std::atomic<bool> g_stopping(false);

bool stop_due(const Options& options, int64_t started_ms) {
    if (!options.stop_file.empty() && file_exists(options.stop_file)) return true;
    if (options.exit_after_seconds > 0 &&
        static_cast<double>(steady_ms_now() - started_ms) >= options.exit_after_seconds * 1000.0) {
        return true;
    }
    return false;
}

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parse_options(argc, argv, options, error)) {
        if (error.empty()) {
            std::fputs(usage_text(), stdout);
            return 0;
        }
        std::fprintf(stderr, "fake_discord: %s\n%s", error.c_str(), usage_text());
        return 2;
    }
    EventLog log;
    if (!log.open(options.log_path, options.cards_path, error)) {
        std::fprintf(stderr, "fake_discord: %s\n", error.c_str());
        return 1;
    }
    return run_server(options, log);
}
