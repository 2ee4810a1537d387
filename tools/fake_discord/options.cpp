// Parsing of the stand-in's command line: "--name value" or "--name=value".
#include "options.h"

#include <cstdlib>

namespace {

bool parse_unsigned(const std::string& text, unsigned& value) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    value = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

bool parse_seconds(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end && *end == '\0' && value >= 0;
}

bool apply_fault(const std::string& name, Faults& faults) {
    const std::string close_after = "close-after:";
    const std::string close_frame_after = "close-frame-after:";
    if (name == "refuse") faults.refuse = true;
    else if (name == "error") faults.error = true;
    else if (name == "silent") faults.silent = true;
    else if (name == "silent-commands") faults.silent_commands = true;
    else if (name == "pieces") faults.pieces = true;
    else if (name == "oversized") faults.oversized = true;
    else if (name == "garbage") faults.garbage = true;
    else if (name == "stray-reply") faults.stray_reply = true;
    else if (name.compare(0, close_frame_after.size(), close_frame_after) == 0) {
        return parse_unsigned(name.substr(close_frame_after.size()), faults.close_frame_after) &&
               faults.close_frame_after > 0;
    } else if (name.compare(0, close_after.size(), close_after) == 0) {
        return parse_unsigned(name.substr(close_after.size()), faults.close_after) &&
               faults.close_after > 0;
    } else {
        return false;
    }
    return true;
}

}  // namespace

const char* usage_text() {
    return "usage: fake_discord [--dir DIR] [--index K] [--client-id ID]... [--log FILE]\n"
           "                    [--cards FILE] [--ready-file FILE] [--stop-file FILE]\n"
           "                    [--exit-after SECONDS] [--rate-limit SECONDS] [--ping]\n"
           "                    [--fault NAME]...\n"
           "faults: refuse, error, silent, silent-commands, pieces, oversized, garbage,\n"
           "        close-after:N, close-frame-after:N, stray-reply\n";
}

bool parse_options(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool has_value = false;
        std::string::size_type equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            has_value = true;
        }
        if (name == "--help" || name == "-h") {
            error.clear();
            return false;
        }
        if (name == "--ping") {  // the one option without a value
            if (has_value) {
                error = "option --ping takes no value";
                return false;
            }
            options.ping = true;
            continue;
        }
        static const char* const known[] = {"--dir", "--index", "--client-id", "--log", "--cards",
                                            "--ready-file", "--stop-file", "--exit-after", "--rate-limit",
                                            "--fault"};
        bool is_known = false;
        for (const char* option : known) is_known = is_known || name == option;
        if (!is_known) {
            error = "unknown option: " + name;
            return false;
        }
        if (!has_value) {
            if (i + 1 >= argc) {
                error = "option " + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (name == "--dir") {
            options.dir = value;
        } else if (name == "--index") {
            if (!parse_unsigned(value, options.index)) {
                error = "bad --index: " + value;
                return false;
            }
        } else if (name == "--client-id") {
            options.client_ids.push_back(value);
        } else if (name == "--log") {
            options.log_path = value;
        } else if (name == "--cards") {
            options.cards_path = value;
        } else if (name == "--ready-file") {
            options.ready_file = value;
        } else if (name == "--stop-file") {
            options.stop_file = value;
        } else if (name == "--exit-after") {
            if (!parse_seconds(value, options.exit_after_seconds)) {
                error = "bad --exit-after: " + value;
                return false;
            }
        } else if (name == "--rate-limit") {
            if (!parse_seconds(value, options.rate_limit_seconds)) {
                error = "bad --rate-limit: " + value;
                return false;
            }
        } else if (name == "--fault") {
            if (!apply_fault(value, options.faults)) {
                error = "unknown fault: " + value;
                return false;
            }
        }
    }
    return true;
}
