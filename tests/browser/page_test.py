#!/usr/bin/python3
"""The service's own page in headless Chromium, served by the real binary.

A simulated scanner types scans; the test passes when the page shows them,
Chinese as characters (a CJK font is installed) and a carriage return as a
visible symbol.
Drives Chromium through chromedriver's WebDriver protocol with nothing but
the standard library. Runs in its own sandbox (scripts/sandbox); exits 77,
skipped, when it cannot (not root, no Chromium).
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIPPED = 77
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def enter_sandbox():
    if os.environ.get("TIRN_SANDBOX_INSIDE") == "1":
        return
    if os.geteuid() != 0:
        print("skipped: needs root for the private namespaces of the service")
        sys.exit(SKIPPED)
    sandbox = os.path.join(ROOT, "scripts", "sandbox")
    os.execv(sandbox, [sandbox, sys.executable, os.path.abspath(__file__)] + sys.argv[1:])


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")


class WebDriver:
    def __init__(self, port):
        self.base = f"http://127.0.0.1:{port}"
        self.session = None

    def call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=30) as reply:
            return json.load(reply)["value"]

    def start(self, profile):
        args = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--disable-quic", "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", f"--user-data-dir={profile}"]
        capabilities = {"capabilities": {"alwaysMatch": {"goog:chromeOptions": {
            "binary": "/usr/bin/chromium", "args": args}}}}
        self.session = self.call("POST", "/session", capabilities)["sessionId"]

    def open(self, url):
        self.call("POST", f"/session/{self.session}/url", {"url": url})

    def script(self, source):
        return self.call("POST", f"/session/{self.session}/execute/sync", {"script": source, "args": []})

    def screenshot(self, path):
        import base64
        png = self.call("GET", f"/session/{self.session}/screenshot")
        with open(path, "wb") as file:
            file.write(base64.b64decode(png))

    def stop(self):
        if self.session:
            try:
                self.call("DELETE", f"/session/{self.session}")
            except OSError:
                pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--scanner", required=True)
    parser.add_argument("--screenshot")
    options = parser.parse_args()

    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        print("skipped: Chromium and chromedriver are not installed (scripts/setup installs them)")
        return SKIPPED
    enter_sandbox()
    subprocess.run(["ip", "link", "set", "lo", "up"], check=False)

    processes = []
    profile = tempfile.mkdtemp(prefix="tirn-chromium-")
    driver = WebDriver(9515)
    try:
        scanner = subprocess.Popen([options.scanner, "--hold"], stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL, text=True)
        processes.append(scanner)
        time.sleep(0.2)
        service = subprocess.Popen([options.service, "0"], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        processes.append(service)
        processes.append(subprocess.Popen(["chromedriver", "--port=9515"],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

        def driver_ready():
            try:
                return driver.call("GET", "/status")["ready"]
            except OSError:
                return False
        wait_until(driver_ready, 30, "chromedriver")
        driver.start(profile)

        def page_served():
            try:
                urllib.request.urlopen("http://127.0.0.1:9010/", timeout=2).close()
                return True
            except OSError:
                return False
        wait_until(page_served, 10, "the service's page")
        driver.open("http://127.0.0.1:9010/")
        wait_until(lambda: driver.script("return document.getElementById('state').textContent")
                   == "subscribed", 20, "the page to subscribe")

        scanner.stdin.write("TIRN-4006381333931\n中文条码\n")
        scanner.stdin.flush()
        rows = wait_until(lambda: (lambda r: r if len(r) >= 2 else None)(driver.script(
            "return [...document.querySelectorAll('tr.scan')].map(r => "
            "[...r.cells].map(c => c.textContent))")), 20, "two scans on the page")
        last = driver.script("return document.getElementById('last-data').textContent")
        if options.screenshot:
            driver.screenshot(options.screenshot)

        newest, older = rows[0], rows[1]
        assert newest[1:] == ["13", "中文条码⏎"], newest
        assert older[1:] == ["19", "TIRN-4006381333931⏎"], older
        assert last == "中文条码⏎", last
        cjk = subprocess.run(["fc-list", ":lang=zh"], capture_output=True, text=True).stdout
        assert cjk.strip(), "no CJK font: Chinese would show as boxes (scripts/setup installs one)"
        print("the page shows both scans, newest first, the carriage return as a symbol")
        return 0
    except AssertionError:
        processes[1].kill()
        print("service output:\n" + processes[1].communicate()[0])
        raise
    finally:
        driver.stop()
        for process in reversed(processes):
            process.kill()
            process.wait()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
