#!/usr/bin/env python3
"""Process-level fuzzer: runs the agent (-P <own pid>, port 9091) against this process playing the application
in conforming and mutated conversations; reports crashes, stray standard error, hangs, files outside the announced
path and failed conforming runs. --seed S --only I replays iteration I. Run it under flock /tmp/yult-ports.lock."""
import argparse, fcntl, json, os, random, select, shutil, signal, socket, stat, subprocess, sys, tempfile, termios, time
from pathlib import Path

MARKER = b"profiler-trace-data-end"
# Each job's options and the last message of its conforming conversation.
JOBS = {"start": (["-C", "-S"], b"start-profiling"), "stop": (["-C", "-O"], b"file-received"),
        "heap": (["-M", "-J"], b"heapinfo-received")}
HANG_SECONDS = 40  # for the agent to exit once the connection has closed
VICTIM = b"not the agent's to write"


def exchange(sock, agent, settle=True):
    """What the agent sent, and whether the link ended; settled: once the agent sleeps (10 s at most)."""
    until = time.monotonic() + (10 if settle else 0)
    data, idle = b"", 0
    while True:
        if select.select([sock], [], [], 0.003 if settle else 0)[0]:
            try:
                chunk = sock.recv(65536)
            except OSError:
                chunk = b""
            if not chunk:
                return data, True
            data, idle = data + chunk, 0
        elif agent.poll() is not None:
            return data, True
        else:
            # Asleep with every byte acknowledged by its kernel: it has been woken for them and is done.
            with open(f"/proc/{agent.pid}/stat", "rb") as f:  # still there: the agent is not reaped yet
                asleep = f.read().rsplit(b")", 1)[1].split()[0] in b"SZ"
            idle = idle + 1 if asleep and fcntl.ioctl(sock, termios.TIOCOUTQ, bytes(4)) == bytes(4) else 0
            if idle >= 3 or time.monotonic() >= until:
                return data, False


def data_writes(rng, payload):
    """The payload cut at up to a dozen random points; a few writes wait to be read alone."""
    cuts = rng.sample(range(1, len(payload)), min(len(payload) - 1, rng.randint(0, 12))) if payload else []
    bounds = [0] + sorted(cuts) + [len(payload)]
    return [("send" if rng.random() < 0.15 else "data", payload[a:b]) for a, b in zip(bounds, bounds[1:]) if b > a]


def conversation(rng, job, token):
    """A conforming conversation: its steps (kind, bytes) and the content it delivers (None: none)."""
    steps = [("send", b"hello"), ("send", b"handshake-success-ack")]
    if job == "start":
        return steps + [("send", rng.choice([b"profiling-started", b"profiling-in-progress"]))], None
    size = rng.choice([0, 1, 22, 23, 24, rng.randint(1, 200), rng.randint(900, 1100), 1024, 2048,
                       rng.randint(2000, 20000)])
    line = (f"{token} heap node\n" if job == "heap" else f'{{"{token}":"sample","ts":1}}\n').encode()
    content = (line * (size // len(line) + 1))[:size] or (b"x" if job == "heap" else b"")  # no empty summary
    announce = (b"profiler-trace-metadata trace-filename:%s.trace#trace-filesize:%d" % (token.encode(), len(content))
                if job == "stop" else b"js-heapinfo-metadata js-heapinfo-size:%d" % len(content))
    steps += [("send", b"profiling-stopped")] * (job == "stop") + [("send", announce)]
    marker = MARKER if rng.random() < 0.7 or not content else b""
    return steps + data_writes(rng, content + marker), content


def hostile_metadata(rng, token, actual, heap):
    """A well-formed announcement with a hostile name or size; the parser's own fuzzer mangles its keys."""
    size = rng.choice(["-1", "-0", "+5", " 7", "0", "1", str(actual), str(actual + 1), str(max(actual - 1, 0)),
                       "9223372036854775807", "9223372036854775808", "-9223372036854775808", "18446744073709551616",
                       "abc", "", "0x10", "9" * 40, f"{actual}#{actual}", f"{actual} bytes"]).encode()
    if heap:
        return rng.choice([b"js-heapinfo-metadata js-heapinfo-size:", b"js-heapinfo-metadata:js-heapinfo-size:"]) + size
    aimed = ["../{t}", "../../{t}", "./../{t}", "{t}-dir/../../{t}", "../tmp/{t}-dir/x", "{t}-dir/x", "{t}-dir",
             "{t}-link", "{t}-fifo", "{t}-hardlink", "{t}-foreign"]  # out of /tmp, or at what stands planted there
    odd = ["", ".", "..", "/", "/{t}", "{t}\x01", "{t}\x7f", "{t}\x1b[31m", "{t}\xff", "{t}#x", "{t}:a:b",
           "{t}%n%s", " {t}", "{t}\t", "{T}.TRACE", "{t}.trace:trace-filesize:1", "{t}" + "a" * 236, "{t}" + "a" * 300]
    name = rng.choice(rng.choice([aimed, odd])).format(t=token, T=token.upper()).encode("latin-1")
    return b"profiler-trace-metadata trace-filename:%s#trace-filesize:%s" % (name, size)


def random_message(rng, token):
    """A message of the protocol, cut or padded, a hostile announcement, or random bytes."""
    known = [b"hello", b"HELLO", b"handshake-success-ack", b"profiling-started", b"profiling-stopped", MARKER, b"",
             b"profiling-in-progress", b"profiling-not-in-progress", b"hello\n", b"hello\0junk", b"\0",
             b"profiler-trace-metadata", b"js-heapinfo-metadata"]
    kind = rng.random()
    return (rng.choice(known) if kind < 0.4 else hostile_metadata(rng, token, rng.randint(0, 100), rng.random() < 0.5)
            if kind < 0.7 else rng.randbytes(rng.choice([1, 5, 64, 1024, 1025, 3000])))


def mutate_bytes(rng, data):
    """One to four edits: a byte replaced, a NUL inserted, a byte deleted, the case swapped, the tail cut."""
    for _ in range(rng.randint(1, 4)):
        at = rng.randint(0, len(data))
        data = rng.choice([data[:at] + rng.randbytes(1) + data[at + 1:], data[:at] + b"\0" + data[at:],
                           data[:at] + data[at + 1:], data.swapcase(), data[:at]])
    return data


def mutate(rng, steps, token, content):
    """One to three mutations at random places (the end included); returns the steps and the mutations."""
    applied = []
    for _ in range(rng.randint(1, 3)):
        i = rng.randint(0, len(steps))
        kind, message = steps[i] if i < len(steps) else ("send", b"")
        head, rest, cut = steps[:i], steps[i + 1:], rng.randint(0, len(message))
        grown = rng.choice([message * 400, message + b"x" * 5000, b"y" * 5000 + message])
        tail = rng.choice([MARKER, MARKER + b"extra", b"extra" + MARKER + MARKER, MARKER[:11], b"x" * 700,
                           rng.randbytes(64)])
        at = next((j for j, step in enumerate(steps) if b"metadata" in step[1][:30]), None)
        heap = steps[at][1].startswith(b"js-") if at is not None else rng.random() < 0.5
        announce = [("send", hostile_metadata(rng, token, len(content or b""), heap))]
        variants = {
            "replace": head + [(kind, random_message(rng, token))] + rest,
            "bytes": head + [(kind, mutate_bytes(rng, message))] + rest,
            "oversize": head + [(kind, grown[:rng.choice([1025, 2048, 65536])])] + rest,
            "merge": head + [(kind, message + (rest[0][1] if rest else b""))] + rest[1:],
            "split": head + [(kind, message[:cut]), (kind, message[cut:])] + rest,
            "drop": head + rest,
            "duplicate": steps[:i + 1] + steps[i:],
            "close": head + [("close", b"")] + steps[i:],
            "noise": head + [("send", random_message(rng, token))] + steps[i:],
            "metadata": head + announce + steps[i:] if at is None else steps[:at] + announce + steps[at + 1:],
            "data": steps + data_writes(rng, tail),
        }
        op = rng.choice(list(variants) + ["metadata"] * 3 + ["data"])
        steps = variants[op]
        applied.append(op)
    return steps, applied


def converse(wake, agent, steps, findings):
    """Plays the steps once the agent has signalled; returns everything the agent sent."""
    until = time.monotonic() + 20
    while not (select.select([wake], [], [], 0.1)[0] and signal.SIGUSR1 in os.read(wake, 4096)):
        if agent.poll() is not None or time.monotonic() > until:
            return b""
    with socket.socket() as sock:
        sock.settimeout(10)
        if sock.connect_ex(("127.0.0.1", 9091)) != 0:
            findings.append("cannot connect after the signal")
            return b""
        wire, closed = exchange(sock, agent)
        for kind, message in steps:
            if closed or kind == "close":
                break
            try:
                sock.sendall(message)
            except OSError:
                break
            more, closed = exchange(sock, agent, settle=kind == "send")
            wire += more
        return wire if closed else wire + exchange(sock, agent)[0]


def plant(bait):
    """What hostile names aim at: a directory, a dangling link, a FIFO, a hard link and another user's file."""
    os.mkdir(bait + "-dir")
    os.symlink(bait + "-dir/target", bait + "-link")
    os.mkfifo(bait + "-fifo")
    for suffix in ("-victim", "-foreign"):
        Path(bait + suffix).write_bytes(VICTIM)
    os.link(bait + "-victim", bait + "-hardlink")
    if os.geteuid() == 0:
        os.chown(bait + "-foreign", 65534, 65534)
    return lambda: (not os.listdir(bait + "-dir") and os.path.islink(bait + "-link")
                    and stat.S_ISFIFO(os.lstat(bait + "-fifo").st_mode)
                    and all(Path(bait + s).read_bytes() == VICTIM for s in ("-victim", "-hardlink", "-foreign")))


def iterate(args, wake, work, index):
    """Runs one iteration; returns its record, findings, summary and standard error included."""
    rng = random.Random(f"{args.seed}-{index}")
    token = f"yfz-{os.getpid()}-{index:07d}"  # equal lengths: no token is a prefix of another
    job = rng.choice(args.jobs)
    options = JOBS[job][0] + (["-V"] if rng.random() < 0.5 else [])
    steps, content = conversation(rng, job, token)
    pristine = rng.random() < args.pristine
    steps, mutations = (steps, []) if pristine else mutate(rng, steps, token, content)
    findings, agent, stored, bait, before = [], None, [], "/tmp/" + token, set(os.listdir("/tmp"))
    record = {"iteration": index, "options": options, "mutations": mutations,
              "steps": [[kind, message.decode("latin-1")] for kind, message in steps], "findings": findings}
    try:
        intact = plant(bait)
        while select.select([wake], [], [], 0)[0]:
            os.read(wake, 4096)
        with open(work + "/out", "wb") as out, open(work + "/err", "wb") as err:
            agent = subprocess.Popen(args.launcher.split() + [args.agent, "-P", str(os.getpid())] + options,
                                     stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=args.env)
        wire = converse(wake, agent, steps, findings)
        try:
            status = agent.wait(HANG_SECONDS)
        except subprocess.TimeoutExpired:
            status = None
        stdout, stderr = Path(work + "/out").read_bytes(), Path(work + "/err").read_bytes()
        record["stderr"] = stderr[-20000:].decode("latin-1")
        stray = b"\n".join(line for line in stderr.splitlines()
                           if line.strip(b"=") and not line.startswith(b"YultService: "))
        kept = {"start": True, "heap": b"YultService: JavaScript HeapInfo: %s\n" % (content or b"") in stdout,
                "stop": os.path.isfile(bait + ".trace") and Path(bait + ".trace").read_bytes() == content}[job]
        findings += [text for failed, text in [
            (status is None, f"hang: no exit {HANG_SECONDS} s after the connection closed"),
            (status not in (None, 0, 1), f"crash: exit status {status} (negative: killed by that signal)"),
            (stray, "stray standard error: " + stray[:200].decode("latin-1")),
            (pristine and not (status == 0 and wire.endswith(JOBS[job][1]) and kept),
             f"conforming {job} run failed: exit {status}, wire {wire[:200]!r}"),
            (not intact(), "written through or over a planted directory, link, FIFO or another user's file")] if failed]
        for path in ["/" + name for name in os.listdir("/") if token in name] + \
                ["/tmp/" + name for name in set(os.listdir("/tmp")) - before]:
            regular = os.path.isfile(path) and not os.path.islink(path)
            ours = token in path or regular and token.encode() in Path(path).read_bytes()[:1 << 20]
            if ours and not path.startswith(bait + "-"):
                stored.append(path)
                if not regular or not path.startswith("/tmp/") or b"ack-profiler-trace-metadata" not in wire:
                    findings.append(f"file written outside the announced path: {path}")
        record["summary"] = f"{job}{' pristine' if pristine else ''} exit {status}"
        return record
    finally:
        if agent and agent.poll() is None:
            agent.kill()
            agent.wait()
        for path in stored + [top + name for top in ("/tmp/", "/") for name in os.listdir(top) if token in name]:
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path, ignore_errors=True)
            elif os.path.lexists(path):
                os.unlink(path)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--agent", default=os.path.join(root, "build-asan", "YultService"))
    parser.add_argument("--launcher", default="", help='command prefix for the agent, e.g. "valgrind -q"')
    parser.add_argument("--iterations", type=int, default=1000000)
    parser.add_argument("--time-budget", type=float, default=30, help="seconds; no iteration starts after it")
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--only", type=int, help="run just this iteration (replay a finding)")
    parser.add_argument("--pristine", type=float, default=0.15, help="share of unmutated conversations")
    parser.add_argument("--jobs", default=",".join(JOBS), help="comma-separated jobs to draw from")
    parser.add_argument("--findings", default=os.path.join(root, "build-fuzz", "process-findings"))
    parser.add_argument("--verbose", action="store_true", help="one line per iteration")
    args = parser.parse_args()
    args.jobs = args.jobs.split(",")
    sanitizers = "halt_on_error=1:abort_on_error=1:print_summary=1"
    # A real handler, so that SIGUSR1 never ends this process; it only wakes a pipe.
    wake, wake_write = os.pipe()
    os.set_blocking(wake_write, False)
    signal.signal(signal.SIGUSR1, lambda *_: None)
    signal.set_wakeup_fd(wake_write)
    started, runs, failed = time.monotonic(), 0, 0
    with tempfile.TemporaryDirectory(prefix="yfz-work-") as work:
        os.makedirs(work + "/tulm/apps")
        Path(f"{work}/tulm/apps/{os.getpid()}").write_text("com.olva.fuzz")
        args.env = dict(os.environ, PATH=f"{root}/tools:{os.environ['PATH']}", TULM_HOME=work + "/tulm",
                        ASAN_OPTIONS=sanitizers + ":detect_leaks=1", UBSAN_OPTIONS=sanitizers + ":print_stacktrace=1")
        for index in [args.only] if args.only is not None else range(args.iterations):
            if args.only is None and time.monotonic() - started >= args.time_budget:
                break
            record, runs = iterate(args, wake, work, index), runs + 1
            if args.verbose:
                print(f"{index:6d} {record['summary']} {record['mutations']}", flush=True)
            if record["findings"]:
                failed += 1
                path = Path(args.findings, f"seed{args.seed}-{index}.json")
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_text(json.dumps(record, indent=1))
                print(f"FINDING iteration {index}: {'; '.join(record['findings'])} (replay: --seed {args.seed}"
                      f" --only {index}; details {path})", flush=True)
    print(f"process fuzzer, seed {args.seed}: {runs} runs, {failed} with findings", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
