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
import threading
import time

SKIP = 77  # ctest SKIP_RETURN_CODE
RENEW_S = 5.0  # how often the stand-in game side renews its status file
TS = re.compile(rb'"ts":(-?\d+)')
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


# Added to every safety limit of the scenario that runs (see Lane.allowance_s).
_allowance_s = 0.0


def stand_in_limit():
    """How long a stand-in may live before it ends by itself (a safety net for a scenario that
    never stops it): a whole scenario, with the lane's allowance for each start of the program."""
    return "%d" % (150 + 3 * _allowance_s)


def wait_for(predicate, limit_s, what, poll_s=0.05):
    """Polls predicate until it returns a true value, which is returned; fails after limit_s
    (and the lane's allowance)."""
    limit_s += _allowance_s
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

# Debian's wine: the `wine` launcher picks the 32-bit loader whenever wine32:i386 is installed,
# also where the kernel cannot run 32-bit code, and wineboot and the other helper scripts go
# through that launcher. So every 64-bit use names the 64-bit loader itself, and nothing of the
# 64-bit lane depends on 32-bit support.
WINE64_LOADERS = ("/usr/lib/wine/wine64", "/usr/lib/x86_64-linux-gnu/wine/wine64")
WINE32_LOADERS = ("/usr/lib/wine/wine", "/usr/lib/i386-linux-gnu/wine/wine")
WINESERVERS = ("/usr/lib/wine/wineserver64", "/usr/lib/x86_64-linux-gnu/wine/wineserver64",
               "/usr/lib/wine/wineserver")


def _first_executable(paths):
    for path in paths:
        if path and os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return None


def find_wine_loader(bits):
    """The 64-bit or the 32-bit wine loader itself (never the launcher script), or None."""
    return _first_executable(WINE64_LOADERS if bits == 64 else WINE32_LOADERS)


def find_wineserver():
    return _first_executable(WINESERVERS)


def wine_environment(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    env.pop("DISPLAY", None)
    return env


def make_wine_prefix(prefix, timeout_s=600):
    """A fresh prefix made by the 64-bit loader (an earlier one's server is ended and the prefix
    removed first). None when it is ready, else why not. Where 32-bit code is emulated, the
    prefix's 32-bit half is set up under emulation too: 150 s for one prefix alone here, and the
    lanes make theirs side by side."""
    loader = find_wine_loader(64)
    if not loader:
        return "wine64 (the 64-bit wine loader) is not installed"
    env = wine_environment(prefix)
    server = find_wineserver()
    if os.path.isdir(prefix):
        if server:
            subprocess.run([server, "-k"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30)
        shutil.rmtree(prefix)
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    try:
        result = subprocess.run([loader, "wineboot", "-i"], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=timeout_s)
    except subprocess.TimeoutExpired:
        return "%s wineboot -i did not finish within %d s" % (loader, timeout_s)
    if result.returncode != 0 or not os.path.isdir(os.path.join(prefix, "drive_c")):
        return "%s wineboot -i failed (%d): %s" % (
            loader, result.returncode, result.stdout.decode(errors="replace")[-2000:])
    return None


class Lane:
    """Where the programs come from and how they are started: native, wine64 or wine (32-bit).
    Under wine the program runs under its own loader (32- or 64-bit) and the stand-ins, which are
    always the 64-bit ones, under the 64-bit loader."""

    def __init__(self, kind, program, discord, game, prefix=None, loader=None, tool_loader=None,
                 allowance_s=0.0):
        self.kind = kind            # "native" or "wine"
        self.program = program      # the brightrelay program to copy into the scenario
        self.discord = discord      # fake_discord
        self.game = game            # the stand-in game, Kel_Nordvale.exe
        self.prefix = prefix
        self.loader = loader
        self.tool_loader = tool_loader or loader
        # Added to every safety limit of a scenario: the time a start of the program may take
        # beyond a native one (32-bit wine under emulation needs about a minute per start).
        self.allowance_s = allowance_s

    @property
    def wine(self):
        return self.kind == "wine"

    def command(self, executable, args):
        if not self.wine:
            return [executable] + list(args)
        is_program = os.path.basename(executable).lower() == "brightrelay.exe"
        return [self.loader if is_program else self.tool_loader, executable] + list(args)

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


def wine_lane(program_dir, tools_dir, prefix, bits, allowance_s=0.0):
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
    loader, tool_loader = find_wine_loader(bits), find_wine_loader(64)
    if not loader or not tool_loader:
        raise Skip("no %s wine loader installed" % ("64-bit" if not tool_loader else "32-bit"))
    return Lane("wine", program, discord, game, prefix=prefix, loader=loader,
                tool_loader=tool_loader, allowance_s=allowance_s)


# ---- a process list of the scenario's own ------------------------------------------------------------

OWN_PID_NAMESPACE = "BRIGHTRELAY_E2E_OWN_PID_NAMESPACE"


def run_in_own_pid_namespace():
    """Natively the program finds the game by name in the one process list of the machine, where
    a player's game, another test run or a wine-hosted stand-in may carry the same name. A
    scenario that scans therefore runs in a PID namespace of its own, with its own /proc: its scan
    sees the processes of the scenario and nothing else.

    Called first thing by such a scenario. Returns None inside the namespace (go on); outside it
    the process is replaced by the same command inside one, or, where no namespace can be made
    here, the skip code is returned after one line that says why."""
    if os.environ.get(OWN_PID_NAMESPACE) == "1":
        return None
    unshare = shutil.which("unshare")
    if not unshare:
        print("SKIPPED: this scenario finds the game by name and runs in a PID namespace of its "
              "own; unshare (util-linux) is not installed")
        return SKIP
    # --kill-child: when ctest stops the scenario, everything in its namespace ends with it.
    command = [unshare, "--pid", "--fork", "--mount-proc", "--kill-child"]
    tried = subprocess.run(command + ["true"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if tried.returncode != 0:
        print("SKIPPED: this scenario finds the game by name and runs in a PID namespace of its "
              "own, which cannot be made here (it needs root): %s"
              % " ".join(tried.stdout.decode(errors="replace").split()))
        return SKIP
    sys.stdout.flush()
    env = dict(os.environ)
    env[OWN_PID_NAMESPACE] = "1"
    os.execve(unshare, command + [sys.executable] + sys.argv, env)
    return None  # not reached


# ---- the scenario ------------------------------------------------------------------------------------

class Process:
    def __init__(self, popen, name, stop_file=None):
        self.popen = popen
        self.name = name
        self.stop_file = stop_file
        self.group = False


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
        self.stop_files = []  # of games the program started, which the harness does not hold
        self.discord_logs = []
        self.program_proc = None
        self.program_started = None
        self.counter = 0
        # The game side renews its status file every few seconds, also when nothing changed; so
        # does the scenario, so that a status stays as fresh (or as stale) as it was written
        # however long a lane takes to start the program.
        self.status_lock = threading.Lock()
        self.status = None  # (record, ts - the time of writing)
        self.renewing = threading.Event()
        self.renewer = threading.Thread(target=self._renew_status, daemon=True)
        self.renewer.start()

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
        """Writes the status file; it is renewed every RENEW_S with its ts moved on by as much."""
        self.write_status_bytes(json.dumps(record, separators=(",", ":")).encode())

    def write_status_bytes(self, data):
        """A status file of exactly these bytes (for text that is not UTF-8), written atomically
        and renewed like write_status's."""
        ts = TS.search(data)
        with self.status_lock:
            self.status = (data, int(ts.group(1)) - int(time.time())) if ts else None
            self._put_status(data, self.data)

    def _put_status(self, data, temporary_dir):
        target = os.path.join(self.data, "discord_kel_status.json")
        fd, temporary = tempfile.mkstemp(dir=temporary_dir, prefix=".status.")
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
        os.replace(temporary, target)

    def _renew_status(self):
        while not self.renewing.wait(RENEW_S):
            with self.status_lock:
                if self.status is None:
                    continue
                data, offset = self.status
                renewed = TS.sub(b'"ts":%d' % (int(time.time()) + offset), data, count=1)
                # Its temp file outside the data folder, where checks list the files.
                self._put_status(renewed, self.dir)

    def _start(self, name, command, stop_file=None, stdout=None, group=False):
        out = stdout or open(self.path(name + ".out"), "wb")
        popen = subprocess.Popen(command, cwd=self.dir, env=self.env(), stdout=out,
                                 stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                 start_new_session=group)
        proc = Process(popen, name, stop_file)
        proc.group = group
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
                 "--exit-after", stand_in_limit()] + list(options)
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
                self.lane.path_arg(stop_file), "--max-seconds", stand_in_limit(),
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

    def game_command(self, exit_code=None):
        """The command line of the stand-in game for the program to start (launch mode), as a
        list of words, with its pid file and its stop file."""
        stem = self._fresh("game")
        pid_file, stop_file = stem + ".pid", stem + ".stop"
        words = [self.lane.path_arg(self.game_exe), "--pid-file", self.lane.path_arg(pid_file),
                 "--stop-file", self.lane.path_arg(stop_file), "--max-seconds", stand_in_limit()]
        if exit_code is not None:
            words += ["--exit-code", str(exit_code)]
        self.stop_files.append(stop_file)
        return words, pid_file, stop_file

    def wait_pid_file(self, pid_file, limit_s):
        text = wait_for(lambda: _read(pid_file).strip(), limit_s, "the stand-in game's pid file")
        return int(text)

    def stop(self, proc, limit_s=30):
        with open(proc.stop_file, "w"):
            pass
        try:
            proc.popen.wait(limit_s)
        except subprocess.TimeoutExpired:
            fail("%s did not end within %d s of its stop file" % (proc.name, limit_s))

    # -- the program --
    def start_program(self, *args):
        return self.start_program_command(self.lane.command(self.program, args))

    def start_program_command(self, command):
        """Starts the program through a command of its own (a launcher's shell line), in a
        process group of its own, so that a cleanup reaches the program behind the shell."""
        self.program_started = time.time()
        self.program_proc = self._start("brightrelay", command, group=True)
        return self.program_proc

    def wait_program(self, limit_s):
        limit_s += _allowance_s
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

    def check_exit(self, code, expected=0):
        if code != expected:
            fail("exit code %s, not %s; output: %s" % (code, expected, self._output(self.program_proc)))

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
        self.renewing.set()
        self.renewer.join()
        for stop_file in self.stop_files:
            try:
                open(stop_file, "w").close()
            except OSError:
                pass
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
            if getattr(proc, "group", False):
                try:
                    os.killpg(proc.popen.pid, signal.SIGKILL)
                except OSError:
                    pass  # nothing of the group is left
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
    global _allowance_s
    _allowance_s = lane.allowance_s
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
