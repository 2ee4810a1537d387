"""End-to-end tests of the real program in hostile and broken surroundings, natively on Linux:
a status file replaced every 5 ms, the log taken away mid-run, two copies beside one game, and a
local program squatting the first Discord pipe name.

usage: hostile.py BUILD_DIR SCENARIO
Reuses the end-to-end harness (tests/e2e/harness.py). Python 3 standard library only.
"""

import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import harness  # noqa: E402
from harness import (MSG_CLOSED, MSG_CONNECTED, MSG_DETECTED, MSG_REFUSED, MSG_STOPPED, NONCE,  # noqa: E402
                     START, bare_activity, compose_activity, fail, status_record, wait_for)

PASS_S = 2.0
PUBLISH_INTERVAL_S = 15.0  # the least time between two SET_ACTIVITY on a connection
REPLY_LIMIT_S = 5.0
# Safety limit for a program to end after its game: one pass, its sleep, and slack for a slow CI.
END_LIMIT_S = REPLY_LIMIT_S + PASS_S + 3.0
WRITER_SECONDS = 60.0  # a minute of a status file replaced every 5 ms


def now():
    return int(time.time())


def commands(s, log):
    """The SET_ACTIVITY payloads the stand-in received, in order."""
    return [payload for op, payload in s.frames(log) if op == 1]


def activity_of(payload):
    head, tail = payload.find('"activity":'), payload.rfind('},"nonce":"')
    if head < 0 or tail < 0:
        fail("not a SET_ACTIVITY: %s" % payload)
    return payload[head + len('"activity":'):tail]


def check_nonces(payloads):
    nonces = [int(NONCE.search(p).group(1)) for p in payloads]
    for before, after in zip(nonces, nonces[1:]):
        if after != (before + 1) % 2**32:
            fail("nonces do not rise by one: %s" % nonces)


def status_of(counter):
    zone = "Zone %d" % counter
    return dict(name="Tamsin", zone=zone, guild="Lantern Keepers", faction="coastal",
                **{"class": "Warden"}, race="Human", level=1 + counter % 80)


# ---- a status file replaced every 5 ms ----------------------------------------------------------

def status_rewritten_every_5ms(s):
    """Every activity sent is the composed text of one status that was written, or the bare text:
    never a mixture of two writes, never a torn one."""
    discord = s.start_discord()
    s.write_status(status_record(now(), **status_of(0)))
    game, pid = s.start_game(scannable=False)
    s.start_program("--pid", str(pid))
    frames = s.wait_frames(discord.log, 2)
    start = int(START.search(frames[1][1]).group(1))

    written = {0: status_of(0)}
    stop = threading.Event()

    def writer():
        counter = 0
        while not stop.is_set():
            counter += 1
            written[counter] = status_of(counter)
            s.write_status(status_record(now(), **written[counter]))
            time.sleep(0.005)

    thread = threading.Thread(target=writer)
    thread.start()
    time.sleep(WRITER_SECONDS)
    stop.set()
    thread.join()
    s.stop(game)
    s.check_exit(s.wait_program(END_LIMIT_S))

    allowed = {compose_activity(status, start) for status in written.values()}
    allowed.add(bare_activity(start))
    payloads = commands(s, discord.log)
    activities = [activity_of(p) for p in payloads[:-1]]
    for activity in activities:
        if activity not in allowed:
            fail("an activity that no single status gives: %s" % activity)
    if activity_of(payloads[-1]) != "null":
        fail("the last command is not the clear: %s" % payloads[-1])
    # About one publish per publishing interval: the writer changes the text far faster.
    if len(activities) < WRITER_SECONDS // (PUBLISH_INTERVAL_S + PASS_S):
        fail("only %d activities in %.0f s" % (len(activities), WRITER_SECONDS))
    check_nonces(payloads)
    s.check_log([MSG_DETECTED, MSG_CONNECTED, MSG_STOPPED])
    print("%d status files written, %d activities sent" % (len(written), len(activities)))


# ---- the log taken away mid-run -----------------------------------------------------------------

def publish_change_and_end(s, discord, game, pid, zone):
    """Writes a new status, waits for it to reach the stand-in, ends the game; the program must
    end with 0 within the limit."""
    before = len(commands(s, discord.log))
    s.write_status(status_record(now(), **dict(status_of(1), zone=zone)))
    wait_for(lambda: len(commands(s, discord.log)) > before, PUBLISH_INTERVAL_S + 2 * PASS_S + 4,
             "the status change to reach the stand-in Discord")
    s.stop(game)
    s.check_exit(s.wait_program(END_LIMIT_S))


def log_deleted(s):
    """The log removed mid-run: the program goes on and starts a new log with its next line."""
    discord = s.start_discord()
    s.write_status(status_record(now(), **status_of(0)))
    game, pid = s.start_game(scannable=False)
    s.start_program("--pid", str(pid))
    s.wait_frames(discord.log, 2)
    s.wait_log(MSG_CONNECTED)
    os.unlink(os.path.join(s.data, "Brightrelay.log"))
    publish_change_and_end(s, discord, game, pid, "After the log went")
    s.check_log([MSG_STOPPED])


def log_replaced_by_folder(s):
    """The log's name taken by a folder mid-run, so that no line can be written (a read-only
    folder would not stop the writes of a program run as root): the program still publishes
    and ends with 0, and nothing is written anywhere else."""
    discord = s.start_discord()
    s.write_status(status_record(now(), **status_of(0)))
    game, pid = s.start_game(scannable=False)
    s.start_program("--pid", str(pid))
    s.wait_frames(discord.log, 2)
    s.wait_log(MSG_CONNECTED)
    log = os.path.join(s.data, "Brightrelay.log")
    os.unlink(log)
    os.mkdir(log)
    publish_change_and_end(s, discord, game, pid, "After the log became a folder")
    if os.listdir(log):
        fail("something was written into the folder that took the log's name: %s" % os.listdir(log))
    names = sorted(os.listdir(s.data))
    if names != ["Brightrelay.log", "discord_application_id", "discord_kel_status.json"]:
        fail("unexpected files in the data folder: %s" % names)


# ---- two copies beside one game -----------------------------------------------------------------

def two_copies(s):
    """Two copies share the data folder and its log beside one game; Discord refuses every
    command and then closes the connection, so each copy connects again and logs a long refusal
    every pass. Both run and end with 0, and every line of the shared log is whole: a time stamp,
    one message, CR LF."""
    discord = s.start_discord("--fault", "error", "--fault", "close-frame-after:2")
    s.write_status(status_record(now(), **status_of(0)))
    game, pid = s.start_game(scannable=False)
    second = s.start_program("--pid", str(pid))
    first = s.start_program("--pid", str(pid))  # the harness waits on the last one started
    deadline = time.monotonic() + 12
    counter = 0
    while time.monotonic() < deadline:
        counter += 1
        s.write_status(status_record(now(), **status_of(counter)))
        time.sleep(0.25)
    s.stop(game)
    for proc in (first, second):
        try:
            code = proc.popen.wait(END_LIMIT_S)
        except subprocess.TimeoutExpired:
            fail("a copy did not end within %.0f s of the game" % END_LIMIT_S)
        if code != 0:
            fail("a copy ended with %s" % code)
    messages = s.log_messages()  # fails on any line that is not whole
    for fixed in (MSG_DETECTED, MSG_STOPPED):
        if messages.count(fixed) != 2:
            fail("%r logged %d times, not once per copy: %s" % (fixed, messages.count(fixed), messages))
    closes = [m for m in messages if m.startswith(MSG_CLOSED)]
    if len(closes) != 2:
        fail("the client's close logged %d times, not once per copy: %s" % (len(closes), closes))
    refusals = [m for m in messages if m not in (MSG_DETECTED, MSG_CONNECTED, MSG_STOPPED) and m not in closes]
    for message in refusals:
        if '"ERROR"' not in message or not message.startswith("{") or not message.endswith("}"):
            fail("a torn or mixed refusal line: %r" % message)
    if len(refusals) < 8:
        fail("only %d refusals logged by the two copies" % len(refusals))
    connections = [e for e in s.events(discord.log) if e[0] == "connect"]
    if len(connections) != messages.count(MSG_CONNECTED):
        fail("%d connections at the stand-in, %d logged" % (len(connections), messages.count(MSG_CONNECTED)))


# ---- a squatter on the first pipe name ----------------------------------------------------------

def squatter(mode):
    def scenario(s):
        """A local program holds pipe index 0 and answers garbage or nothing; Discord waits on
        index 1. The program never reaches it (an attempt ends at the first pipe that opens), logs
        nothing it was not meant to, and ends within the reply limit and one pass of the game."""
        discord = s.start_discord(index=1)
        ready = s.path("squatter.ready")
        squat = subprocess.Popen([sys.executable, os.path.join(HERE, "squatter.py"), s.run_dir, "0",
                                  mode, ready], stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        try:
            wait_for(lambda: os.path.exists(ready), 10, "the squatter to listen")
            s.write_status(status_record(now(), **status_of(0)))
            game, pid = s.start_game(scannable=False)
            s.start_program("--pid", str(pid))
            s.wait_log(MSG_DETECTED)
            time.sleep(3 * (REPLY_LIMIT_S + PASS_S))  # a few passes against the squatter
            began = time.monotonic()
            s.stop(game)
            s.check_exit(s.wait_program(END_LIMIT_S))
            took = time.monotonic() - began
        finally:
            squat.kill()
            squat.wait()
        messages = s.log_messages()  # fails on a line that is not whole
        if MSG_CONNECTED in messages:
            fail("the program took the squatter for Discord: %s" % messages)
        extra = [m for m in messages[1:-1] if not m.startswith(MSG_REFUSED)]
        if messages[0] != MSG_DETECTED or messages[-1] != MSG_STOPPED or extra:
            fail("unexpected log lines: %s" % messages)
        if [e for e in s.events(discord.log) if e[0] == "connect"]:
            fail("the program reached pipe 1 although pipe 0 opened")
        print("ended %.1f s after the game (limit %.1f s)" % (took, END_LIMIT_S))
    return scenario


SCENARIOS = {
    "status_rewritten_every_5ms": status_rewritten_every_5ms,
    "log_deleted": log_deleted,
    "log_replaced_by_folder": log_replaced_by_folder,
    "two_copies": two_copies,
    "squatter_garbage": squatter("garbage"),
    "squatter_silent": squatter("silent"),
}


def main(argv):
    if len(argv) != 2 or argv[1] not in SCENARIOS:
        print(__doc__)
        print("scenarios: %s" % " ".join(SCENARIOS))
        return 2
    lane = harness.native_lane(argv[0])
    return harness.run(SCENARIOS[argv[1]], "hostile-%s" % argv[1], lane)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
