#!/usr/bin/env python3
"""Process-level fuzzer: runs the real agent against this process playing the application.

Each iteration starts the agent (-P <own pid>, port 9091) for a CPU start, a CPU stop or a
heap summary, takes its SIGUSR1, connects and plays a conversation: a conforming one, or one
mutated with malformed, merged, split and oversized messages, hostile metadata names and
sizes, cut or padded data streams, early closes and byte noise. It then closes and reports:
  - a crash: death by a signal, or an exit status other than 0 and 1;
  - a sanitizer report, or any other stray text, on the agent's standard error;
  - a hang: no exit within --hang-timeout seconds of the connection's close;
  - a wire message the agent has no business sending;
  - a file written under /tmp (or /) anywhere but the announced path, a followed symbolic
    link, a file created in a directory named by the announcement;
  - a conforming conversation that does not end as it must (the fuzzer's own self-check).
Every iteration derives its randomness from (seed, iteration): --seed S --only I replays one.
Run it under the machine-wide port lock:  flock /tmp/yult-ports.lock fuzz/process_fuzz.py ...
"""
import argparse
import fcntl
import json
import os
import random
import re
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import termios
import time

MARKER = b"profiler-trace-data-end"
AGENT_WORD = (rb"hello|start-profiling|stop-profiling|get-js-heapinfo|bye|ack-profiler-trace-metadata|"
              rb"js-heapinfo-metadata-ack|profiler-trace-file-received|js-heapinfo-received")
AGENT_SENDS = re.compile(b"(" + AGENT_WORD + b")*")
JOBS = {"start": ["-C", "-S"], "stop": ["-C", "-O"], "heap": ["-M", "-J"]}
PORT = 9091


# ---------------------------------------------------------------------------------------- peer
class Peer:
    """This process as the profiled application: SIGUSR1 and SIGCHLD wake a pipe."""

    def __init__(self):
        self.wake_read, wake_write = os.pipe()
        os.set_blocking(self.wake_read, False)
        os.set_blocking(wake_write, False)
        # A real handler: the agent checks SigCgt before it signals (sigtimedwait would not do).
        signal.signal(signal.SIGUSR1, lambda *_: None)
        signal.signal(signal.SIGCHLD, lambda *_: None)
        signal.set_wakeup_fd(wake_write)

    def drain(self):
        try:
            while os.read(self.wake_read, 512):
                pass
        except BlockingIOError:
            pass

    def await_signal(self, agent, timeout):
        """True once SIGUSR1 came; False when the agent exited or the time ran out first."""
        until = time.monotonic() + timeout
        while time.monotonic() < until:
            select.select([self.wake_read], [], [], min(0.2, max(0.0, until - time.monotonic())))
            try:
                if signal.SIGUSR1 in os.read(self.wake_read, 512):
                    return True
            except BlockingIOError:
                pass
            if agent.poll() is not None:
                return False
        return False


def process_state(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0].decode()
    except (OSError, IndexError):
        return "?"


def exchange(sock, agent, settle=True, timeout=10.0):
    """Collects what the agent sends; settled: until it sleeps with nothing more to send, or ends;
    otherwise only what has already arrived. Returns the bytes and whether the link has ended."""
    data, idle_polls = b"", 0
    until = time.monotonic() + (timeout if settle else 0)
    # Loopback delivery may finish after send() returns; once the agent's kernel has acknowledged
    # every byte, the agent has been woken and a sleeping agent has taken what it could.
    unacknowledged = bytearray(4)
    while settle and time.monotonic() < until and agent.poll() is None and \
            fcntl.ioctl(sock, termios.TIOCOUTQ, unacknowledged) == 0 and \
            int.from_bytes(unacknowledged, sys.byteorder) > 0 and not select.select([sock], [], [], 0.0001)[0]:
        pass
    while True:
        readable, _, _ = select.select([sock], [], [], 0.003 if settle else 0)
        if readable:
            try:
                chunk = sock.recv(65536)
            except OSError:
                chunk = b""
            if not chunk:
                return data, True
            data, idle_polls = data + chunk, 0
            continue
        if agent.poll() is not None:
            return data, True
        idle_polls = idle_polls + 1 if process_state(agent.pid) in "SZ?" else 0
        if idle_polls >= 3 or time.monotonic() >= until:
            return data, False


# --------------------------------------------------------------------------------- conversations
def content_for(rng, token, heap):
    size = rng.choice([0, 1, 22, 23, 24, rng.randint(1, 200), rng.randint(900, 1100), 1024, 2048,
                       rng.randint(2000, 20000)])
    if size == 0:
        return b"x" if heap else b""  # an empty summary is an error by design
    line = (f"{token} heap node\n" if heap else f'{{"{token}":"sample","ts":1}}\n').encode()
    return (line * (size // len(line) + 1))[:size]


def data_writes(rng, payload):
    """The payload cut at up to a dozen random points; a few writes wait to be read alone."""
    cuts = rng.sample(range(1, len(payload)), min(len(payload) - 1, rng.randint(0, 12))) if payload else []
    bounds = [0] + sorted(cuts) + [len(payload)]
    return [("send" if rng.random() < 0.15 else "data", payload[a:b]) for a, b in zip(bounds, bounds[1:]) if b > a]


def conversation(rng, job, token):
    """A conforming conversation: its steps and the content it delivers (None: none)."""
    steps = [("send", b"hello"), ("send", b"handshake-success-ack")]
    if job == "start":
        return steps + [("send", rng.choice([b"profiling-started", b"profiling-in-progress"]))], None
    content = content_for(rng, token, job == "heap")
    if job == "stop":
        steps += [("send", b"profiling-stopped"),
                  ("send", b"profiler-trace-metadata trace-filename:%s#trace-filesize:%d"
                   % (f"{token}.trace".encode(), len(content)))]
    else:
        steps += [("send", b"js-heapinfo-metadata js-heapinfo-size:%d" % len(content))]
    marker = MARKER if rng.random() < 0.7 or not content else b""
    return steps + data_writes(rng, content + marker), content


def hostile_name(rng, token):
    return rng.choice([
        f"../{token}", f"../../{token}", f"{token}-dir", f"{token}-dir/x", f"{token}/x", f"{token}-link", f"{token}-fifo",
        "", ".", "..", "/", f"/{token}", f"{token}\x01", f"{token}\x7f", f"{token}\x1b[31m", f"{token}\xff",
        f"{token}" + "a" * rng.choice([200, 255, 300, 4000]), f"{token}#x", f"{token}:a:b", f"{token}%n%s%s",
        f" {token}", f"{token}\t", f"{token.upper()}.TRACE", f"{token}.trace:trace-filesize:1",
    ]).encode("latin-1")


def hostile_size(rng, actual):
    return rng.choice([
        "-1", "-0", "+5", " 7", "\t3", "0", "1", str(actual), str(actual + 1), str(max(actual - 1, 0)),
        "9223372036854775807", "9223372036854775808", "-9223372036854775808", "18446744073709551616",
        "4294967296", "abc", "", "0x10", "1e3", "9" * 40, "0" * 30 + "1", f"{actual}#{actual}", f"{actual} bytes",
    ]).encode()


def hostile_metadata(rng, token, actual):
    if rng.random() < 0.35:
        return b"js-heapinfo-metadata" + rng.choice([b" ", b":", b"#", b""]) + \
            rng.choice([b"js-heapinfo-size", b"js-heapinfo-siz", b"size", b""]) + \
            rng.choice([b":", b"", b"::", b"#"]) + hostile_size(rng, actual)
    name_key = rng.choice([b"trace-filename", b"trace-filename", b"trace-file", b"name", b""])
    size_key = rng.choice([b"trace-filesize", b"trace-filesize", b"trace-size", b"size", b""])
    return b"profiler-trace-metadata" + rng.choice([b" ", b":", b"#", b""]) + name_key + \
        rng.choice([b":", b"", b"::"]) + hostile_name(rng, token) + rng.choice([b"#", b"", b"##", b":"]) + \
        size_key + rng.choice([b":", b"", b"#"]) + hostile_size(rng, actual)


def random_message(rng, token):
    vocabulary = [b"hello", b"HELLO", b"handshake-success-ack", b"profiling-started", b"profiling-stopped",
                  b"profiling-in-progress", b"profiling-not-in-progress", MARKER, b"hello ", b"hello\n", b"",
                  b"hello\0junk", b"\0", b"profiler-trace-metadata", b"js-heapinfo-metadata"]
    choice = rng.random()
    if choice < 0.4:
        return rng.choice(vocabulary)
    if choice < 0.7:
        return hostile_metadata(rng, token, rng.randint(0, 100))
    return bytes(rng.getrandbits(8) for _ in range(rng.choice([1, 5, 64, 1023, 1024, 1025, 3000])))


def mutate_bytes(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(6)
        at = rng.randint(0, len(data))
        if op == 0 and data:
            data[min(at, len(data) - 1)] ^= 1 << rng.randrange(8)
        elif op == 1:
            data[at:at] = bytes([rng.getrandbits(8)])
        elif op == 2 and data:
            del data[min(at, len(data) - 1)]
        elif op == 3:
            data[at:at] = b"\0"
        elif op == 4:
            data = bytearray(data.upper() if rng.random() < 0.5 else data.swapcase())
        else:
            data = data[:at]
    return bytes(data)


def mutate(rng, steps, token, content):
    """Applies one to three mutations; every one is named in the returned list."""
    applied = []
    for _ in range(rng.randint(1, 3)):
        sends = [i for i, s in enumerate(steps) if s[0] != "close"]
        i = rng.choice(sends) if sends else 0
        kind = steps[i][0] if sends else "send"
        op = rng.choice(["replace", "bytes", "oversize", "merge", "split", "drop", "duplicate", "cut", "noise",
                         "metadata", "metadata", "data", "data", "close"])
        if op == "replace" and sends:
            steps[i] = (kind, random_message(rng, token))
        elif op == "bytes" and sends:
            steps[i] = (kind, mutate_bytes(rng, steps[i][1]))
        elif op == "oversize" and sends:
            grown = rng.choice([steps[i][1] * rng.randint(2, 400), steps[i][1] + b"x" * rng.randint(1, 5000),
                                b"y" * rng.randint(1, 5000) + steps[i][1]])
            steps[i] = (kind, grown[:rng.choice([1025, 2048, 65536])])
        elif op == "merge" and sends and i + 1 < len(steps) and steps[i + 1][0] != "close":
            steps[i:i + 2] = [(kind, steps[i][1] + steps[i + 1][1])]
        elif op == "split" and sends and len(steps[i][1]) > 1:
            cut = rng.randint(1, len(steps[i][1]) - 1)
            steps[i:i + 1] = [(kind, steps[i][1][:cut]), (kind, steps[i][1][cut:])]
        elif op == "drop" and steps:
            del steps[i]
        elif op == "duplicate" and steps:
            steps.insert(i, steps[i])
        elif op == "cut":
            del steps[rng.randint(0, len(steps)):]
        elif op == "noise":
            steps.insert(rng.randint(0, len(steps)), ("send", random_message(rng, token)))
        elif op == "metadata":
            meta = [j for j, s in enumerate(steps) if s[0] == "send" and b"metadata" in s[1][:30]]
            at = meta[0] if meta else rng.randint(2, max(2, len(steps)))
            steps[at:at + (1 if meta else 0)] = [("send", hostile_metadata(rng, token, len(content or b"")))]
        elif op == "data":
            tail = rng.choice([MARKER, MARKER + b"extra", b"extra" + MARKER + MARKER, MARKER[:11], b"x" * 700,
                               bytes(rng.getrandbits(8) for _ in range(64))])
            steps.extend(data_writes(rng, tail))
        elif op == "close":
            steps.insert(rng.randint(0, len(steps)), ("close",))
        else:
            continue
        applied.append(op)
    return applied


# ------------------------------------------------------------------------------------ iteration
class Iteration:
    def __init__(self, args, peer, work, index):
        self.args, self.peer, self.work, self.index = args, peer, work, index
        self.rng = random.Random(f"{args.seed}-{index}")
        self.token = f"yfz-{os.getpid()}-{index:07d}"  # equal lengths: no token is a prefix of another
        self.findings = []
        self.baits, self.stored = set(), set()
        self.agent = None

    def bait(self):
        """Things a hostile name may aim at: a directory, a symbolic link, a FIFO."""
        tmp = "/tmp/" + self.token
        os.mkdir(tmp + "-dir")
        os.symlink(tmp + "-dir/target", tmp + "-link")
        os.mkfifo(tmp + "-fifo")
        self.baits = {tmp + "-dir", tmp + "-link", tmp + "-fifo"}

    def run(self):
        rng = self.rng
        job = rng.choice(self.args.jobs)
        options = JOBS[job] + (["-V"] if rng.random() < 0.5 else [])
        steps, content = conversation(rng, job, self.token)
        pristine = rng.random() < self.args.pristine
        mutations = [] if pristine else mutate(rng, steps, self.token, content)
        self.record = {"iteration": self.index, "job": job, "options": options, "mutations": mutations,
                       "steps": [[s[0]] + [x.decode("latin-1") for x in s[1:]] for s in steps]}

        before = set(os.listdir("/tmp"))
        self.bait()
        out, err = os.path.join(self.work, "out"), os.path.join(self.work, "err")
        self.peer.drain()
        with open(out, "wb") as o, open(err, "wb") as e:
            agent = self.agent = subprocess.Popen(
                self.args.launcher + [self.args.agent, "-P", str(os.getpid())] + options,
                stdin=subprocess.DEVNULL, stdout=o, stderr=e, env=self.args.env)
        wire = self.converse(agent, steps)
        status = self.await_exit(agent)
        stdout, stderr = open(out, "rb").read(), open(err, "rb").read()
        self.check(job, status, stdout, stderr, wire, pristine, content)
        self.check_files(before, wire)
        last = re.findall(AGENT_WORD, wire)
        return f"{job}{'-pristine' if pristine else ''} exit {status}, last sent {(last or [b'-'])[-1].decode()}"

    def converse(self, agent, steps):
        if not self.peer.await_signal(agent, 20):
            return b""
        sock = socket.socket()
        sock.settimeout(10)
        try:
            sock.connect(("127.0.0.1", PORT))
        except OSError as error:
            sock.close()
            self.findings.append(f"cannot connect after the signal: {error}")
            return b""
        wire, closed = exchange(sock, agent)
        for step in steps:
            if closed or step[0] == "close":
                break
            try:
                sock.sendall(step[1])
            except OSError:
                break
            data, closed = exchange(sock, agent, settle=step[0] == "send")
            wire += data
        if not closed:
            data, closed = exchange(sock, agent)
            wire += data
        sock.close()
        return wire

    def await_exit(self, agent):
        try:
            return agent.wait(self.args.hang_timeout)
        except subprocess.TimeoutExpired:
            agent.kill()
            agent.wait()
            self.findings.append(f"hang: no exit {self.args.hang_timeout} s after the connection closed")
            return None

    def check(self, job, status, stdout, stderr, wire, pristine, content):
        if status is not None and status < 0:
            self.findings.append(f"crash: killed by signal {-status}")
        elif status not in (None, 0, 1):
            self.findings.append(f"crash: exit status {status}")
        for line in stderr.decode("latin-1").splitlines():
            if line and not line.startswith("YultService: "):
                self.findings.append("stray standard error: " + line[:200])
                break
        if not AGENT_SENDS.fullmatch(wire):
            self.findings.append(f"unexpected wire bytes: {wire[:200]!r}")
        if not pristine:
            return
        expected = {"start": b"hellostart-profiling",
                    "stop": b"hellostop-profilingack-profiler-trace-metadataprofiler-trace-file-received",
                    "heap": b"helloget-js-heapinfojs-heapinfo-metadata-ackjs-heapinfo-received"}[job]
        if status != 0 or wire != expected:
            self.findings.append(f"conforming {job} run ended with {status}, wire {wire[:200]!r}")
        elif job == "stop" and open(f"/tmp/{self.token}.trace", "rb").read() != content:
            self.findings.append("conforming trace stored differently")
        elif job == "heap" and b"YultService: JavaScript HeapInfo: " + content + b"\n" not in stdout:
            self.findings.append("conforming heap summary printed differently")

    def check_files(self, before, wire):
        acknowledged = b"ack-profiler-trace-metadata" in wire
        tmp = "/tmp/" + self.token
        if os.listdir(tmp + "-dir"):
            self.findings.append(f"file created inside a directory named by the announcement: {os.listdir(tmp + '-dir')}")
        if not stat.S_ISFIFO(os.lstat(tmp + "-fifo").st_mode) or not os.path.islink(tmp + "-link"):
            self.findings.append("a bait FIFO or symbolic link was replaced")
        for name in os.listdir("/"):
            if self.token in name:
                self.findings.append(f"file written outside /tmp: /{name}")
        marker_token = self.token.encode()
        for name in set(os.listdir("/tmp")) - before:
            path = "/tmp/" + name
            if path in self.baits or path.startswith(self.work):
                continue
            ours = self.token in name or (os.path.isfile(path) and not os.path.islink(path) and
                                          marker_token in open(path, "rb").read(1 << 20))
            if not ours:
                continue  # someone else's file on a shared machine
            if not acknowledged or not os.path.isfile(path) or os.path.islink(path):
                self.findings.append(f"file written outside the announced path: {path}")
            self.stored.add(path)

    def cleanup(self):
        """Ends an agent left running; removes the baits and whatever carries the token, wherever it landed."""
        if self.agent and self.agent.poll() is None:
            self.agent.kill()
            self.agent.wait()
        paths = self.baits | self.stored | {d + n for d in ("/tmp/", "/") for n in os.listdir(d) if self.token in n}
        for path in paths:
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path, ignore_errors=True)
            elif os.path.lexists(path):
                os.unlink(path)


# ----------------------------------------------------------------------------------------- main
def run_one(args, peer, work, index, counts):
    """Runs one iteration, tallies its outcome, saves and prints its findings; 1 if it had any."""
    iteration = Iteration(args, peer, work, index)
    begun = time.monotonic()
    try:
        key = iteration.run()
    finally:
        iteration.cleanup()
    counts[key] = counts.get(key, 0) + 1
    if args.verbose:
        print(f"{index:6d} {time.monotonic() - begun:6.2f} s {key} {iteration.record['mutations']}", flush=True)
    if not iteration.findings:
        return 0
    os.makedirs(args.findings, exist_ok=True)
    path = os.path.join(args.findings, f"seed{args.seed}-{index}.json")
    iteration.record["findings"] = iteration.findings
    iteration.record["stderr"] = open(os.path.join(work, "err"), "rb").read().decode("latin-1")[-20000:]
    with open(path, "w") as f:
        json.dump(iteration.record, f, indent=1)
    print(f"FINDING iteration {index}: {'; '.join(iteration.findings)} (replay: --seed {args.seed} --only {index};"
          f" details {path})", flush=True)
    return 1


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--agent", default=os.path.join(root, "build-asan", "YultService"))
    parser.add_argument("--launcher", default="", help='command prefix for the agent, e.g. "qemu-aarch64"')
    parser.add_argument("--iterations", type=int, default=1000000)
    parser.add_argument("--time-budget", type=float, default=30, help="seconds; no iteration starts after it")
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--only", type=int, help="run just this iteration (replay a finding)")
    parser.add_argument("--pristine", type=float, default=0.15, help="share of unmutated conversations (1: no mutation)")
    parser.add_argument("--jobs", default=",".join(JOBS), help="comma-separated jobs to draw from: start,stop,heap")
    parser.add_argument("--hang-timeout", type=float, default=40)
    parser.add_argument("--findings", default=os.path.join(root, "build-fuzz", "process-findings"))
    parser.add_argument("--verbose", action="store_true", help="one line per run")
    args = parser.parse_args()
    args.launcher = args.launcher.split()
    args.jobs = args.jobs.split(",")
    if not set(args.jobs) <= set(JOBS):
        parser.error(f"--jobs: choose from {','.join(JOBS)}")
    if not os.access(args.agent, os.X_OK):
        parser.error(f"cannot run the agent {args.agent}: build it first")

    work = tempfile.mkdtemp(prefix=f"yfz-{os.getpid()}-work")
    tulm_home = os.path.join(work, "tulm")
    os.makedirs(os.path.join(tulm_home, "apps"))
    with open(os.path.join(tulm_home, "apps", str(os.getpid())), "w") as f:
        f.write("com.olva.fuzz")
    tulm_bin = os.path.join(os.path.dirname(os.path.abspath(args.agent)), "tulm-bin")
    if not os.path.exists(os.path.join(tulm_bin, "tulm")):
        tulm_bin = os.path.join(work, "bin")
        os.makedirs(tulm_bin)
        shutil.copy(os.path.join(root, "tools", "tulm"), tulm_bin)
    sanitizers = "halt_on_error=1:abort_on_error=1:print_summary=1"
    args.env = dict(os.environ, PATH=tulm_bin + ":" + os.environ.get("PATH", "/usr/bin:/bin"), TULM_HOME=tulm_home,
                    ASAN_OPTIONS=sanitizers + ":detect_leaks=1", UBSAN_OPTIONS=sanitizers + ":print_stacktrace=1")

    peer = Peer()
    started, counts, findings = time.monotonic(), {}, 0
    indices = [args.only] if args.only is not None else range(args.iterations)
    print(f"process fuzzer: seed {args.seed}, agent {args.agent}", flush=True)
    try:
        for index in indices:
            if args.only is None and time.monotonic() - started >= args.time_budget:
                break
            findings += run_one(args, peer, work, index, counts)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    total = sum(counts.values())
    print(f"process fuzzer: {total} runs in {time.monotonic() - started:.0f} s, {findings} with findings")
    for key in sorted(counts):
        print(f"  {counts[key]:6d}  {key}")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
