"""The station's page in a real browser (Debian's chromium, headless, driven by selenium): four
devices on the line, one of them rejecting a block and one whose identify text is markup. The tiles
show the updates running, then UPDATED on three and NOT UPDATED with the failed step on the fourth,
with their counters; the markup stays text, and the browser's console holds no error. The program
restarted, the page finds it again by itself.

  station_browser_test.py TQ330_FLASH TQ330_SIM [SCREENSHOT.png]"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from station_line import SKIP, Line  # noqa: E402

HOSTILE = "<img src=x onerror=alert(1)>"

try:
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    print("SKIP: python3-selenium is not installed")
    sys.exit(SKIP)
for tool in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
    if not os.path.exists(tool):
        print(f"SKIP: {tool} is not installed (chromium, chromium-driver)")
        sys.exit(SKIP)


def tiles(driver):
    """Each tile's name, state word, detail, devices line and counters, as the browser shows them."""
    out = {}
    for tile in driver.find_elements(By.CSS_SELECTOR, "section.tile"):
        def text(css):
            return tile.find_element(By.CSS_SELECTOR, css).text
        bar = tile.find_element(By.CSS_SELECTOR, "progress")
        out[text("h2.name")] = {"state": text("p.state"), "detail": text("p.detail"), "ids": text("p.ids"),
                                "counts": text("p.counts"), "bar": bar.is_displayed()}
    return out


def main():
    flash, sim = sys.argv[1], sys.argv[2]
    screenshot = sys.argv[3] if len(sys.argv) > 3 else None
    # A line ten times as fast as the real one: an update takes seconds, long enough to be seen.
    common = ["--baud", "576000", "--clear-ms", "500", "--app-ms", "600000"]
    with Line(flash, sim) as line:
        good1 = line.device(*common)
        marked = line.device(*common, "--id-text1", HOSTILE)
        good2 = line.device(*common)
        bad = line.device(*common, "--reject-at", "0xE0000")
        line.station()

        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--window-size=1400,1000", f"--user-data-dir={line.folder}/chromium"):
            options.add_argument(arg)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        try:
            driver.get(line.url + "/")
            # The updates running: a tile with its step in big type, its bar and a percent.
            running = line.wait_for(
                lambda: [t for t in tiles(driver).values()
                         if t["bar"] and t["detail"].endswith(" %") and 0 < int(t["detail"][:-2]) < 100],
                60, "a tile showing a step with its progress")
            print("running:", running[0])
            assert running[0]["state"] == running[0]["state"].upper(), running[0]

            def ended():
                shown = tiles(driver)
                return shown if all(t["state"] in ("UPDATED", "NOT UPDATED") for t in shown.values()) else None
            shown = line.wait_for(ended, 180, "every tile showing its result")
            for name, t in shown.items():
                print(name, t)
            for device in (good1, marked, good2):
                assert shown[device]["state"] == "UPDATED", shown[device]
                assert shown[device]["counts"] == "Updated 1 \u00b7 Not updated 0", shown[device]
            assert shown[bad]["state"] == "NOT UPDATED", shown[bad]
            assert shown[bad]["detail"].startswith("Programming target target error"), shown[bad]
            assert shown[bad]["counts"] == "Updated 0 \u00b7 Not updated 1", shown[bad]
            # The device's markup is shown as the text it is: no image, no script ran.
            assert shown[marked]["ids"] == f"Device: {HOSTILE} / Boot loader (simulated)", shown[marked]
            assert shown[good1]["ids"] == "Device: TQ330 / Boot loader (simulated)", shown[good1]
            assert not driver.find_elements(By.TAG_NAME, "img")
            try:
                alert = driver.switch_to.alert
                raise AssertionError(f"an alert came up: {alert.text}")
            except NoAlertPresentException:
                pass
            header = driver.find_element(By.TAG_NAME, "header").text
            assert "built in" in header and "CRC-16 0x" in header, header
            errors = [e for e in driver.get_log("browser") if e["level"] in ("SEVERE", "ERROR")]
            assert not errors, errors
            if screenshot:
                driver.save_screenshot(screenshot)

            # The program restarted: the page says the connection is lost, then finds it again by
            # itself and shows the new run: the three updated devices (in their application now) are
            # waited for, the one still in its boot loader is tried again and fails again.
            line.stop_station()
            line.wait_for(lambda: driver.find_element(By.ID, "lost").is_displayed(), 30,
                          "the page saying the program is gone")
            line.station()

            def back():
                if driver.find_element(By.ID, "lost").is_displayed():
                    return None
                shown = tiles(driver)
                good = all(shown[d]["state"] == "WAITING FOR A DEVICE" and shown[d]["counts"].startswith("Updated 0")
                           for d in (good1, marked, good2))
                return shown if good and shown[bad]["state"] == "NOT UPDATED" else None
            shown = line.wait_for(back, 60, "the page back with the restarted program's ports")
            assert shown[bad]["counts"] == "Updated 0 \u00b7 Not updated 1", shown[bad]
            errors = [e for e in driver.get_log("browser") if e["level"] in ("SEVERE", "ERROR")
                      and "/events" not in e["message"]]  # the lost stream's own failures are expected
            assert not errors, errors
        finally:
            driver.quit()
    print("passed")


if __name__ == "__main__":
    main()
