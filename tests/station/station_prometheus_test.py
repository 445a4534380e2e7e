"""The station's /metrics read by a real Prometheus (Debian's), started here on loopback with a
scrape configuration for the station: after four devices were updated, one of them rejecting a
block, its HTTP API answers the right count per port and result.

  station_prometheus_test.py TQ330_FLASH TQ330_SIM"""
import json
import os
import sys
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from station_line import SKIP, Line, free_port, results  # noqa: E402

PROMETHEUS = "/usr/bin/prometheus"


def query(base, expression):
    url = base + "/api/v1/query?" + urllib.parse.urlencode({"query": expression})
    with urllib.request.urlopen(url, timeout=5) as r:
        answer = json.load(r)
    assert answer["status"] == "success", answer
    return answer["data"]["result"]


def main():
    if not os.path.exists(PROMETHEUS):
        print("SKIP: prometheus is not installed")
        sys.exit(SKIP)
    flash, sim = sys.argv[1], sys.argv[2]
    common = ["--baud", "0", "--clear-ms", "100", "--app-ms", "600000"]
    with Line(flash, sim) as line:
        good = [line.device(*common) for _ in range(3)]
        bad = line.device(*common, "--reject-at", "0xC0000")
        line.station()
        line.wait_for(lambda: all(s in ("updated", "not updated") for s, _, _ in results(line.state()).values()),
                      120, "every port's result")

        web = free_port()
        config = os.path.join(line.folder, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n"
                    "scrape_configs:\n  - job_name: tq330-station\n    static_configs:\n"
                    f"      - targets: ['127.0.0.1:{line.port}']\n")
        log = open(os.path.join(line.folder, "prometheus.log"), "w")
        line.start([PROMETHEUS, f"--config.file={config}", f"--storage.tsdb.path={line.folder}/tsdb",
                    f"--web.listen-address=127.0.0.1:{web}"], stdout=log, stderr=log)
        base = f"http://127.0.0.1:{web}"

        def counts():
            try:
                found = query(base, 'tq330_results_total{job="tq330-station"}')
            except OSError:
                return None
            by = {(r["metric"]["port"], r["metric"]["result"]): float(r["value"][1]) for r in found}
            return by if len(by) >= 8 else None
        by = line.wait_for(counts, 90, "Prometheus holding the station's results")
        print(json.dumps({f"{p} {r}": v for (p, r), v in sorted(by.items())}, indent=1))
        for device in good:
            assert by[(device, "updated")] == 1 and by[(device, "not updated")] == 0, (device, by)
        assert by[(bad, "updated")] == 0 and by[(bad, "not updated")] == 1, by
        up = query(base, 'up{job="tq330-station"}')
        assert up and up[0]["value"][1] == "1", up
        seconds = query(base, 'tq330_update_seconds_count{job="tq330-station"}')
        assert sorted(float(r["value"][1]) for r in seconds) == [1, 1, 1, 1], seconds
        build = query(base, "tq330_build_info")
        assert build and build[0]["metric"].get("firmware_crc", "").startswith("0x"), build
    print("passed")


if __name__ == "__main__":
    main()
