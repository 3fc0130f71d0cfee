#!/usr/bin/python3
"""The service's own page in headless Chromium (Selenium), served by the real
binary in its own sandbox; exits 77, skipped, when it cannot (not root, no
Chromium). Each check_* function says what it shows.
"""
import argparse
import http.server
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service as ChromeService
except ImportError:
    webdriver = None

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


def start_browser(profile):
    """Headless Chromium through Debian's Selenium and chromedriver."""
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--disable-quic",
                "--no-first-run", "--disable-background-networking", "--disable-component-update",
                "--disable-sync", f"--user-data-dir={profile}",
                # The test's own certificate is self-signed: a tablet would
                # be told to trust it once.
                "--ignore-certificate-errors"]:
        options.add_argument(arg)
    return webdriver.Chrome(service=ChromeService("/usr/bin/chromedriver"), options=options)


# A point-of-sale page of another origin, served over HTTPS, that subscribes
# over wss:// and lists the Data of the scans it receives.
POS_PAGE = b"""<!doctype html><meta charset="utf-8"><title>POS</title>
<p id="state">connecting</p><pre id="scans"></pre>
<script>
const ws = new WebSocket("wss://127.0.0.1:9010/");
ws.onopen = () => { ws.send("hello"); document.getElementById("state").textContent = "subscribed"; };
ws.onmessage = (event) => { document.getElementById("scans").textContent += JSON.parse(event.data).Data + "|"; };
</script>"""


def serve_pos_page(certificate, key):
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.end_headers()
            self.wfile.write(POS_PAGE)

        def log_message(self, *args):
            pass
    # Threads, and each TLS handshake in its own: a browser's speculative
    # connection that sends nothing must not hold up the page's.
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 8443), Handler)
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class Scenario:
    """The service and a browser session, with a simulated scanner."""

    def __init__(self, options, profile):
        self.options = options
        self.processes = []
        self.service = None
        self.scanner = self.spawn([*options.emulator, options.scanner, "--hold"], stdin=subprocess.PIPE,
                                  stdout=subprocess.DEVNULL, text=True)
        self.driver = start_browser(profile)

    def spawn(self, command, **streams):
        process = subprocess.Popen(command, stdin=streams.pop("stdin", subprocess.DEVNULL), **streams)
        self.processes.append(process)
        return process

    def start_service(self, *args):
        if self.service:
            self.service.kill()
            self.service.wait()
        self.service = self.spawn([*self.options.emulator, self.options.service, "0", *args], stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)

    def open_subscribed(self, url):
        def reachable():
            try:
                urllib.request.urlopen(url, timeout=2, context=ssl._create_unverified_context()).close()
                return True
            except OSError:
                return False
        wait_until(reachable, 10, url)
        self.driver.get(url)
        wait_until(lambda: self.text("state") == "subscribed", 20, f"{url} to subscribe")

    def text(self, element):
        return self.driver.execute_script(f"return document.getElementById('{element}').textContent")

    def scan(self, *lines):
        self.scanner.stdin.write("".join(line + "\n" for line in lines))
        self.scanner.stdin.flush()

    def service_output(self):
        self.service.kill()
        return self.service.communicate()[0]

    def stop(self):
        if self.driver:
            self.driver.quit()
        for process in reversed(self.processes):
            process.kill()
            process.wait()


def check_plain_page(scenario, screenshot):
    scenario.start_service()
    scenario.open_subscribed("http://127.0.0.1:9010/")
    scenario.scan("0104006381333931\x1d10ABC", "中文条码")
    rows = wait_until(lambda: (lambda r: r if len(r) >= 2 else None)(scenario.driver.execute_script(
        "return [...document.querySelectorAll('tr.scan')].map(r => "
        "[...r.cells].map(c => c.textContent))")), 20, "two scans on the page")
    last = scenario.text("last-data")
    if screenshot:
        scenario.driver.save_screenshot(screenshot)
    assert [row[1:] for row in rows[:2]] == [["13", "中文条码CR"], ["23", "0104006381333931GS10ABCCR"]], rows
    assert last == "中文条码CR", last
    # The GS1 group separator is a label of letters, drawn in any font.
    labels = scenario.driver.execute_script(
        "return [...document.querySelectorAll('tr.scan')[1].querySelectorAll('.control')].map(e => "
        "[e.textContent, e.getBoundingClientRect().width, e.title])")
    assert [label[0] for label in labels] == ["GS", "CR"], labels
    assert all(label[1] > 4 for label in labels), labels
    assert labels[0][2] == "\\u001d", labels
    cjk = subprocess.run(["fc-list", ":lang=zh"], capture_output=True, text=True).stdout
    assert cjk.strip(), "no CJK font: Chinese would show as boxes (scripts/setup installs one)"
    print("the page shows both scans, newest first, GS and CR as labels")


def check_encrypted_pages(scenario, directory):
    subprocess.run([os.path.join(ROOT, "scripts", "make-cert"), "--out", directory, "127.0.0.1"],
                   check=True, stdout=subprocess.DEVNULL)
    certificate, key = os.path.join(directory, "tirnserial.crt"), os.path.join(directory, "tirnserial.key")
    scenario.start_service("--tls-cert", certificate, "--tls-key", key, "--allow-origin", "https://127.0.0.1:8443")
    scenario.open_subscribed("https://127.0.0.1:9010/")
    scenario.scan("OVER-HTTPS")
    wait_until(lambda: scenario.text("last-data") == "OVER-HTTPSCR", 20, "the scan on the https:// page")
    pos = serve_pos_page(certificate, key)
    try:
        scenario.open_subscribed("https://127.0.0.1:8443/")
        scenario.scan("FOR-THE-POS")
        wait_until(lambda: scenario.text("scans") == "FOR-THE-POS\r|", 20, "the scan on the other origin's page")
    finally:
        pos.shutdown()
    print("over TLS: the service's https:// page and an allowed https:// page of another origin show scans")


def check_token_page(scenario, directory):
    os.makedirs(directory, exist_ok=True)
    token_file = os.path.join(directory, "token")
    with open(os.open(token_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as file:
        file.write("s3cret-token\n")
    scenario.start_service("--token-file", token_file)
    scenario.open_subscribed("http://127.0.0.1:9010/#token=s3cret-token")
    scenario.scan("WITH-TOKEN")
    wait_until(lambda: scenario.text("last-data") == "WITH-TOKENCR", 20, "the scan on the page given the token")
    kept = scenario.driver.execute_script("return [location.hash, sessionStorage.getItem('tirnserial-token')]")
    assert kept == ["", "s3cret-token"], kept
    print("with a token: the page takes it from the address's fragment, keeps it for the tab and shows scans")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--scanner", required=True)
    parser.add_argument("--screenshot")
    parser.add_argument("--emulator", nargs="?", const="", default="",
                        help="what runs the binaries of a cross build (qemu-user)")
    options = parser.parse_args()
    options.emulator = [options.emulator] if options.emulator else []

    if not (shutil.which("chromium") and shutil.which("chromedriver") and webdriver):
        print("skipped: Chromium, chromedriver or Selenium is not installed (scripts/setup installs them)")
        return SKIPPED
    enter_sandbox()
    subprocess.run(["ip", "link", "set", "lo", "up"], check=False)

    profile = tempfile.mkdtemp(prefix="tirn-chromium-")
    scenario = None
    try:
        scenario = Scenario(options, profile)
        check_plain_page(scenario, options.screenshot)
        check_encrypted_pages(scenario, os.path.join(profile, "tls"))
        check_token_page(scenario, os.path.join(profile, "token"))
        return 0
    except AssertionError:
        if scenario and scenario.service:
            print("service output:\n" + scenario.service_output())
        raise
    finally:
        if scenario:
            scenario.stop()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
