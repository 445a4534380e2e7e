#!/usr/bin/env python3
"""The station's page under load, side by side in one run: four devices at 57600 baud updated by one
tq330-flash --loop --serve, each device back in its boot loader shortly after each update (the next
device on the fixture). The updates alternate between rounds without any client and rounds with 100
clients holding the page's event stream open plus one that connects and never reads. Prints each
round's median update seconds, the program's resident memory (parent and children) after each
round, and the CPU seconds the parent (the web side's process) spent per round.

  run_station_bench.py TQ330_FLASH TQ330_SIM [ROUNDS] [BAUD]    (defaults: 10 rounds, 57600)"""
import os
import socket
import statistics
import sys
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "station"))
from station_line import Line, children_of  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


def rss_kb(pids):
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/status") as f:
                total += next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
        except (OSError, StopIteration):
            pass
    return total


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


class Clients:
    """100 readers of /events and one client that never reads."""
    def __init__(self, url, port, count=100):
        self.stop = threading.Event()
        self.bytes = 0
        self.threads = [threading.Thread(target=self.read, args=(url,), daemon=True) for _ in range(count)]
        for t in self.threads:
            t.start()
        self.stuck = socket.create_connection(("127.0.0.1", port))
        self.stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.stuck.sendall(f"GET /events HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())

    def read(self, url):
        try:
            with urllib.request.urlopen(url + "/events", timeout=30) as r:
                while not self.stop.is_set():
                    chunk = r.read1(65536)
                    if not chunk:
                        break
                    self.bytes += len(chunk)
        except OSError:
            pass

    def close(self):
        self.stop.set()
        self.stuck.close()


def main():
    flash, sim = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    baud = sys.argv[4] if len(sys.argv) > 4 else "57600"
    with Line(flash, sim) as line:
        for _ in range(4):
            line.device("--baud", baud, "--clear-ms", "1500", "--app-ms", "3000")
        line.station("--quiet")
        parent = line.flash_process.pid
        seen = 0
        rows = []
        for r in range(rounds):
            loaded = r % 2 == 1
            clients = Clients(line.url, line.port) if loaded else None
            cpu0 = cpu_seconds(parent)
            # One update per port in this round: wait for four more results.
            line.wait_for(lambda: sum(p["updated"] + p["not_updated"] for p in line.state()["ports"]) >= seen + 4,
                          900, "the round's updates")
            state = line.state()
            seen = sum(p["updated"] + p["not_updated"] for p in state["ports"])
            seconds = [p["last"][0]["seconds"] for p in state["ports"]]
            cpu = cpu_seconds(parent) - cpu0
            rss = rss_kb([parent] + children_of(parent))
            extra = ""
            if clients:
                extra = f", {clients.bytes / 1e6:.1f} MB pushed"
                clients.close()
            rows.append((loaded, statistics.median(seconds), rss, cpu))
            print(f"round {r + 1:2} {'100 clients + 1 stuck' if loaded else 'no client':22} median "
                  f"{statistics.median(seconds):7.2f} s  RSS {rss / 1024:6.1f} MiB  parent CPU {cpu:6.2f} s{extra}",
                  flush=True)
            time.sleep(0.5)
        for loaded in (False, True):
            mine = [row for row in rows if row[0] == loaded]
            if mine:
                print(f"{'with clients' if loaded else 'without':13} median of medians "
                      f"{statistics.median(m[1] for m in mine):7.2f} s, RSS {mine[0][2] / 1024:.1f} .. "
                      f"{mine[-1][2] / 1024:.1f} MiB, parent CPU {statistics.median(m[3] for m in mine):.2f} s a round")


if __name__ == "__main__":
    main()
