"""A production line on this machine for the station's tests: tq330-simulators, tq330-flash --loop
--serve over them, and whatever else a test starts (a browser, Prometheus), every process ended
on every path, also when the test fails or is interrupted."""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77  # ctest's SKIP_RETURN_CODE: a tool this test needs is not installed


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def children_of(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


class Line:
    def __init__(self, flash, sim):
        self.flash, self.sim = flash, sim
        self.folder = tempfile.mkdtemp(prefix="tq330-station-")
        self.processes = []  # (process, the signal that ends it gently)
        self.devices = []
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"

    def __enter__(self):
        for s in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(s, lambda *_: sys.exit(1))
        return self

    def __exit__(self, *_):
        self.close()

    def start(self, args, gentle=signal.SIGTERM, **kw):
        p = subprocess.Popen(args, start_new_session=True, **kw)
        self.processes.append((p, gentle))
        return p

    def device(self, *extra):
        """A simulator on a pseudo-terminal; its device path."""
        out = open(os.path.join(self.folder, f"sim{len(self.devices)}.out"), "w+")
        self.start([self.sim, *extra], stdout=out, stderr=subprocess.STDOUT)
        deadline = time.time() + 10
        while time.time() < deadline:
            out.seek(0)
            first = out.readline()
            if first.endswith("\n"):
                self.devices.append(first.strip())
                return first.strip()
            time.sleep(0.05)
        raise RuntimeError("the simulator printed no device")

    def station(self, *extra):
        args = [self.flash, "--loop", "--serve", str(self.port)]
        for d in self.devices:
            args += ["--port", d]
        self.flash_err = open(os.path.join(self.folder, "flash.err"), "w+")
        self.flash_process = self.start(args + list(extra), gentle=signal.SIGINT, stdout=subprocess.DEVNULL,
                                        stderr=self.flash_err)
        deadline = time.time() + 20
        while time.time() < deadline:
            try:
                return self.state()
            except OSError:
                time.sleep(0.1)
        raise RuntimeError("the station does not answer")

    def stop_station(self):
        """Ends tq330-flash as Ctrl-C would (its children end with it); the devices stay."""
        p = self.flash_process
        grandchildren = children_of(p.pid)
        p.send_signal(signal.SIGINT)
        try:
            p.wait(timeout=15)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
        for pid in grandchildren:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        self.processes = [(q, g) for q, g in self.processes if q is not p]

    def state(self):
        with urllib.request.urlopen(self.url + "/state", timeout=5) as r:
            return json.load(r)

    def wait_for(self, what, timeout, describe):
        deadline = time.time() + timeout
        while time.time() < deadline:
            value = what()
            if value:
                return value
            time.sleep(0.2)
        raise AssertionError(f"not within {timeout} s: {describe}")

    def close(self):
        # tq330-flash first, gently: it passes Ctrl-C on to its children, which end with their tally.
        for p, gentle in reversed(self.processes):
            if p.poll() is None:
                grandchildren = children_of(p.pid)
                try:
                    p.send_signal(gentle)
                    p.wait(timeout=15)
                except (subprocess.TimeoutExpired, OSError):
                    pass
                for pid in grandchildren:
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except OSError:
                        pass
                if p.poll() is None:
                    try:
                        os.killpg(p.pid, signal.SIGKILL)
                    except OSError:
                        pass
                    p.wait()
        self.processes.clear()
        shutil.rmtree(self.folder, ignore_errors=True)


def results(state):
    """Each port's (state word, updated, not updated) from /state."""
    return {p["port"]: (p["state"], p["updated"], p["not_updated"]) for p in state["ports"]}
