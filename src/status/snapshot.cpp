// Reading the game's status file into a snapshot and judging whether it can be shown.
#include "status/snapshot.h"

#include <string.h>

#include "common/limits.h"
#include "common/small_file.h"
#include "common/unix_time.h"
#include "files/data_path.h"
#include "status/json_scan.h"

namespace {

// The file holds a small flat object; only its first 2047 bytes are looked at.
const uint32_t kStatusTextCapacity = 2048;

// How far the status's time stamp may lie from our clock and still be shown: the game renews it
// while the player is in the world, so an older one means the game stopped writing it.
const int64_t kMostSecondsBehind = 30;
const int64_t kMostSecondsAhead = 5;

}  // namespace

int read_status_snapshot(StatusSnapshot* snapshot)
{
    if (snapshot == nullptr) {
        return 0;
    }
    memset(snapshot, 0, sizeof(*snapshot));

    char path[kPathCapacity];
    if (!build_data_path(path, kPathCapacity, "discord_kel_status.json")) {
        return 0;
    }
    char text[kStatusTextCapacity];
    if (!read_small_file(path, text, kStatusTextCapacity)) {
        return 0;
    }

    if (!json_find_bool(text, "ok", &snapshot->ok)) {
        return 0;
    }
    if (!json_find_bool(text, "in_world", &snapshot->in_world)) {
        return 0;
    }
    if (!json_find_int64(text, "ts", &snapshot->ts)) {
        return 0;
    }
    int64_t now = unix_time_now();
    if (snapshot->ok == 0 || snapshot->in_world == 0 || snapshot->ts <= 0) {
        return 0;
    }
    // Fresh exactly when now - 30 <= ts <= now + 5. The clock is a 64-bit count of 100 ns
    // intervals, so now stays within about 10^12 s of zero and neither bound can overflow.
    if (snapshot->ts < now - kMostSecondsBehind) {
        return 0;
    }
    if (snapshot->ts > now + kMostSecondsAhead) {
        return 0;
    }

    // Optional texts: whatever the scanner left stands (a cut or unclosed value as far as it
    // went, an absent one empty), so their results are not looked at.
    json_find_string(text, "name", snapshot->name, sizeof(snapshot->name));
    json_find_string(text, "zone", snapshot->zone, sizeof(snapshot->zone));
    json_find_string(text, "guild", snapshot->guild, sizeof(snapshot->guild));
    json_find_string(text, "faction", snapshot->faction, sizeof(snapshot->faction));
    json_find_string(text, "class", snapshot->class_name, sizeof(snapshot->class_name));
    json_find_string(text, "race", snapshot->race, sizeof(snapshot->race));

    // The level keeps the low 32 bits of what was written, with no range test.
    int64_t level = 0;
    if (json_find_int64(text, "level", &level)) {
        snapshot->level = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(level)));
    }

    return snapshot->name[0] != '\0' || snapshot->zone[0] != '\0' || snapshot->level > 0;
}
