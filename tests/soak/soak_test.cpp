// The fault soak: the program on the fake platform for 200,000 passes while Discord, the status
// file and the clocks misbehave at random, with its promises checked after every pass.
//
// Replay a failure with the seed it prints: BRIGHTRELAY_SOAK_SEED=<seed>; a shorter replay with
// BRIGHTRELAY_SOAK_PASSES=<passes>.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "common/unix_time.h"
#include "driver/driver.h"
#include "driver/presence.h"
#include "fake/fake_platform.h"
#include "ipc/connection.h"
#include "soak/alloc_guard.h"
#include "soak/observer.h"
#include "soak/surroundings.h"

namespace {

const uint64_t kDefaultSeed = 20240611;
const long kDefaultPasses = 200000;
const long kLongestRun = 3000;  // passes; the fake never reuses handle slots within a run
const DWORD kGamePid = 4242;
const char kApplicationId[] = "418829376113459201";
const uint64_t kPassSleepMs = 2000;  // the pause between passes: the driver's timed wait on the game

uint64_t soak_seed()
{
    const char* text = std::getenv("BRIGHTRELAY_SOAK_SEED");
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : kDefaultSeed;
}

long soak_passes()
{
    const char* text = std::getenv("BRIGHTRELAY_SOAK_PASSES");
    return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : kDefaultPasses;
}

// Runs between the passes, at the end of the program's 2000 ms wait on the game (the fake runs
// the sleep hooks when a timed wait times out): checks the pass that just ended, then either
// changes the world for the next pass or ends the game (which the wait then reports).
class PassClock {
public:
    PassClock(soak::Surroundings& world, soak::Observer& observer, std::function<void()> end_game)
        : world_(world), observer_(observer), end_game_(std::move(end_game))
    {
    }

    void start_run(long run_length)
    {
        run_length_ = run_length;
        passes_in_run_ = 0;
        last_wake_ms_ = fake::now_ms();
        pass_started_ms_ = fake::now_ms();
        fake::on_sleep([this](uint64_t now) { woke(now); });
        fake::record_calls(false);  // the soak looks at outcomes; the record would cost most of its time
    }

    // The end of the run: how long the program took since its last pass's wait.
    uint64_t since_last_pass() const { return fake::now_ms() - pass_started_ms_; }
    bool stopped() const { return stopped_; }
    long total_passes() const { return total_passes_; }

private:
    void woke(uint64_t now)
    {
        uint64_t slept = now - last_wake_ms_;
        last_wake_ms_ = now;
        if (slept != kPassSleepMs) {
            return;  // a polling step of a reply wait
        }
        uint64_t pass_ms = now - kPassSleepMs - pass_started_ms_;
        if (!observer_.after_pass(pass_ms, soak::kLongestPassMs, 2)) {
            stopped_ = true;
        }
        ++passes_in_run_;
        ++total_passes_;
        if (stopped_ || passes_in_run_ >= run_length_) {
            end_game_();
            observer_.game_ended();
        } else {
            world_.between_passes();
        }
        pass_started_ms_ = now;
    }

    soak::Surroundings& world_;
    soak::Observer& observer_;
    std::function<void()> end_game_;
    long run_length_ = 0;
    long passes_in_run_ = 0;
    long total_passes_ = 0;
    uint64_t last_wake_ms_ = 0;
    uint64_t pass_started_ms_ = 0;
    bool stopped_ = false;
};

// Leaves the fake without hooks into a test's locals, however the test ends.
struct HooksCleared {
    HooksCleared() = default;
    HooksCleared(const HooksCleared&) = delete;
    HooksCleared& operator=(const HooksCleared&) = delete;
    ~HooksCleared()
    {
        fake::on_sleep(nullptr);
        fake::on_pipe_write(nullptr);
        fake::reset();
    }
};

void watch_pipe_writes(soak::Observer& observer)
{
    fake::on_pipe_write([&observer](int index, const std::string& bytes) { observer.on_pipe_write(index, bytes); });
}

void print_totals(const char* what, uint64_t seed, const PassClock& clock, const soak::Observer& observer)
{
    std::printf("%s: seed %llu, %ld passes, %ld handshakes, %ld commands, %ld pongs, %ld log records\n",
                what, static_cast<unsigned long long>(seed), clock.total_passes(), observer.handshakes(),
                observer.commands(), observer.pongs(), observer.log_records());
}

TEST(AllocGuard, CountsOnlyTheProgramsOwnAllocations)
{
    // Kept in a volatile place, so that the compiler cannot drop the pairs of allocation and release.
    static void* volatile kept = nullptr;
    size_t before = soak::program_allocations();
    kept = std::malloc(16);
    std::free(kept);
    EXPECT_EQ(soak::program_allocations(), before);

    soak::alloc_guard_enter();
    kept = std::malloc(16);
    std::free(kept);
    kept = new int(1);
    delete static_cast<int*>(kept);
    soak::alloc_guard_leave();
    EXPECT_EQ(soak::program_allocations(), before + 2);

    // The fake runs at platform depth: its allocations are its own.
    fake::reset();
    soak::alloc_guard_enter();
    fake::put_file(soak::kStatusPath, "");  // not a platform call: counted
    size_t after_put = soak::program_allocations();
    Sleep(1);  // a platform call that records itself: not counted
    soak::alloc_guard_leave();
    EXPECT_GT(after_put, before + 2);
    EXPECT_EQ(soak::program_allocations(), after_put);
}

// The program as it ships: brightrelay_run with --pid, game after game, 200,000 passes in all.
TEST(Soak, DriverUnderRandomFaults)
{
    const uint64_t seed = soak_seed();
    const long passes = soak_passes();
    SCOPED_TRACE("replay with BRIGHTRELAY_SOAK_SEED=" + std::to_string(seed));
    soak::Surroundings world(seed);
    soak::Observer observer(kGamePid, kApplicationId);
    bool end_by_failed_wait = false;
    PassClock clock(world, observer, [&end_by_failed_wait]() {
        if (end_by_failed_wait) {
            fake::fail_waits(true);
        } else {
            fake::end_process(kGamePid);
        }
    });
    HooksCleared hooks_cleared;

    while (clock.total_passes() < passes && !clock.stopped()) {
        bool presence_on = !world.chance(0.03);
        world.start_run(presence_on);
        fake::add_process(kGamePid, "Kel_Nordvale.exe");
        end_by_failed_wait = world.chance(0.1);
        long run_length = 1 + static_cast<long>(world.below(kLongestRun));
        if (run_length > passes - clock.total_passes()) {
            run_length = passes - clock.total_passes();
        }
        if (world.chance(0.02)) {
            run_length = 0;  // the game ends before the first test
            fake::end_process_after_waits(kGamePid, 0);
        }
        // The nonce counter is seeded from the tick count as the run starts.
        observer.start_run(GetTickCount(), presence_on);
        if (run_length == 0) {
            observer.game_ended();
        }
        watch_pipe_writes(observer);
        clock.start_run(run_length);

        soak::alloc_guard_enter();
        int result = brightrelay_run("--pid 4242");
        soak::alloc_guard_leave();

        fake::on_sleep(nullptr);
        fake::on_pipe_write(nullptr);
        EXPECT_EQ(result, 0);
        EXPECT_LE(clock.since_last_pass(), soak::kLongestEndMs) << "the end of the run took too long";
        observer.after_run(true);
        if (::testing::Test::HasFailure()) {
            break;
        }
    }
    print_totals("driver soak", seed, clock, observer);
    EXPECT_GE(clock.total_passes(), passes);
}

// The presence cycle alone, as the driver runs it, where the connection record can be seen:
// after every pass it must agree with what went over the pipe.
TEST(Soak, PresenceCycleRecordAgreesWithThePipe)
{
    const uint64_t seed = soak_seed() + 1;
    const long passes = soak_passes();
    SCOPED_TRACE("replay with BRIGHTRELAY_SOAK_SEED=" + std::to_string(seed - 1));

    soak::Surroundings world(seed);
    soak::Observer observer(kGamePid, kApplicationId);
    bool game_ended = false;
    PassClock clock(world, observer, [&game_ended]() { game_ended = true; });
    HooksCleared hooks_cleared;

    while (clock.total_passes() < passes && !clock.stopped()) {
        world.start_run(true);
        long run_length = 1 + static_cast<long>(world.below(kLongestRun));
        if (run_length > passes - clock.total_passes()) {
            run_length = passes - clock.total_passes();
        }
        game_ended = false;

        IpcConnection connection;
        std::memset(&connection, 0, sizeof connection);
        connection.pipe = INVALID_HANDLE_VALUE;
        connection.nonce = GetTickCount();
        observer.start_run(connection.nonce, true);
        watch_pipe_writes(observer);
        clock.start_run(run_length);
        soak::alloc_guard_enter();
        const int64_t play_start_time = unix_time_now();
        soak::alloc_guard_leave();

        while (!game_ended) {
            soak::alloc_guard_enter();
            presence_pass(&connection, kApplicationId, kGamePid, play_start_time);
            soak::alloc_guard_leave();

            const long pass = observer.pass_number();
            if (connection.pipe == INVALID_HANDLE_VALUE) {
                ASSERT_STREQ(connection.last_activity, "") << "pass " << pass << ": a text kept while not connected";
            } else if (connection.last_activity[0] != '\0') {
                ASSERT_TRUE(observer.sent_on_this_connection(connection.last_activity))
                    << "pass " << pass << ": an accepted text never sent on this connection: " << connection.last_activity;
            }
            ASSERT_EQ(connection.nonce, observer.last_nonce()) << "pass " << pass << ": nonce counter and pipe disagree";
            ASSERT_LT(std::strlen(connection.last_activity), sizeof connection.last_activity);
            Sleep(static_cast<DWORD>(kPassSleepMs));
        }
        soak::alloc_guard_enter();
        presence_end(&connection, kGamePid);
        soak::alloc_guard_leave();
        fake::on_sleep(nullptr);
        fake::on_pipe_write(nullptr);
        EXPECT_EQ(connection.pipe, INVALID_HANDLE_VALUE);
        EXPECT_STREQ(connection.last_activity, "");
        EXPECT_EQ(connection.nonce, observer.last_nonce());
        EXPECT_LE(clock.since_last_pass(), soak::kLongestEndMs) << "the end took too long";
        observer.after_run(false);
        if (::testing::Test::HasFailure()) {
            break;
        }
    }
    print_totals("presence cycle soak", seed, clock, observer);
    EXPECT_GE(clock.total_passes(), passes);
}

}  // namespace
