// read_status_snapshot on any status file content, with file faults, against the model.
//
// Input: one byte choosing how the file is reached (most values: plainly; otherwise missing, an
// open that fails, a read that fails, or reads of at most a few bytes), then the file content.
// The clock stands at 1700000000, the time stamp of the seeds, so fresh snapshots are reachable.
#include <cstring>
#include <string>

#include "fake/fake_platform.h"
#include "fuzz_support.h"
#include "reference_scan.h"
#include "status/snapshot.h"

namespace {

const int64_t kNow = 1700000000;

bool terminated_within(const char* field, size_t capacity)
{
    return memchr(field, '\0', capacity) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::reset_machine();
    fake::set_unix_time(kNow);
    fuzz::ByteReader in(data, size);
    const uint8_t mode = in.u8();
    const std::string content = in.rest();

    // What the one read delivers: at most 2047 bytes, fewer under a read limit.
    size_t delivered = content.size() < 2047 ? content.size() : 2047;
    bool reachable = true;
    fake::FileFaults faults;
    switch (mode) {
    case 0xF0: reachable = false; break;                          // no file
    case 0xF1: faults.fail_open = true; reachable = false; break;
    case 0xF2: faults.fail_read = true; reachable = false; break;
    default:
        if (mode > 0xF2) {
            faults.read_limit = mode - 0xF2u;                       // 1 to 13 bytes a read
            delivered = delivered < faults.read_limit ? delivered : faults.read_limit;
        }
        break;
    }
    if (mode != 0xF0) {
        fake::put_file(fuzz::kStatusPath, content);
        fake::set_file_faults(fuzz::kStatusPath, faults);
    }

    StatusSnapshot snapshot;
    memset(&snapshot, 0xA5, sizeof snapshot);  // the reader must clear it before anything else
    int result = read_status_snapshot(&snapshot);

    fuzz::RefSnapshot model;
    if (reachable) {
        const std::string text(content.substr(0, delivered).c_str());
        model = fuzz::ref_read_status(text.c_str(), kNow);
    }
    FUZZ_CHECK(result == model.result);
    FUZZ_CHECK(terminated_within(snapshot.name, sizeof snapshot.name));
    FUZZ_CHECK(terminated_within(snapshot.zone, sizeof snapshot.zone));
    FUZZ_CHECK(terminated_within(snapshot.guild, sizeof snapshot.guild));
    FUZZ_CHECK(terminated_within(snapshot.faction, sizeof snapshot.faction));
    FUZZ_CHECK(terminated_within(snapshot.class_name, sizeof snapshot.class_name));
    FUZZ_CHECK(terminated_within(snapshot.race, sizeof snapshot.race));
    FUZZ_CHECK(model.name == snapshot.name);
    FUZZ_CHECK(model.zone == snapshot.zone);
    FUZZ_CHECK(model.guild == snapshot.guild);
    FUZZ_CHECK(model.faction == snapshot.faction);
    FUZZ_CHECK(model.class_name == snapshot.class_name);
    FUZZ_CHECK(model.race == snapshot.race);
    FUZZ_CHECK(model.level == snapshot.level);
    FUZZ_CHECK(model.ts == snapshot.ts);
    FUZZ_CHECK(model.ok == snapshot.ok);
    FUZZ_CHECK(model.in_world == snapshot.in_world);
    if (result == 1) {
        FUZZ_CHECK(snapshot.ok == 1 && snapshot.in_world == 1);
        FUZZ_CHECK(snapshot.ts >= kNow - 30 && snapshot.ts <= kNow + 5);
        FUZZ_CHECK(snapshot.name[0] != '\0' || snapshot.zone[0] != '\0' || snapshot.level > 0);
    }
    // One open, one read at most 2047 bytes, closed again; reading is silent.
    FUZZ_CHECK(fake::open_handle_count() == 0);
    FUZZ_CHECK(fake::count_calls("ReadFile") <= 1);
    for (const fake::Call& call : fake::calls_named("ReadFile")) {
        FUZZ_CHECK(call.size == 2047);
    }
    FUZZ_CHECK(!fake::file_exists(fuzz::kLogPath));
    return 0;
}
