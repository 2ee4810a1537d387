"""End-to-end harness: the real program, the stand-in Discord and the stand-in game, each run
as a real process in a scenario folder of its own.

A Scenario owns one temporary folder laid out like a player's install:
  app/brightrelay[.exe]  app/Brightrelay/{discord_application_id, discord_kel_status.json, Brightrelay.log}
  run/      the runtime folder (XDG_RUNTIME_DIR) where the stand-in Discord puts its socket
  tools/    copies of the stand-ins (under wine they must sit on a wine drive like the rest)
Natively every process gets XDG_RUNTIME_DIR=run/, so scenarios can run side by side. Under wine
the named pipes live in the wine prefix, so a lane of wine scenarios shares one prefix and runs
one scenario at a time (ctest RESOURCE_LOCK).

Checks compare whole sequences, in order: the frames the stand-in received and the program's
log lines (time stamps stripped). Waits poll with a safety limit and fail with what was seen.
Python 3 standard library only.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77  # ctest SKIP_RETURN_CODE
APPLICATION_ID = "418829376113459201"
DOT = "\\u00b7"  # the six characters the program writes between details segments
LOG_LINE = re.compile(r"^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}) (.*)$")
START = re.compile(r'"timestamps":\{"start":(-?\d+)\}')
NONCE = re.compile(r'"nonce":"(\d+)"\}$')

MSG_DETECTED = "Kel_Nordvale.exe detected."
MSG_CONNECTED = "Connected to Discord IPC."
MSG_STOPPED = "Kel stopped; Brightrelay exiting."
MSG_NO_GAME = "No running Kel_Nordvale.exe found; Brightrelay exiting."
MSG_NO_OPEN = "Could not open the target Kel process; Brightrelay exiting."
MSG_ID_MISSING = ("discord_application_id is missing. Add your Discord Application ID to "
                  "Brightrelay\\discord_application_id.")
MSG_PRESENCE_OFF = ("Discord Rich Presence is disabled until a valid discord_application_id "
                    "is configured.")
MSG_REFUSED = "Discord refused the handshake: "
MSG_CLOSED = "Discord closed the connection: "
ZWSP = "\u200b"  # as the program writes it after a value of one character (six characters)


class ScenarioFailure(AssertionError):
    pass


class Skip(Exception):
    pass


def fail(message):
    raise ScenarioFailure(message)


def wait_for(predicate, limit_s, what, poll_s=0.05):
    """Polls predicate until it returns a true value, which is returned; fails after limit_s."""
    deadline = time.monotonic() + limit_s
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            fail("timed out after %.1f s waiting for %s" % (limit_s, what))
        time.sleep(poll_s)


# ---- expected texts ------------------------------------------------------------------------------

def compose_activity(status, start):
    """The activity text the program composes from a usable status: details, state, start."""
    name, guild = status.get("name", ""), status.get("guild", "")
    level, class_name = status.get("level", 0), status.get("class", "")
    race, faction = status.get("race", ""), status.get("faction", "")
    if faction and "a" <= faction[0] <= "z":
        faction = faction[0].upper() + faction[1:]
    details = ("%s <%s>" % (name, guild) if name and guild else name if name
               else "<%s>" % guild if guild else "")
    line = ("Lvl %d %s" % (level, class_name) if level > 0 and class_name
            else "Lvl %d" % level if level > 0 else class_name)
    for part in (race, faction):
        if part:
            line = line + " %s %s" % (DOT, part) if line else part
    if line:
        details = details + " %s %s" % (DOT, line) if details else line
    zone = status.get("zone", "")
    # A value of one character (plain text here) is padded so that the client counts two.
    details = details + ZWSP if len(details) == 1 else details
    zone = zone + ZWSP if len(zone) == 1 else zone
    return '{"details":"%s","state":"%s","timestamps":{"start":%d}}' % (details, zone, start)


def bare_activity(start):
    return '{"timestamps":{"start":%d}}' % start


def handshake(client_id):
    return '{"v":1,"client_id":"%s"}' % client_id


def set_activity(pid, activity, nonce):
    return '{"cmd":"SET_ACTIVITY","args":{"pid":%d,"activity":%s},"nonce":"%d"}' % (
        pid, activity, nonce % 2**32)


def clear_activity(pid, nonce):
    return set_activity(pid, "null", nonce)


def status_record(ts, **fields):
    """A status file's object; keys in the order the game side writes them."""
    record = {"ok": True, "in_world": True, "ts": ts}
    record.update(fields)
    return record


SAMPLE_STATUS = {"name": "Tamsin", "zone": "Harbor Market", "guild": "Lantern Keepers",
                 "faction": "coastal", "class": "Warden", "race": "Human", "level": 27}


# ---- lanes: how programs are started ---------------------------------------------------------------

def find_wine_loader(bits):
    """wine64 for the 64-bit lane, the `wine` launcher (32-bit loader) for the 32-bit lane."""
    if bits == 64:
        for candidate in (shutil.which("wine64"), "/usr/lib/wine/wine64",
                          "/usr/lib/x86_64-linux-gnu/wine/wine64"):
            if candidate and os.access(candidate, os.X_OK):
                return candidate
        return None
    return shutil.which("wine")


def wine_environment(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    env.pop("DISPLAY", None)
    return env


class Lane:
    """Where the programs come from and how they are started: native, wine64 or wine (32-bit)."""

    def __init__(self, kind, program, discord, game, prefix=None, loader=None):
        self.kind = kind            # "native" or "wine"
        self.program = program      # the brightrelay program to copy into the scenario
        self.discord = discord      # fake_discord
        self.game = game            # the stand-in game, Kel_Nordvale.exe
        self.prefix = prefix
        self.loader = loader

    @property
    def wine(self):
        return self.kind == "wine"

    def command(self, executable, args):
        return ([self.loader, executable] if self.wine else [executable]) + list(args)

    def path_arg(self, path):
        """A path as the started program must be given it (a wine program wants a drive)."""
        return "Z:" + path.replace("/", "\\") if self.wine else path


def find_tool(build_dir, names):
    """The first of names found under build_dir/tools (the stand-ins' build folders)."""
    for root, _dirs, files in sorted(os.walk(os.path.join(build_dir, "tools"))):
        for name in names:
            if name in files:
                return os.path.join(root, name)
    return None


def native_lane(build_dir):
    program = os.path.join(build_dir, "brightrelay")
    discord = find_tool(build_dir, ["fake_discord"])
    game = find_tool(build_dir, ["Kel_Nordvale.exe"])
    for what, path in (("program", program), ("fake_discord", discord), ("stand-in game", game)):
        if not path or not os.path.exists(path):
            fail("native %s not built (looked in %s)" % (what, build_dir))
    return Lane("native", program, discord, game)


def pe_machine(path):
    """The machine field of a PE image's file header: 0x14C for x86, 0x8664 for x86-64."""
    with open(path, "rb") as f:
        image = f.read(4096)
    offset = int.from_bytes(image[0x3C:0x40], "little")
    if image[:2] != b"MZ" or image[offset:offset + 4] != b"PE\0\0":
        return None
    return int.from_bytes(image[offset + 4:offset + 6], "little")


def wine_lane(program_dir, tools_dir, prefix, bits):
    program = os.path.join(program_dir, "brightrelay.exe")
    discord = find_tool(tools_dir, ["fake_discord.exe"])
    game = find_tool(tools_dir, ["Kel_Nordvale.exe"])
    for what, path in (("brightrelay.exe", program), ("fake_discord.exe", discord),
                       ("Kel_Nordvale.exe", game)):
        if not path or not os.path.exists(path):
            raise Skip("%s not built (looked in %s); build the win%d preset first"
                       % (what, program_dir if what == "brightrelay.exe" else tools_dir, bits))
    if pe_machine(program) != (0x8664 if bits == 64 else 0x14C):
        fail("%s is not a %d-bit Windows program" % (program, bits))
    loader = find_wine_loader(bits)
    if not loader:
        raise Skip("no wine%s loader installed" % ("64" if bits == 64 else ""))
    return Lane("wine", program, discord, game, prefix=prefix, loader=loader)


# ---- the scenario ------------------------------------------------------------------------------------

class Process:
    def __init__(self, popen, name, stop_file=None):
        self.popen = popen
        self.name = name
        self.stop_file = stop_file


class Scenario:
    def __init__(self, name, lane, application_id=APPLICATION_ID):
        self.name = name
        self.lane = lane
        # Short, because a Unix socket path must fit in 108 bytes.
        self.dir = tempfile.mkdtemp(prefix="br-%s-" % name[:12], dir="/tmp")
        self.app = os.path.join(self.dir, "app")
        self.data = os.path.join(self.app, "Brightrelay")
        self.run_dir = os.path.join(self.dir, "run")
        self.tools = os.path.join(self.dir, "tools")
        for folder in (self.data, self.run_dir, self.tools):
            os.makedirs(folder)
        exe_name = "brightrelay.exe" if lane.wine else "brightrelay"
        self.program = os.path.join(self.app, exe_name)
        shutil.copy2(lane.program, self.program)
        if lane.wine:
            self.discord_exe = shutil.copy2(lane.discord, os.path.join(self.tools, "fake_discord.exe"))
        else:
            self.discord_exe = lane.discord
        self.game_exe = shutil.copy2(lane.game, os.path.join(self.tools, "Kel_Nordvale.exe"))
        if application_id is not None:
            self.write_data_file("discord_application_id", application_id + "\r\n")
        self.processes = []
        self.discord_logs = []
        self.program_proc = None
        self.program_started = None
        self.counter = 0

    # -- environment and files --
    def env(self):
        if self.lane.wine:
            env = wine_environment(self.lane.prefix)
        else:
            env = dict(os.environ)
        env["XDG_RUNTIME_DIR"] = self.run_dir
        env["TMPDIR"] = self.run_dir
        return env

    def path(self, name):
        return os.path.join(self.dir, name)

    def write_data_file(self, name, text):
        """Writes a file in the data folder atomically: a temp file beside it, then a rename."""
        target = os.path.join(self.data, name)
        fd, temporary = tempfile.mkstemp(dir=self.data, prefix=".%s." % name)
        with os.fdopen(fd, "w", newline="") as handle:
            handle.write(text)
        os.replace(temporary, target)

    def write_status(self, record):
        self.write_data_file("discord_kel_status.json", json.dumps(record, separators=(",", ":")))

    def write_status_bytes(self, data):
        """A status file of exactly these bytes (for text that is not UTF-8), written atomically."""
        target = os.path.join(self.data, "discord_kel_status.json")
        fd, temporary = tempfile.mkstemp(dir=self.data, prefix=".status.")
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
        os.replace(temporary, target)

    def _start(self, name, command, stop_file=None, stdout=None):
        out = stdout or open(self.path(name + ".out"), "wb")
        popen = subprocess.Popen(command, cwd=self.dir, env=self.env(), stdout=out,
                                 stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        proc = Process(popen, name, stop_file)
        self.processes.append(proc)
        return proc

    def _fresh(self, stem):
        self.counter += 1
        return self.path("%s-%d" % (stem, self.counter))

    # -- the stand-in Discord --
    def start_discord(self, *options, index=0, cards=None, stdout=None):
        log = self._fresh("discord") + ".jsonl"
        ready = log + ".ready"
        stop = log + ".stop"
        args = ["--dir", self.run_dir] if not self.lane.wine else []
        args += ["--index", str(index), "--log", self.lane.path_arg(log),
                 "--ready-file", self.lane.path_arg(ready), "--stop-file", self.lane.path_arg(stop),
                 "--exit-after", "150"] + list(options)
        if cards:
            args += ["--cards", cards]
        proc = self._start(os.path.basename(log), self.lane.command(self.discord_exe, args),
                           stop, stdout)
        proc.log = log
        self.discord_logs.append(log)
        wait_for(lambda: os.path.exists(ready) or proc.popen.poll() is not None, 30,
                 "the stand-in Discord to be ready")
        if proc.popen.poll() is not None:
            fail("the stand-in Discord ended at start (%s)" % self._output(proc))
        return proc

    def kill_discord(self, proc):
        """Natively a crash (SIGKILL: the kernel closes the socket); under wine via its stop file."""
        if self.lane.wine:
            self.stop(proc)
        else:
            proc.popen.send_signal(signal.SIGKILL)
            proc.popen.wait(10)

    # -- the stand-in game --
    def start_game(self, exe_name="Kel_Nordvale.exe", scannable=True):
        """Starts the stand-in under exe_name and returns (process, its pid as the program sees it).
        Natively a game that is not scannable is started with another first argument, so that
        scenarios run side by side do not find each other's games by name."""
        exe = self.game_exe
        if exe_name != "Kel_Nordvale.exe":
            exe = shutil.copy2(self.game_exe, os.path.join(self.tools, exe_name))
        stem = self._fresh("game")
        pid_file, stop_file = stem + ".pid", stem + ".stop"
        args = ["--pid-file", self.lane.path_arg(pid_file), "--stop-file",
                self.lane.path_arg(stop_file), "--max-seconds", "150",
                "--exit-time-file", self.lane.path_arg(stem + ".exit")]
        command = self.lane.command(exe, args)
        if not self.lane.wine and not scannable:
            command[0] = os.path.join(self.tools, "stand-in-game")
            popen_exe = exe
        else:
            popen_exe = None
        out = open(stem + ".out", "wb")
        popen = subprocess.Popen(command, executable=popen_exe, cwd=self.dir, env=self.env(),
                                 stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        proc = Process(popen, os.path.basename(stem), stop_file)
        proc.exit_time_file = stem + ".exit"
        self.processes.append(proc)
        text = wait_for(lambda: _read(pid_file).strip() or popen.poll() is not None, 30,
                        "the stand-in game's pid file")
        if popen.poll() is not None and not _read(pid_file).strip():
            fail("the stand-in game ended at start (%s)" % self._output(proc))
        return proc, int(_read(pid_file).strip() if text is True else text)

    def stop(self, proc, limit_s=30):
        with open(proc.stop_file, "w"):
            pass
        try:
            proc.popen.wait(limit_s)
        except subprocess.TimeoutExpired:
            fail("%s did not end within %d s of its stop file" % (proc.name, limit_s))

    # -- the program --
    def start_program(self, *args):
        self.program_started = time.time()
        self.program_proc = self._start("brightrelay", self.lane.command(self.program, args))
        return self.program_proc

    def wait_program(self, limit_s):
        try:
            return self.program_proc.popen.wait(limit_s)
        except subprocess.TimeoutExpired:
            fail("the program did not end within %.1f s; log so far: %s"
                 % (limit_s, self.log_messages()))

    def run_program(self, *args, limit_s=30):
        self.start_program(*args)
        return self.wait_program(limit_s)

    # -- what happened --
    def log_messages(self):
        """The program's log lines without their time stamps; each line must be well formed."""
        raw = _read(os.path.join(self.data, "Brightrelay.log"), binary=True)
        if not raw:
            return []
        if not raw.endswith(b"\r\n"):
            fail("the log does not end in CR LF: %r" % raw[-40:])
        messages = []
        for line in raw[:-2].split(b"\r\n"):
            match = LOG_LINE.match(line.decode("latin-1"))
            if not match:
                fail("malformed log line: %r" % line)
            time.strptime(match.group(1), "%Y-%m-%d %H:%M:%S")
            messages.append(match.group(2))
        return messages

    def events(self, log):
        """The stand-in's events as (event, op, payload) in order; replies and notes left out."""
        return [e for e in self.all_events(log) if e[0] in ("connect", "frame", "close")]

    def all_events(self, log):
        out = []
        for line in _read(log).splitlines():
            if not line.strip():
                continue
            event = json.loads(line)
            if "conn" not in event:
                continue
            out.append((event["event"], event.get("op"), event.get("payload"), event["conn"]))
        return [(e, op, payload) if e != "connect" and e != "close" else (e, None, None)
                for e, op, payload, _conn in out]

    def replies(self, log):
        return [p for e, _op, p in self.all_events(log) if e == "reply"]

    def raw_events(self, log):
        """Every event of the stand-in as a dict, with "clock": its time on the steady clock in ms
        (the stand-in game's exit time is on the same clock)."""
        out = []
        clock = None
        for line in _read(log).splitlines():
            if line.strip():
                event = json.loads(line)
                if clock is None and "clock_ms" in event:
                    clock = event["clock_ms"]
                event["clock"] = None if clock is None else clock + event["t"]
                out.append(event)
        return out

    def applied(self, log):
        """The activities the stand-in applied (what a player saw), in order; None for a clear."""
        return [e["activity"] for e in self.raw_events(log) if e["event"] == "applied"]

    def check_applied(self, log, expected, settle_s=5.0):
        """The presences the stand-in showed, in order (None for a clear); its log is given a
        moment to settle, since a close clears the presence as the stand-in sees the pipe close."""
        deadline = time.monotonic() + settle_s
        while self.applied(log) != expected and time.monotonic() < deadline:
            time.sleep(0.05)
        if self.applied(log) != expected:
            fail("presences shown: %s, not %s" % (self.applied(log), expected))

    def game_exit_clock(self, proc):
        """The stand-in game's own record of the moment it ended, on the steady clock in ms."""
        text = wait_for(lambda: _read(proc.exit_time_file).strip(), 10, "the game's exit time")
        return int(text)

    def frames(self, log):
        return [(op, payload) for e, op, payload in self.events(log) if e == "frame"]

    def wait_frames(self, log, count, limit_s=10):
        wait_for(lambda: len(self.frames(log)) >= count, limit_s,
                 "%d frames at the stand-in (seen: %s)" % (count, self.frames(log)))
        return self.frames(log)

    def wait_log(self, message, limit_s=10):
        wait_for(lambda: message in self.log_messages(), limit_s,
                 "the log line %r (log: %s)" % (message, self.log_messages()))

    def _output(self, proc):
        return _read(self.path(proc.name + ".out"))[-2000:] or "no output"

    # -- checks --
    def check_log(self, expected):
        actual = self.log_messages()
        if actual != expected:
            fail("log lines differ\n  expected: %s\n  actual:   %s" % (
                json.dumps(expected, indent=2), json.dumps(actual, indent=2)))

    def check_events(self, log, expected, settle_s=5.0):
        # The stand-in logs a connection's close when it sees the pipe close, a moment after the
        # program's end: give its log that moment before comparing.
        deadline = time.monotonic() + settle_s
        actual = self.events(log)
        while actual != expected and time.monotonic() < deadline:
            time.sleep(0.05)
            actual = self.events(log)
        if actual != expected:
            fail("stand-in events differ (%s)\n  expected:\n%s\n  actual:\n%s" % (
                log, _lines(expected), _lines(actual)))

    def check_exit(self, code):
        if code != 0:
            fail("exit code %s, not 0; output: %s" % (code, self._output(self.program_proc)))

    def first_start_and_nonce(self, payload):
        """The play start time and the nonce of a SET_ACTIVITY payload; the start must lie within
        the program's run (it is taken after the game is found)."""
        start, nonce = START.search(payload), NONCE.search(payload)
        if not start or not nonce:
            fail("not a SET_ACTIVITY with an activity: %s" % payload)
        start_s = int(start.group(1))
        if not (int(self.program_started) - 1 <= start_s <= int(time.time()) + 1):
            fail("play start %d lies outside the run (started %d)" % (start_s, self.program_started))
        return start_s, int(nonce.group(1))

    # -- cleanup --
    def close(self, keep):
        for proc in self.processes:
            if proc.popen.poll() is None and proc.stop_file:
                try:
                    open(proc.stop_file, "w").close()
                except OSError:
                    pass
        for proc in self.processes:
            try:
                proc.popen.wait(5)
            except subprocess.TimeoutExpired:
                proc.popen.kill()
                proc.popen.wait()
        if not keep:
            # A stand-in may still be removing its socket file: a second pass takes what is left.
            shutil.rmtree(self.dir, ignore_errors=True)
            shutil.rmtree(self.dir, ignore_errors=True)


def _read(path, binary=False):
    try:
        with open(path, "rb" if binary else "r", **({} if binary else {"errors": "replace"})) as f:
            return f.read()
    except FileNotFoundError:
        return b"" if binary else ""


def _lines(events):
    return "\n".join("    %s" % (e,) for e in events) or "    (none)"


def run(scenario_function, name, lane):
    """Runs one scenario; prints the outcome and returns the exit code for ctest."""
    scenario = None
    began = time.monotonic()
    try:
        scenario = Scenario(name, lane)
        scenario_function(scenario)
    except Skip as skip:
        print("SKIPPED: %s" % skip)
        if scenario:
            scenario.close(keep=False)
        return SKIP
    except ScenarioFailure as failure:
        print("FAILED %s: %s" % (name, failure))
        if scenario:
            print("scenario folder kept: %s" % scenario.dir)
            print("program log:\n  " + "\n  ".join(scenario.log_messages() if os.path.exists(
                os.path.join(scenario.data, "Brightrelay.log")) else ["(none)"]))
            scenario.close(keep=True)
        return 1
    except BaseException:
        if scenario:
            print("scenario folder kept: %s" % scenario.dir)
            scenario.close(keep=True)
        raise
    scenario.close(keep=False)
    print("passed %s (%s) in %.1f s" % (name, lane.kind, time.monotonic() - began))
    return 0


if __name__ == "__main__":
    sys.exit("harness.py is a library; run scenarios.py")
