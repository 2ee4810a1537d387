#!/usr/bin/env python3
"""The IPC client end to end: ipc_probe (the real platform) against the stand-in Discord.

Natively over the Unix socket, or under wine over the named pipe (--mode wine, with the
Windows builds of both programs). Each scenario runs in a temp folder of its own: the probe is
copied there so that its log ("Brightrelay/Brightrelay.log" beside it) is the scenario's own.
Exit status 0 when every scenario passed, 1 when one failed, 77 when the mode cannot run here.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

APP_ID = "123456789012345"
OTHER_ID = "999999999999999"
T1 = '{"details":"Tamsin <Lantern Keepers>","state":"Harbor Market","timestamps":{"start":1700000000}}'
T2 = '{"details":"Tamsin <Lantern Keepers>","state":"Old Quarry","timestamps":{"start":1700000000}}'
SAFETY_S = 60           # no single process may take longer than this
REPLY_LIMIT_MS = 5000   # kIpcReplyTimeoutMs


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


class Mode:
    def __init__(self, args):
        self.name = args.mode
        if self.name == "native":
            self.probe = args.probe
            self.fake_discord = args.fake_discord
            self.launcher = []
            self.env = dict(os.environ)
        else:
            self.probe = os.path.join(args.win64_dir, "tools", "ipc_probe", "ipc_probe.exe")
            self.fake_discord = os.path.join(args.win64_dir, "tools", "fake_discord", "fake_discord.exe")
            wine = harness.find_wine_loader(64)
            if not wine or not os.path.exists(self.probe) or not os.path.exists(self.fake_discord):
                print("SKIP wine: needs wine64 and the win64 builds of ipc_probe and fake_discord in "
                      + args.win64_dir)
                sys.exit(77)
            self.launcher = [wine]
            # A prefix of its own: pipe names are per wineserver, so no other test's stand-in
            # can answer this test's probe.
            problem = harness.make_wine_prefix(args.wineprefix, timeout_s=480)
            if problem:
                print("FAILED: " + problem)
                sys.exit(1)
            self.env = harness.wine_environment(args.wineprefix)

    def folder_env(self, folder):
        env = dict(self.env)
        if self.name == "native":
            # The platform looks for the socket under the runtime folder first.
            env["XDG_RUNTIME_DIR"] = folder
        return env


class StandIn:
    """One run of the stand-in Discord, serving pipe 0 of the scenario's folder."""

    def __init__(self, mode, folder, log_name, *options):
        self.folder = folder
        self.log_path = os.path.join(folder, log_name)
        ready = os.path.join(folder, log_name + ".ready")
        command = mode.launcher + [mode.fake_discord, "--index", "0", "--log", log_name,
                                   "--ready-file", log_name + ".ready", "--exit-after", str(SAFETY_S)]
        if mode.name == "native":
            command += ["--dir", folder]
        command += list(options)
        self.process = subprocess.Popen(command, cwd=folder, env=mode.folder_env(folder),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + SAFETY_S
        while not os.path.exists(ready):
            check(self.process.poll() is None, "the stand-in ended before it was ready")
            check(time.monotonic() < deadline, "the stand-in never got ready")
            time.sleep(0.05)

    def kill(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
        self.process.wait(timeout=SAFETY_S)

    def frames(self):
        """The frames the stand-in received, as (opcode, payload)."""
        received = []
        with open(self.log_path, encoding="utf-8") as log:
            for line in log:
                event = json.loads(line)
                if event.get("event") == "frame":
                    received.append((event["op"], event["payload"]))
        return received


def parse(lines):
    results = []
    for line in lines:
        fields = line.split()
        if len(fields) == 4 and fields[2].startswith("nonce=") and fields[3].startswith("ms="):
            results.append({"command": fields[0], "result": fields[1],
                            "nonce": int(fields[2][6:]), "ms": int(fields[3][3:])})
    return results


def run_probe(mode, folder, *commands):
    process = subprocess.run(mode.launcher + [os.path.join(folder, os.path.basename(mode.probe))]
                             + list(commands), cwd=folder, env=mode.folder_env(folder),
                             stdin=subprocess.DEVNULL, capture_output=True, text=True,
                             timeout=SAFETY_S)
    check(process.returncode == 0, "the probe failed: " + process.stderr)
    return parse(process.stdout.splitlines())


def probe_log(folder):
    path = os.path.join(folder, "Brightrelay", "Brightrelay.log")
    if not os.path.exists(path):
        return []
    with open(path, "rb") as log:
        # Each line is "YYYY-MM-DD hh:mm:ss message\r\n".
        return [line[20:].decode("latin-1") for line in log.read().split(b"\r\n") if line]


def summary(results):
    return [(r["command"], r["result"], r["nonce"]) for r in results]


def publish_payload(activity, nonce):
    return ('{"cmd":"SET_ACTIVITY","args":{"pid":4242,"activity":%s},"nonce":"%d"}'
            % (activity, nonce))


# ---- scenarios ----------------------------------------------------------------------------

def publish_and_clear(mode, folder):
    stand_in = StandIn(mode, folder, "discord.log")
    results = run_probe(mode, folder, "nonce", "4294967294", "connect", APP_ID, "publish", T1,
                        "publish", T1, "publish", T2, "clear")
    stand_in.kill()
    # T2 comes within the publishing interval: held (0), nothing sent, no nonce spent. The
    # clear is not held.
    check(summary(results) == [("nonce", "done", 4294967294), ("connect", "1", 4294967294),
                               ("publish", "1", 4294967295), ("publish", "1", 4294967295),
                               ("publish", "0", 4294967295), ("clear", "not-connected", 0)],
          "results: %r" % summary(results))
    check(stand_in.frames() == [
        (0, '{"v":1,"client_id":"%s"}' % APP_ID),
        (1, publish_payload(T1, 4294967295)),
        (1, '{"cmd":"SET_ACTIVITY","args":{"pid":4242,"activity":null},"nonce":"0"}'),
    ], "frames: %r" % stand_in.frames())
    check(probe_log(folder) == ["Connected to Discord IPC."], "log: %r" % probe_log(folder))


def refused(mode, folder):
    stand_in = StandIn(mode, folder, "discord.log", "--client-id", OTHER_ID)
    results = run_probe(mode, folder, "connect", APP_ID, "connect", APP_ID, "publish", T1)
    stand_in.kill()
    check([r["result"] for r in results] == ["0", "0", "0"], "results: %r" % summary(results))
    check(len(stand_in.frames()) == 2, "two handshakes, nothing else: %r" % stand_in.frames())
    log = probe_log(folder)
    check(len(log) == 1 and log[0].startswith("Discord refused the handshake: ") and "4000" in log[0],
          "one refusal logged: %r" % log)


def reconnect_after_restart(mode, folder):
    first = StandIn(mode, folder, "first.log")
    probe = subprocess.Popen(mode.launcher + [os.path.join(folder, os.path.basename(mode.probe)),
                                              "nonce", "500", "connect", APP_ID, "publish", T1,
                                              "await", "peek", "connect", APP_ID, "publish", T1,
                                              "clear"],
                             cwd=folder, env=mode.folder_env(folder), stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    lines = []
    try:
        deadline = time.monotonic() + SAFETY_S
        while True:
            check(time.monotonic() < deadline, "the probe never reached await")
            line = probe.stdout.readline()
            check(line != "", "the probe ended before await: %r" % lines)
            lines.append(line)
            if line.strip() == "awaiting":
                break
        first.kill()
        second = StandIn(mode, folder, "second.log")
        probe.stdin.write("go\n")
        probe.stdin.flush()
        rest, _ = probe.communicate(timeout=SAFETY_S)
        lines += rest.splitlines()
    finally:
        if probe.poll() is None:
            probe.kill()
    second.kill()
    results = parse(lines)
    check(summary(results) == [("nonce", "done", 500), ("connect", "1", 500), ("publish", "1", 501),
                               ("await", "done", 501), ("peek", "not-connected", 501),
                               ("connect", "1", 501), ("publish", "1", 502),
                               ("clear", "not-connected", 503)],
          "results: %r" % summary(results))
    check([f for f in first.frames() if f[0] == 1] == [(1, publish_payload(T1, 501))],
          "first stand-in: %r" % first.frames())
    check(second.frames()[1] == (1, publish_payload(T1, 502)),
          "the same text again, with a higher nonce: %r" % second.frames())
    check(probe_log(folder) == ["Connected to Discord IPC."] * 2, "log: %r" % probe_log(folder))


def never_answers(mode, folder):
    stand_in = StandIn(mode, folder, "commands.log", "--fault", "silent-commands")
    results = run_probe(mode, folder, "connect", APP_ID, "publish", T1, "peek")
    stand_in.kill()
    check([(r["command"], r["result"]) for r in results] ==
          [("connect", "1"), ("publish", "0"), ("peek", "not-connected")],
          "results: %r" % summary(results))
    # The lower bound shows the reply was waited for; the upper one is only a safety limit.
    check(REPLY_LIMIT_MS - 100 <= results[1]["ms"] < 3 * REPLY_LIMIT_MS, "waited %d ms" % results[1]["ms"])

    stand_in = StandIn(mode, folder, "silent.log", "--fault", "silent")
    results = run_probe(mode, folder, "connect", APP_ID)
    stand_in.kill()
    check(summary(results) and results[0]["result"] == "0", "results: %r" % summary(results))
    check(REPLY_LIMIT_MS - 100 <= results[0]["ms"] < 3 * REPLY_LIMIT_MS, "waited %d ms" % results[0]["ms"])
    check(probe_log(folder) == ["Connected to Discord IPC."], "a silent peer is no refusal: %r"
          % probe_log(folder))


SCENARIOS = [publish_and_clear, refused, reconnect_after_restart, never_answers]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--mode", choices=["native", "wine"], default="native")
    parser.add_argument("--probe", help="native ipc_probe")
    parser.add_argument("--fake-discord", help="native fake_discord")
    parser.add_argument("--win64-dir", default="build/win64", help="build folder of the win64 preset")
    parser.add_argument("--wineprefix", default=os.path.join(tempfile.gettempdir(), "ipc-e2e-wine"))
    args = parser.parse_args()
    mode = Mode(args)

    passed = failed = 0
    for scenario in SCENARIOS:
        folder = tempfile.mkdtemp(prefix="ipc-e2e-")
        try:
            shutil.copy(mode.probe, folder)
            scenario(mode, folder)
            print("PASS %s %s" % (mode.name, scenario.__name__))
            passed += 1
            shutil.rmtree(folder, ignore_errors=True)
        except (Failure, subprocess.TimeoutExpired, OSError, ValueError) as problem:
            print("FAIL %s %s: %s (kept %s)" % (mode.name, scenario.__name__, problem, folder))
            failed += 1
        sys.stdout.flush()
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
