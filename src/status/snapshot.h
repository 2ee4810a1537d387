// The game's status file, "discord_kel_status.json", read into a snapshot and judged usable.
#pragma once

#include <stdint.h>

struct StatusSnapshot {
    char name[32];
    char zone[80];
    char guild[64];
    char faction[24];
    char class_name[32];
    char race[32];
    int32_t level;
    int64_t ts;
    int32_t ok;
    int32_t in_world;
};

// Fills snapshot from the status file. 1 when usable: ok and in_world true, ts within 30 s behind
// and 5 s ahead of the clock, and a name, a zone or a positive level. 0 otherwise; logs nothing.
int read_status_snapshot(StatusSnapshot* snapshot);
