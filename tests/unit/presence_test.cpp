// The presence cycle: what each pass sends to Discord, the fall-back text, reconnects and the end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/presence.h"
#include "fake/fake_platform.h"
#include "ipc/connection.h"
#include "unit/log_file.h"
#include "unit/pipe_calls.h"

namespace {

using ::testing::ElementsAre;

const char kStatusPath[] = "C:\\Games\\Kel\\Brightrelay\\discord_kel_status.json";
const char kPipe0[] = "\\\\.\\pipe\\discord-ipc-0";
const char kId[] = "123456789012345";
const DWORD kGamePid = 4242;
const uint32_t kSeed = 100;
const int64_t kStart = 1699999000;

const char kBare[] = "{\"timestamps\":{\"start\":1699999000}}";
const char kComposed[] =
    "{\"details\":\"Tamsin \\u00b7 Lvl 27\",\"state\":\"Harbor Market\",\"timestamps\":{\"start\":1699999000}}";

std::string status_at(int64_t ts)
{
    return "{\"ok\":true,\"in_world\":true,\"ts\":" + std::to_string(ts) +
           ",\"name\":\"Tamsin\",\"zone\":\"Harbor Market\",\"level\":27}";
}

std::string publish(const std::string& activity, uint32_t nonce)
{
    return "{\"cmd\":\"SET_ACTIVITY\",\"args\":{\"pid\":4242,\"activity\":" + activity + "},\"nonce\":\"" +
           std::to_string(nonce) + "\"}";
}

std::string nonce_of(const std::string& payload)
{
    const std::string key = "\"nonce\":\"";
    size_t start = payload.find(key) + key.size();
    return payload.substr(start, payload.find('"', start) - start);
}

// The frames of opcode 1 that pipe 0 received, over all its connections.
std::vector<std::string> commands()
{
    std::vector<std::string> out;
    for (const fake::Frame& frame : fake::pipe(0).frames) {
        if (frame.opcode == 1) {
            out.push_back(frame.payload);
        }
    }
    return out;
}

class PresenceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        fake::add_folder("C:\\Games\\Kel\\Brightrelay");
        memset(&connection_, 0, sizeof connection_);
        connection_.pipe = INVALID_HANDLE_VALUE;
        connection_.nonce = kSeed;
        fake::pipe(0).present = true;
    }

    void pass() { presence_pass(&connection_, kId, kGamePid, kStart); }

    IpcConnection connection_;
};

TEST_F(PresenceTest, FirstPassConnectsReadsAndPublishesAtOnce)
{
    fake::put_file(kStatusPath, status_at(1700000000));
    pass();
    const std::vector<fake::Frame>& frames = fake::pipe(0).frames;
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].opcode, 0u);
    EXPECT_EQ(frames[1].payload, publish(kComposed, kSeed + 1));
    EXPECT_STREQ(connection_.last_activity, kComposed);
    EXPECT_EQ(fake::count_calls("Sleep"), 0u);
    EXPECT_THAT(unit::log_messages(), ElementsAre("Connected to Discord IPC."));
}

TEST_F(PresenceTest, WithoutStatusTheBareTextIsSentOnceAndAHealthyPipeCostsOnePeek)
{
    pass();
    EXPECT_THAT(commands(), ElementsAre(publish(kBare, kSeed + 1)));

    fake::clear_calls();
    pass();
    pass();
    EXPECT_THAT(commands(), ElementsAre(publish(kBare, kSeed + 1)));
    EXPECT_EQ(unit::discord_pipe_calls("PeekNamedPipe"), 2u) << "one peek a pass";
    EXPECT_EQ(unit::discord_pipe_calls("ReadFile"), 0u);
    EXPECT_EQ(unit::discord_pipe_calls("WriteFile"), 0u);
    EXPECT_EQ(unit::discord_pipe_calls("CreateFileA"), 0u);
    EXPECT_EQ(connection_.nonce, kSeed + 1);
}

TEST_F(PresenceTest, StatusBecomingUsableThenStaleSwitchesTheText)
{
    pass();
    fake::put_file(kStatusPath, status_at(1700000000));
    Sleep(15000);  // the publishing interval
    pass();
    Sleep(31000);  // the status is now more than 30 s old
    pass();
    EXPECT_THAT(commands(), ElementsAre(publish(kBare, kSeed + 1), publish(kComposed, kSeed + 2),
                                        publish(kBare, kSeed + 3)));
    EXPECT_STREQ(connection_.last_activity, kBare);
}

// A refusal that persists: the text goes again once per publishing interval, each time with a
// new nonce, and a minute of it adds one line to the log.
TEST_F(PresenceTest, RefusalThatPersistsIsRetriedPacedAndLoggedOnce)
{
    fake::pipe(0).on_frame = [](fake::PipePeer& peer, const fake::Frame& frame) {
        if (frame.opcode == 0) {
            peer.reply(fake::ready_payload());
        } else {
            peer.reply(fake::error_reply(nonce_of(frame.payload), "bad activity"));
        }
    };
    for (int second = 0; second <= 60; second += 2) {
        pass();
        Sleep(2000);
    }
    EXPECT_THAT(commands(), ElementsAre(publish(kBare, kSeed + 1), publish(kBare, kSeed + 2),
                                        publish(kBare, kSeed + 3), publish(kBare, kSeed + 4)))
        << "at 0, 16, 32 and 48 s: the first pass after each interval";
    EXPECT_THAT(unit::log_messages(),
                ElementsAre("Connected to Discord IPC.", fake::error_reply("101", "bad activity")));
    EXPECT_EQ(fake::pipe(0).connections, 1) << "a refusal keeps the connection";
}

// Status changes every second for 20 s, a pass every 2 s: SET_ACTIVITY goes at least 15 s
// apart, and the last status is published within 17 s of its change.
TEST_F(PresenceTest, StormOfChangesIsPacedAndTheNewestWins)
{
    std::vector<std::pair<uint64_t, std::string>> sent;  // time and payload of each command
    fake::on_pipe_write([&sent](int, const std::string& bytes) {
        if (bytes.size() > 8 && bytes[0] == 1) {
            sent.emplace_back(fake::now_ms(), bytes.substr(8));
        }
    });
    const int kLastChange = 19;
    for (int second = 0; second <= 40; ++second) {
        // The game side renews the time stamp every second; the zone stops changing at 19 s.
        int zone = second <= kLastChange ? second : kLastChange;
        fake::put_file(kStatusPath, "{\"ok\":true,\"in_world\":true,\"ts\":" + std::to_string(1700000000 + second) +
                                        ",\"name\":\"Tamsin\",\"zone\":\"Zone " + std::to_string(zone) + "\"}");
        if (second % 2 == 0) {
            pass();
        }
        Sleep(1000);
    }
    fake::on_pipe_write(nullptr);
    ASSERT_GE(sent.size(), 2u);
    for (size_t i = 1; i < sent.size(); ++i) {
        EXPECT_GE(sent[i].first - sent[i - 1].first, 15000u) << "command " << i;
    }
    EXPECT_LE(sent.size(), 3u) << "at most two in the 20 s of the storm, and the last one after it";
    const std::string& last = sent.back().second;
    EXPECT_NE(last.find("\"state\":\"Zone 19\""), std::string::npos) << last;
    EXPECT_LE(sent.back().first, (kLastChange + 17) * 1000u) << "the newest within 17 s of its change";
    for (size_t i = 0; i + 1 < sent.size(); ++i) {
        EXPECT_EQ(sent[i].second.find("Zone 19"), std::string::npos) << "only the last carries the last zone";
    }
}

TEST_F(PresenceTest, BrokenPublishReconnectsNextPassAndResendsEvenTheTextAcceptedBefore)
{
    pass();  // the bare text is accepted
    fake::put_file(kStatusPath, status_at(1700000000));
    fake::pipe(0).write_script = {"fail"};
    Sleep(15000);  // the publishing interval
    pass();  // the composed text fails to go out: dropped
    EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
    fake::remove_file(kStatusPath);
    pass();  // a new connection, and the bare text again
    EXPECT_EQ(fake::pipe(0).connections, 2);
    EXPECT_THAT(commands(), ElementsAre(publish(kBare, kSeed + 1), publish(kBare, kSeed + 3)))
        << "the failed publish spent nonce 102 without reaching the peer";
    EXPECT_STREQ(connection_.last_activity, kBare);
}

TEST_F(PresenceTest, DiscordStartedLaterIsReachedByTheNextPassWithTheSameStart)
{
    fake::pipe(0).present = false;
    fake::put_file(kStatusPath, status_at(1700000000));
    pass();
    EXPECT_EQ(fake::count_calls("ReadFile"), 0u) << "no status read without a connection";
    EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);

    fake::pipe(0).present = true;
    Sleep(2000);
    pass();
    EXPECT_THAT(commands(), ElementsAre(publish(kComposed, kSeed + 1)));
}

// A Discord restart closes its end of the pipe while the text stays the same: the peek at the
// start of the pass notices, and the same pass connects again and publishes the text again.
TEST_F(PresenceTest, PeerClosedBetweenPassesIsNoticedAndTheSamePassRepublishes)
{
    pass();
    fake::pipe(0).close();
    pass();
    EXPECT_EQ(fake::pipe(0).connections, 2);
    EXPECT_THAT(commands(), ElementsAre(publish(kBare, kSeed + 1), publish(kBare, kSeed + 2)));
    EXPECT_STREQ(connection_.last_activity, kBare);
    EXPECT_THAT(unit::log_messages(), ElementsAre("Connected to Discord IPC.", "Connected to Discord IPC."));
    EXPECT_EQ(fake::open_handle_count(), 1u) << "the broken pipe was closed";
}

TEST_F(PresenceTest, PeerClosedWhileDiscordStaysAwayLeavesThePassUnconnected)
{
    pass();
    fake::pipe(0).close();
    fake::pipe(0).present = false;
    fake::clear_calls();
    pass();
    EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(connection_.last_activity, "");
    EXPECT_EQ(fake::count_calls("ReadFile"), 0u);
    EXPECT_EQ(fake::open_handle_count(), 0u);
}

TEST_F(PresenceTest, EndClearsAndClosesWhenConnected)
{
    pass();
    presence_end(&connection_, kGamePid);
    EXPECT_EQ(commands().back(),
              "{\"cmd\":\"SET_ACTIVITY\",\"args\":{\"pid\":4242,\"activity\":null},\"nonce\":\"102\"}");
    EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(fake::pipe(0).connected);
    EXPECT_EQ(fake::open_handle_count(), 0u);
}

TEST_F(PresenceTest, EndWithoutAConnectionSendsNothingAndConnectsNothing)
{
    presence_end(&connection_, kGamePid);
    EXPECT_EQ(unit::discord_pipe_calls("CreateFileA"), 0u);
    EXPECT_TRUE(fake::pipe(0).frames.empty());
    EXPECT_EQ(connection_.nonce, kSeed);
}

}  // namespace
