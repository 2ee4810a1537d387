// The presence cycle: each pass turns the status file into the activity shown in Discord.
#include "driver/presence.h"

#include "common/format.h"
#include "common/limits.h"
#include "ipc/connection.h"
#include "status/compose.h"
#include "status/snapshot.h"

void presence_pass(IpcConnection* connection, const char* application_id, uint32_t process_id,
                   int64_t play_start_time)
{
    // A Discord client that restarted has closed its end; without this check the pipe would only
    // be found broken at the next change of the status, and the presence would stay away until
    // then. Dropping it here lets this same pass connect again and publish the current text.
    // Frames the client sent unasked since the last pass (a PING, a CLOSE, a stray reply) are
    // dealt with here too, so that none of them is later read as the answer to this pass's command.
    ipc_handle_unasked_frames(connection);
    if (connection->pipe == INVALID_HANDLE_VALUE && !ipc_connect(connection, application_id)) {
        return;
    }

    StatusSnapshot snapshot;
    char activity[kActivityCapacity];
    if (read_status_snapshot(&snapshot)) {
        compose_activity(&snapshot, activity, kActivityCapacity, play_start_time);
    } else {
        format_bounded(activity, kActivityCapacity, "{\"timestamps\":{\"start\":%lld}}",
                       static_cast<long long>(play_start_time));
    }
    ipc_set_activity(connection, process_id, activity);
}

void presence_end(IpcConnection* connection, uint32_t process_id)
{
    if (connection->pipe != INVALID_HANDLE_VALUE) {
        ipc_clear_activity(connection, process_id);
    }
}
