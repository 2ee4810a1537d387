#!/usr/bin/python3
"""End-to-end scenarios of the whole program: one scenario per run, on one lane.

usage: scenarios.py native BUILD_DIR SCENARIO
       scenarios.py wine64 PROGRAM_DIR TOOLS_DIR PREFIX SCENARIO
       scenarios.py wine32 PROGRAM_DIR TOOLS_DIR PREFIX SCENARIO
       scenarios.py package ZIP_DIR WIN32_DIR WIN64_DIR PREFIX
The wine lanes need their prefix made by wine_setup.py (which also finds out whether 32-bit
programs run). The 32-bit lane uses the 64-bit stand-ins from TOOLS_DIR.
"""

import glob
import os
import shlex
import shutil
import signal
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import (DOT, MSG_CONNECTED, MSG_DETECTED, MSG_ID_MISSING, MSG_NO_GAME,  # noqa: E402
                     MSG_NO_OPEN, MSG_PRESENCE_OFF, MSG_REFUSED, MSG_STOPPED, SAMPLE_STATUS,
                     bare_activity, clear_activity, compose_activity, fail, handshake,
                     set_activity, status_record, wait_for)

PASS_S = 2.0
# The program waits this long for each reply before it drops the connection.
REPLY_LIMIT_S = 5.0
# Safety limit for "the program ends after the game": a pass and its sleep, plus start-up slack.
END_LIMIT_S = 2 * PASS_S + 8
CONNECT, CLOSE = ("connect", None, None), ("close", None, None)


def frame(op, payload):
    return ("frame", op, payload)


def check_one_activity_then_clear(s, discord, pid, start, nonce):
    """After the game's end: exit 0, one connection that carried the sample activity and the
    clear, and the log of a run that connected."""
    s.check_exit(s.wait_program(END_LIMIT_S))
    s.check_events(discord.log, [
        CONNECT,
        frame(0, handshake(harness.APPLICATION_ID)),
        frame(1, set_activity(pid, compose_activity(SAMPLE_STATUS, start), nonce)),
        frame(1, clear_activity(pid, nonce + 1)),
        CLOSE,
    ])
    s.check_log([MSG_DETECTED, MSG_CONNECTED, MSG_STOPPED])


def now():
    return int(time.time())


def game_args(pid, by_scan):
    """Only the scan scenarios find the game by name (natively each in a process list of its
    own); the others name it with --pid."""
    return [] if by_scan else ["--pid", str(pid)]


# ---- Discord up at start ------------------------------------------------------------------------

def discord_up_at_start(s, by_scan=True):
    """Connects in the first pass, publishes each change of the status once, falls back to the
    bare text when the status goes stale, clears at the game's end."""
    discord = s.start_discord()
    first = dict(SAMPLE_STATUS)
    s.write_status(status_record(now(), **first))
    game, pid = s.start_game(scannable=by_scan)
    s.start_program(*game_args(pid, by_scan))
    frames = s.wait_frames(discord.log, 2)
    start, nonce = s.first_start_and_nonce(frames[1][1])

    second = dict(first, zone="Saltmarsh Gate", level=28)
    s.write_status(status_record(now(), **second))
    s.wait_frames(discord.log, 3)
    third = dict(second, zone="Old Lighthouse", guild="Tide Wardens")
    s.write_status(status_record(now(), **third))
    s.wait_frames(discord.log, 4)
    s.write_status(status_record(now() - 40, **third))  # stale: the bare text
    s.wait_frames(discord.log, 5)
    # A pass with nothing new sends nothing: let one go by before the end.
    time.sleep(PASS_S + 0.5)
    s.stop(game)
    s.check_exit(s.wait_program(END_LIMIT_S))

    s.check_events(discord.log, [
        CONNECT,
        frame(0, handshake(harness.APPLICATION_ID)),
        frame(1, set_activity(pid, compose_activity(first, start), nonce)),
        frame(1, set_activity(pid, compose_activity(second, start), nonce + 1)),
        frame(1, set_activity(pid, compose_activity(third, start), nonce + 2)),
        frame(1, set_activity(pid, bare_activity(start), nonce + 3)),
        frame(1, clear_activity(pid, nonce + 4)),
        CLOSE,
    ])
    s.check_log([MSG_DETECTED, MSG_CONNECTED, MSG_STOPPED])
    # The composed details of the sample status, as Discord would show them once decoded.
    if compose_activity(first, 0).find("Tamsin <Lantern Keepers> %s Lvl 27 Warden %s Human %s Coastal"
                                       % (DOT, DOT, DOT)) < 0:
        fail("the oracle does not compose the sample status as expected")


# ---- Discord comes and goes -------------------------------------------------------------------

def discord_after_game(s):
    """Passes without Discord send nothing; the pass after Discord appears connects and publishes."""
    s.write_status(status_record(now(), **SAMPLE_STATUS))
    game, pid = s.start_game(scannable=False)
    s.start_program("--pid", str(pid))
    s.wait_log(MSG_DETECTED)
    time.sleep(2 * PASS_S + 0.5)  # two passes that find no Discord
    discord = s.start_discord()
    frames = s.wait_frames(discord.log, 2, limit_s=2 * PASS_S + 4)
    start, nonce = s.first_start_and_nonce(frames[1][1])
    # Keep the status fresh and the same: nothing more is sent.
    s.write_status(status_record(now(), **SAMPLE_STATUS))
    time.sleep(PASS_S + 0.5)
    s.stop(game)
    check_one_activity_then_clear(s, discord, pid, start, nonce)


def discord_restarted(s):
    """Discord dies mid-run and comes back: the same text goes out again on the new connection,
    the nonces go on rising and the start time stays the same."""
    s.write_status(status_record(now(), **SAMPLE_STATUS))
    first = s.start_discord()
    game, pid = s.start_game(scannable=False)
    s.start_program("--pid", str(pid))
    frames = s.wait_frames(first.log, 2)
    start, nonce = s.first_start_and_nonce(frames[1][1])
    s.kill_discord(first)
    time.sleep(PASS_S + 0.5)  # at least one pass sees Discord gone
    s.write_status(status_record(now(), **SAMPLE_STATUS))
    second = s.start_discord()
    # Within two passes of its return.
    s.wait_frames(second.log, 2, limit_s=2 * PASS_S + 2)
    s.stop(game)
    s.check_exit(s.wait_program(END_LIMIT_S))
    text = compose_activity(SAMPLE_STATUS, start)
    before = s.events(first.log)
    if s.lane.wine:
        expected_before = [CONNECT, frame(0, handshake(harness.APPLICATION_ID)),
                           frame(1, set_activity(pid, text, nonce)), CLOSE]
    else:  # killed: the stand-in logged nothing more
        expected_before = [CONNECT, frame(0, handshake(harness.APPLICATION_ID)),
                           frame(1, set_activity(pid, text, nonce))]
    if before != expected_before:
        s.check_events(first.log, expected_before)
    s.check_events(second.log, [
        CONNECT,
        frame(0, handshake(harness.APPLICATION_ID)),
        frame(1, set_activity(pid, text, nonce + 1)),
        frame(1, clear_activity(pid, nonce + 2)),
        CLOSE,
    ])
    s.check_log([MSG_DETECTED, MSG_CONNECTED, MSG_CONNECTED, MSG_STOPPED])


def discord_error(s):
    """Discord answers every SET_ACTIVITY with ERROR: each reply is logged as received and the
    same text goes out again on every pass, with a new nonce."""
    discord = s.start_discord("--fault", "error")
    s.write_status(status_record(now(), **SAMPLE_STATUS))
    game, pid = s.start_game(scannable=False)
    s.start_program("--pid", str(pid))
    frames = s.wait_frames(discord.log, 4, limit_s=3 * PASS_S + 4)
    start, nonce = s.first_start_and_nonce(frames[1][1])
    s.stop(game)
    s.check_exit(s.wait_program(END_LIMIT_S))
    text = compose_activity(SAMPLE_STATUS, start)
    sent = len(s.frames(discord.log)) - 2  # less the handshake and the clear
    s.check_events(discord.log, [CONNECT, frame(0, handshake(harness.APPLICATION_ID))] +
                   [frame(1, set_activity(pid, text, nonce + k)) for k in range(sent)] +
                   [frame(1, clear_activity(pid, nonce + sent)), CLOSE])
    errors = s.replies(discord.log)[1:1 + sent]
    if len(errors) != sent or not all('"ERROR"' in e for e in errors):
        fail("expected %d ERROR replies, the stand-in sent %s" % (sent, errors))
    s.check_log([MSG_DETECTED, MSG_CONNECTED] + errors + [MSG_STOPPED])


def silent_after(fault, frames_before_stop):
    def scenario(s):
        """A Discord that never answers: the program gives up on the reply, and the end of the
        game is still noticed and the program ends in time."""
        discord = s.start_discord("--fault", fault)
        s.write_status(status_record(now(), **SAMPLE_STATUS))
        game, pid = s.start_game(scannable=False)
        s.start_program("--pid", str(pid))
        frames = s.wait_frames(discord.log, frames_before_stop)
        s.stop(game)
        # The read in progress gives up after its limit; then one sleep and the test of the game.
        s.check_exit(s.wait_program(REPLY_LIMIT_S + PASS_S + 4))
        expected = [CONNECT, frame(0, handshake(harness.APPLICATION_ID))]
        if frames_before_stop == 2:
            start, nonce = s.first_start_and_nonce(frames[1][1])
            expected.append(frame(1, set_activity(pid, compose_activity(SAMPLE_STATUS, start), nonce)))
        s.check_events(discord.log, expected + [CLOSE])
        s.check_log([MSG_DETECTED] + ([MSG_CONNECTED] if frames_before_stop == 2 else []) +
                    [MSG_STOPPED])
    return scenario


# ---- wrong settings ------------------------------------------------------------------------------

def no_application_id(s):
    """No ID file: the two messages, the game still watched, nothing sent, a normal end."""
    os.remove(os.path.join(s.data, "discord_application_id"))
    discord = s.start_discord()
    s.write_status(status_record(now(), **SAMPLE_STATUS))
    game, pid = s.start_game(scannable=False)
    s.start_program("--pid", str(pid))
    s.wait_log(MSG_DETECTED)
    time.sleep(2 * PASS_S + 0.5)
    if s.program_proc.popen.poll() is not None:
        fail("the program ended while the game still ran")
    s.stop(game)
    s.check_exit(s.wait_program(END_LIMIT_S))
    s.check_events(discord.log, [])
    s.check_log([MSG_ID_MISSING, MSG_PRESENCE_OFF, MSG_DETECTED, MSG_STOPPED])


def refused(*discord_options):
    def scenario(s):
        """Discord refuses the handshake: the refusal is logged once, however many passes try."""
        discord = s.start_discord(*discord_options)
        s.write_status(status_record(now(), **SAMPLE_STATUS))
        game, pid = s.start_game(scannable=False)
        s.start_program("--pid", str(pid))
        wait_for(lambda: s.events(discord.log).count(CLOSE) >= 2, 2 * PASS_S + 6,
                 "two refused connection attempts (events: %s)" % s.events(discord.log))
        s.stop(game)
        s.check_exit(s.wait_program(END_LIMIT_S))
        attempts = s.events(discord.log).count(CONNECT)
        s.check_events(discord.log, [CONNECT, frame(0, handshake(harness.APPLICATION_ID)), CLOSE]
                       * attempts)
        reply = s.replies(discord.log)[0]
        s.check_log([MSG_DETECTED, MSG_REFUSED + reply, MSG_STOPPED])
    return scenario


# ---- the target process -----------------------------------------------------------------------

def no_game(s):
    """No game and no --pid: about 5 s of scans, then the final message; Discord untouched."""
    discord = s.start_discord()
    began = time.monotonic()
    s.check_exit(s.run_program(limit_s=20))
    if time.monotonic() - began < 4.5:
        fail("gave up after %.1f s, before its 25 scans" % (time.monotonic() - began))
    s.check_events(discord.log, [])
    s.check_log([MSG_NO_GAME])


def pid_not_the_game(s):
    """--pid of a process with another name: watched all the same, its end ends the run."""
    discord = s.start_discord()
    s.write_status(status_record(now(), **SAMPLE_STATUS))
    other, pid = s.start_game(exe_name="Other_Tool.exe", scannable=False)
    s.start_program("--pid", str(pid))
    frames = s.wait_frames(discord.log, 2)
    start, nonce = s.first_start_and_nonce(frames[1][1])
    s.stop(other)
    check_one_activity_then_clear(s, discord, pid, start, nonce)


def pid_of_no_process(s):
    """--pid naming no process: the run ends at once, without a name scan."""
    discord = s.start_discord()
    if s.lane.wine:
        # Wine hands out small ids that are multiples of 4; this one is never reached here.
        missing = 0x3FFFFC
    else:
        with open("/proc/sys/kernel/pid_max") as f:
            missing = int(f.read()) + 1  # above every id the kernel gives out
    began = time.monotonic()
    s.check_exit(s.run_program("--pid", str(missing), limit_s=20))
    if time.monotonic() - began > 4.0 and not s.lane.wine:
        fail("took %.1f s: a name scan ran" % (time.monotonic() - began))
    s.check_events(discord.log, [])
    s.check_log([MSG_NO_OPEN])


# ---- launch mode: the program starts the game's command -----------------------------------------

def check_launched_game_run(s, discord, pid, start, nonce, code, expected_code):
    """After the launched game's end: the command's exit status, one connection that carried the
    sample activity and the clear, and the log of a run that connected."""
    s.check_exit(code, expected_code)
    s.check_events(discord.log, [
        CONNECT,
        frame(0, handshake(harness.APPLICATION_ID)),
        frame(1, set_activity(pid, compose_activity(SAMPLE_STATUS, start), nonce)),
        frame(1, clear_activity(pid, nonce + 1)),
        CLOSE,
    ])
    s.check_log([MSG_DETECTED, MSG_CONNECTED, MSG_STOPPED])


def launch_game_later(s):
    """A launcher that starts the game 10 s after it was started itself (later than the 5 s the
    program looks for a game without one): the game is found, published and cleared, and the
    launcher's exit status (its game's) is the program's."""
    discord = s.start_discord()
    s.write_status(status_record(now(), **SAMPLE_STATUS))
    game, pid_file, stop_file = s.game_command(exit_code=5)
    s.start_program("--", "sh", "-c", 'sleep 10; "$0" "$@"', *game)
    time.sleep(7)
    if s.program_proc.popen.poll() is not None:
        fail("the program ended before the game started: %s" % s.log_messages())
    pid = s.wait_pid_file(pid_file, 15)
    frames = s.wait_frames(discord.log, 2, limit_s=2 * PASS_S + 4)
    start, nonce = s.first_start_and_nonce(frames[1][1])
    s.write_status(status_record(now(), **SAMPLE_STATUS))
    open(stop_file, "w").close()
    check_launched_game_run(s, discord, pid, start, nonce, s.wait_program(END_LIMIT_S), 5)


def launch_exits_3(s):
    """A command that ends with 3 without starting the game: the run ends with the usual message
    and the command's status; Discord untouched."""
    discord = s.start_discord()
    s.check_exit(s.run_program("--", "sh", "-c", "sleep 1; exit 3", limit_s=20), 3)
    s.check_events(discord.log, [])
    s.check_log([MSG_NO_GAME])


def launch_not_found(s):
    """A command that cannot be started: the command and the reason in the final message, the
    status a shell gives for a command not found. Natively also a command line too long to pass
    on whole, which is refused rather than cut."""
    discord = s.start_discord()
    missing = os.path.join(s.tools, "No_Such_Game.exe")
    s.check_exit(s.run_program("--", s.lane.path_arg(missing), "-x", limit_s=20), 127)
    expected = ["Could not start the command %s -x: file not found; Brightrelay exiting."
                % s.lane.path_arg(missing)]
    if not s.lane.wine:
        s.check_exit(s.run_program("--", "true", "x" * 40000, limit_s=20), 1)
        expected.append("Could not start the command: its command line is longer than 32767 "
                        "characters; Brightrelay exiting.")
    s.check_events(discord.log, [])
    s.check_log(expected)


def launch_sigterm(s):
    """SIGTERM to the program while the game it started runs: the signal reaches the game, the
    presence is cleared, and the program ends with the game's status (128 + 15)."""
    discord = s.start_discord()
    s.write_status(status_record(now(), **SAMPLE_STATUS))
    game, pid_file, _stop_file = s.game_command()
    s.start_program("--", *game)
    pid = s.wait_pid_file(pid_file, 15)
    frames = s.wait_frames(discord.log, 2)
    start, nonce = s.first_start_and_nonce(frames[1][1])
    s.program_proc.popen.send_signal(signal.SIGTERM)
    check_launched_game_run(s, discord, pid, start, nonce, s.wait_program(END_LIMIT_S),
                            128 + signal.SIGTERM)
    if os.path.exists("/proc/%d" % pid):
        fail("the game %d still runs after the program ended" % pid)


README_PROGRAM = "/path/to/brightrelay"


def steam_line():
    """The Steam launch options line of the README, as written there."""
    readme = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
    with open(readme) as f:
        for line in f:
            if line.strip().startswith(README_PROGRAM) and "%command%" in line:
                return line.strip()
    fail("README.md shows no Steam line (%s ... %%command%%)" % README_PROGRAM)


def launch_steam_line(s):
    """The README's Steam line, run by a shell as a launcher runs it, with the stand-in game as
    %command%: found, published, cleared, the game's exit status passed through."""
    discord = s.start_discord()
    s.write_status(status_record(now(), **SAMPLE_STATUS))
    game, pid_file, stop_file = s.game_command(exit_code=6)
    line = steam_line().replace(README_PROGRAM, shlex.quote(s.program))
    line = line.replace("%command%", " ".join(shlex.quote(word) for word in game))
    s.start_program_command(["sh", "-c", line])
    pid = s.wait_pid_file(pid_file, 15)
    frames = s.wait_frames(discord.log, 2)
    start, nonce = s.first_start_and_nonce(frames[1][1])
    open(stop_file, "w").close()
    check_launched_game_run(s, discord, pid, start, nonce, s.wait_program(END_LIMIT_S), 6)


def launch_game(s):
    """The game itself as the command: found by name, published, cleared, and its exit status
    passed through (under wine: CreateProcessA of the Windows program)."""
    discord = s.start_discord()
    s.write_status(status_record(now(), **SAMPLE_STATUS))
    game, pid_file, stop_file = s.game_command(exit_code=7)
    s.start_program("--", *game)
    pid = s.wait_pid_file(pid_file, 30)
    frames = s.wait_frames(discord.log, 2, limit_s=2 * PASS_S + 6)
    start, nonce = s.first_start_and_nonce(frames[1][1])
    open(stop_file, "w").close()
    check_launched_game_run(s, discord, pid, start, nonce, s.wait_program(END_LIMIT_S), 7)


# Scenarios that find the game by name: natively each runs in a process list of its own.
SCAN_SCENARIOS = {"discord_up_at_start", "no_game", "launch_game_later", "launch_exits_3",
                  "launch_sigterm", "launch_steam_line", "launch_game"}

SCENARIOS = {
    "discord_up_at_start": discord_up_at_start,
    "discord_after_game": discord_after_game,
    "discord_restarted": discord_restarted,
    "discord_error": discord_error,
    "discord_silent_commands": silent_after("silent-commands", 2),
    "discord_silent": silent_after("silent", 1),
    "no_application_id": no_application_id,
    "refused_handshake": refused("--fault", "refuse"),
    "wrong_client_id": refused("--client-id", "100000000000000001"),
    "no_game": no_game,
    "pid_not_the_game": pid_not_the_game,
    "pid_of_no_process": pid_of_no_process,
    "launch_game_later": launch_game_later,
    "launch_exits_3": launch_exits_3,
    "launch_not_found": launch_not_found,
    "launch_sigterm": launch_sigterm,
    "launch_steam_line": launch_steam_line,
    "launch_game": launch_game,
}


# ---- lanes -------------------------------------------------------------------------------------

# Under emulation a 32-bit program needs about a minute to start (and some time to end): the
# safety limits of its scenarios grow by this much. The program's own passes stay real.
EMULATED_ALLOWANCE_S = 180.0
FULL_32BIT_SUITE = "BRIGHTRELAY_WINE32_FULL"  # set by scripts/test --wine32-full


def probe_result(prefix):
    """What wine_setup.py found out about 32-bit programs: ("native" or "emulated", None), or
    (None, why they do not run)."""
    try:
        with open(prefix + ".probe32") as f:
            text = f.read().strip()
    except FileNotFoundError:
        return None, "the 32-bit probe has not run (run the test e2e.wine32.setup first)"
    return (text, None) if text in ("native", "emulated") else (None, text)


def wine32_lane(win32_dir, win64_dir, prefix, package=False):
    """The 32-bit lane as this machine runs it; raises Skip with the reason where it does not,
    and under emulation (slow) for every scenario but the package's unless the whole suite was
    asked for."""
    mode, reason = probe_result(prefix)
    if mode is None:
        raise harness.Skip("32-bit Windows programs do not run here: %s" % reason)
    if mode == "emulated" and not package and os.environ.get(FULL_32BIT_SUITE) != "1":
        raise harness.Skip("32-bit wine runs here only under emulation (about a minute per "
                           "program start); the package scenario runs the 32-bit program, and "
                           "scripts/test --wine32-full runs every 32-bit scenario")
    allowance = EMULATED_ALLOWANCE_S if mode == "emulated" else 0.0
    if mode == "emulated":
        print("32-bit wine under emulation: safety limits %+.0f s" % allowance)
    return harness.wine_lane(win32_dir, win64_dir, prefix, 32, allowance_s=allowance)


def package_scenario(zip_dir, win32_dir, win64_dir, prefix):
    """The release zip as a player gets it: its own brightrelay.exe, its Brightrelay folder with
    the example ID renamed, under 32-bit wine."""
    zips = sorted(glob.glob(os.path.join(zip_dir, "packages", "brightrelay-*-windows-x86.zip")))
    if not zips:
        print("skipped: the Windows zip is missing in %s/packages (run scripts/package first)" % zip_dir)
        return harness.SKIP
    try:
        lane = wine32_lane(win32_dir, win64_dir, prefix, package=True)
    except harness.Skip as skip:
        print("skipped: %s" % skip)
        return harness.SKIP

    def scenario(s):
        unpacked = os.path.join(s.dir, "unpacked")
        with zipfile.ZipFile(zips[-1]) as archive:
            archive.extractall(unpacked)
        shutil.rmtree(s.app)
        shutil.copytree(unpacked, s.app)
        example = os.path.join(s.data, "discord_application_id.example")
        shutil.copy(example, os.path.join(s.data, "discord_application_id"))
        with open(example) as f:
            harness.APPLICATION_ID = f.read().strip()
        print("running the zip's own brightrelay.exe (%s) under 32-bit wine" % os.path.basename(zips[-1]))
        discord_up_at_start(s)

    return harness.run(scenario, "package", lane)


def main(argv):
    try:
        if len(argv) == 3 and argv[0] == "native":
            lane, name = harness.native_lane(argv[1]), argv[2]
            if name in SCAN_SCENARIOS:
                isolated = harness.run_in_own_pid_namespace()
                if isolated is not None:
                    return isolated
        elif len(argv) == 5 and argv[0] in ("wine64", "wine32"):
            if argv[0] == "wine32":
                lane = wine32_lane(argv[1], argv[2], argv[3])
            else:
                lane = harness.wine_lane(argv[1], argv[2], argv[3], 64)
            name = argv[4]
        elif len(argv) == 5 and argv[0] == "package":
            return package_scenario(*argv[1:])
        else:
            print(__doc__)
            return 2
    except harness.Skip as skip:
        print("skipped: %s" % skip)
        return harness.SKIP
    if name not in SCENARIOS:
        print("unknown scenario %s; known: %s" % (name, " ".join(SCENARIOS)))
        return 2
    return harness.run(SCENARIOS[name], "%s-%s" % (argv[0], name), lane)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
