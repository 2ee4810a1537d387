// The activity text shown for a usable status snapshot.
#pragma once

#include <stdint.h>

struct StatusSnapshot;

// Writes {"details":...,"state":...,"timestamps":{"start":N}} into out (at most capacity - 1
// characters, terminated).
void compose_activity(const StatusSnapshot* snapshot, char* out, uint32_t capacity, int64_t play_start_time);
