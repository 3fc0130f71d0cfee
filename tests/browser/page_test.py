#!/usr/bin/python3
"""The service's own page in headless Chromium (Selenium), served by the real
binary in its own sandbox; exits 77, skipped, when it cannot (not root, no
Chromium). Each check_* function says what it shows.
"""
import argparse
import http.server
import json
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
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.ui import WebDriverWait
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
    # A prompt stays open for the test to read, rather than being dismissed.
    options.set_capability("unhandledPromptBehavior", "ignore")
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


def serve_page(port, page, certificate=None, key=None):
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.end_headers()
            self.wfile.write(page)

        def log_message(self, *args):
            pass
    # Threads, and each TLS handshake in its own: a browser's speculative
    # connection that sends nothing must not hold up the page's.
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    server.daemon_threads = True
    if certificate:
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
            # Stopped as systemd stops it, so that what it keeps is kept.
            self.service.terminate()
            self.service.wait()
        self.service = self.spawn([*self.options.emulator, self.options.service, "0", *args], stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)

    def wait_for_scanner(self, token=None):
        """Until /status shows the scanner open: what is typed before is no scan."""
        status = urllib.request.Request("http://127.0.0.1:9010/status",
                                        headers={"Authorization": f"Bearer {token}"} if token else {})

        def scanner_open():
            try:
                with urllib.request.urlopen(status, timeout=2) as reply:
                    return all(device["connected"] for device in json.load(reply)["devices"])
            except OSError:
                return False
        wait_until(scanner_open, 20, "the service to open the scanner")

    def wait_for_page(self, script, what, timeout=30):
        """Until the script, run in the page, gives something true; that."""
        return WebDriverWait(self.driver, timeout, poll_frequency=0.1).until(
            lambda driver: driver.execute_script(script), f"timed out waiting for {what}")

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
    scenario.start_service("--device", "/dev/ttyUSB0,name=till-1")
    scenario.open_subscribed("http://127.0.0.1:9010/")
    link = "https://example.com/01/09506000134352/10/AB%2FC?17=261200"
    scenario.scan("0104006381333931\x1d10ABC", "中文条码", link)
    rows = wait_until(lambda: (lambda r: r if len(r) >= 3 else None)(scenario.driver.execute_script(
        "return [...document.querySelectorAll('tr.scan')].map(r => "
        "[...r.cells].map(c => c.textContent))")), 20, "three scans on the page")
    if screenshot:
        scenario.driver.save_screenshot(screenshot)
    # Each scan's scanner by its name, and what GS1 data says (day 00: the
    # month's last day).
    assert [row[1:] for row in rows[:3]] == [
        ["till-1", link + "CR", "GTIN 09506000134352 · expires 2026-12-31 · lot AB/C"],
        ["till-1", "中文条码CR", ""], ["till-1", "0104006381333931GS10ABCCR", ""]], rows
    assert scenario.text("last-data") == link + "CR"
    assert "till-1" in scenario.text("last-meta"), scenario.text("last-meta")
    # The GS1 group separator is a label of letters, drawn in any font.
    labels = scenario.driver.execute_script(
        "return [...document.querySelectorAll('tr.scan')[2].querySelectorAll('.control')].map(e => "
        "[e.textContent, e.getBoundingClientRect().width, e.title])")
    assert [label[0] for label in labels] == ["GS", "CR"], labels
    assert all(label[1] > 4 for label in labels), labels
    assert labels[0][2] == "\\u001d", labels
    cjk = subprocess.run(["fc-list", ":lang=zh"], capture_output=True, text=True).stdout
    assert cjk.strip(), "no CJK font: Chinese would show as boxes (scripts/setup installs one)"
    print("the page shows both scans, newest first, GS and CR as labels")
    # A page for a scanner the box has not says so, not that the box is down.
    scenario.driver.get("http://127.0.0.1:9010/?scanner=till-9")
    wait_until(lambda: scenario.text("last-meta") == "no scanner is called till-9; this box has till-1", 20,
               "the page to name the box's scanners")
    print("a page for a scanner the box has not names the box's scanners")


def check_encrypted_pages(scenario, directory):
    subprocess.run([os.path.join(ROOT, "scripts", "make-cert"), "--out", directory, "127.0.0.1"],
                   check=True, stdout=subprocess.DEVNULL)
    certificate, key = os.path.join(directory, "tirnserial.crt"), os.path.join(directory, "tirnserial.key")
    scenario.start_service("--tls-cert", certificate, "--tls-key", key, "--allow-origin", "https://127.0.0.1:8443")
    scenario.open_subscribed("https://127.0.0.1:9010/")
    scenario.scan("OVER-HTTPS")
    wait_until(lambda: scenario.text("last-data") == "OVER-HTTPSCR", 20, "the scan on the https:// page")
    pos = serve_page(8443, POS_PAGE, certificate, key)
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
    # The figures are fetched with the token, where a link would get 401.
    scenario.driver.execute_script("document.querySelector('a.figures[href=status]').click()")
    figures = scenario.wait_for_page("return document.getElementById('figures').textContent", "the status view")
    assert json.loads(figures)["mode"] == 0, figures
    print("with a token: the page takes it from the address's fragment, keeps it for the tab, shows scans and /status")

    scenario.driver.get("about:blank")
    scenario.driver.get("http://127.0.0.1:9010/#token=wrong-token")
    prompt = WebDriverWait(scenario.driver, 20).until(expected_conditions.alert_is_present(), "the token prompt")
    assert "refused" in prompt.text, prompt.text
    prompt.send_keys("s3cret-token")
    prompt.accept()
    wait_until(lambda: scenario.text("state") == "subscribed", 20, "the page to subscribe with the right token")
    scenario.scan("RIGHT-TOKEN")
    wait_until(lambda: scenario.text("last-data") == "RIGHT-TOKENCR", 20, "the scan after the right token")
    assert scenario.text("state") == "subscribed", scenario.text("state")
    print("with a wrong token: the page says it was refused, asks again, and is subscribed with the right one")


def burst(prefix, count):
    return [f"{prefix}-{number:03}" for number in range(count)]


# The page's rows of one burst, oldest first: [number, what it shows].
BURST_ROWS = "[...document.querySelectorAll('tr.scan')].reverse().filter(r => r.cells[2].textContent.startsWith('{}'))" \
             ".map(r => [Number(r.dataset.seq), r.cells[2].textContent])"


def check_reload_in_burst(scenario, state):
    os.makedirs(state)
    scenario.start_service("--state-dir", state)
    scenario.wait_for_scanner()
    scenario.open_subscribed("http://127.0.0.1:9010/")
    typed = burst("RELOAD", 30)
    scenario.scan(*typed)
    rows = BURST_ROWS.format("RELOAD")
    scenario.wait_for_page(f"return {rows}.length >= 8", "some of the burst before the reload")
    scenario.driver.refresh()
    shown = scenario.wait_for_page(f"const rows = {rows}; return rows.length >= {len(typed)} && rows",
                                   "the whole burst after the reload")
    assert [data for _, data in shown] == [text + "CR" for text in typed], shown
    numbers = [seq for seq, _ in shown]
    assert numbers == list(range(numbers[0], numbers[0] + len(typed))), numbers
    print("a reload in the middle of a burst: every scan once, in order, with its number")


# Run in a page of the service's origin: what an EventSource there receives.
EVENT_SOURCE = """
window.opened = 0; window.events = [];
const source = new EventSource("/events");
source.onopen = () => { window.opened += 1; };
source.onmessage = (event) => window.events.push([Number(event.lastEventId), JSON.parse(event.data).Data]);
source.addEventListener("missed", (event) => window.events.push(["missed", event.data]));
"""


def check_event_source_across_restart(scenario, state):
    os.makedirs(state)
    scenario.start_service("--state-dir", state)
    scenario.wait_for_scanner()
    scenario.driver.get("http://127.0.0.1:9010/status")
    scenario.driver.execute_script(EVENT_SOURCE)
    scenario.wait_for_page("return window.opened === 1", "the event stream to open")
    before, after = burst("BEFORE", 5), burst("AFTER", 5)
    scenario.scan(*before)
    scenario.wait_for_page(f"return window.events.length >= {len(before)}", "the scans before the restart")
    scenario.start_service("--state-dir", state)
    scenario.wait_for_scanner()
    scenario.scan(*after)
    events = scenario.wait_for_page(f"return window.opened >= 2 && window.events.length >= 10 && window.events",
                                    "the EventSource to come back with the scans after the restart")
    assert [data for _, data in events] == [text + "\r" for text in before + after], events
    numbers = [seq for seq, _ in events]
    assert numbers == sorted(set(numbers)), numbers
    print("an EventSource page comes back by itself after a restart and has every scan once")


# A shop's app on an origin of its own, the box's library imported from the
# box, with short timings so that a cut of a few seconds is noticed.
APP_ORIGIN, REFUSED_ORIGIN, BOX = "http://127.0.0.1:8080", "http://127.0.0.1:8081", "http://127.0.0.1:9010"
TOKEN = "s3cret-token"
LIBRARY = """
const done = arguments[arguments.length - 1];
import("%s/tirnserial.js").then(({ TirnSerial }) => {
  window.scans = []; window.states = []; window.since = {}; window.details = {};
  const box = new TirnSerial({ token: "%s", renewAfter: 1000, connectTimeout: 5000, maxDelay: 2000 });
  for (const type of ["connected", "disconnected", "missed", "unreachable", "refused"])
    box.addEventListener(type, (event) => { states.push(type); since[type] = performance.now(); details[type] = event.detail; });
  box.addEventListener("scan", (event) => scans.push([event.detail.seq, event.detail.Data]));
  box.start();
  done();
});
""" % (BOX, TOKEN)
# README's ways to read the box without the library, from the app's page.
FEEDS = """
const done = arguments[arguments.length - 1];
window.streamed = []; window.subscribed = null;
const source = new EventSource("%s/events?since=0&token=%s");
source.addEventListener("subscribed", (event) => { window.subscribed = JSON.parse(event.data).last; });
source.onmessage = (event) => window.streamed.push(JSON.parse(event.data).Data);
source.onerror = () => { window.streamError = source.readyState; };
fetch("%s/scans?since=0", { headers: { Authorization: "Bearer %s" } })
  .then(async (reply) => done([reply.status, reply.headers.get("X-TirnSerial-Last"), (await reply.json()).length]))
  .catch((error) => done(String(error)));
""" % (BOX, TOKEN, BOX, TOKEN)


# A page for each till, as two tabs would have them: the library asked for one
# scanner's scans, each writing what it has to sessionStorage.
TILL_PAGES = """
const done = arguments[arguments.length - 1];
import("%s/tirnserial.js").then(({ TirnSerial }) => {
  window.connected = 0; window.boxes = {};
  for (const till of ["till-1", "till-2"]) {
    const box = window.boxes[till] = new TirnSerial({ scanners: [till] });
    box.addEventListener("connected", () => { window.connected += 1; });
    box.addEventListener("scan", (event) => {
      const seen = JSON.parse(sessionStorage.getItem("seen " + till) || "[]");
      seen.push([event.detail.seq, event.detail.Data, event.detail.scanner]);
      sessionStorage.setItem("seen " + till, JSON.stringify(seen));
    });
    box.start();
  }
  done();
});
""" % BOX


def check_pages_for_one_till(scenario, state):
    """Two named scanners typing at once, the library asked for one scanner
    each in one tab: each has its own scanner's scans only, every one once
    and in order, across a reload after one was stopped a while, as each
    keeps its own number."""
    os.makedirs(state)
    second = scenario.spawn([*scenario.options.emulator, scenario.options.scanner, "--link", "/dev/ttyUSB1", "--hold"],
                            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
    page = serve_page(8082, b"<!doctype html><title>tills</title>")
    try:
        scenario.start_service("--state-dir", state, "--device", "/dev/ttyUSB0,name=till-1", "--device",
                               "/dev/ttyUSB1,name=till-2")
        scenario.wait_for_scanner()
        scenario.driver.get("http://127.0.0.1:8082/")
        scenario.driver.execute_async_script(TILL_PAGES)
        scenario.wait_for_page("return window.connected === 2", "both tills' boxes to connect")
        typed = {"till-1": burst("ONE", 20), "till-2": burst("TWO", 20)}
        seen = "JSON.parse(sessionStorage.getItem('seen {}') || '[]').length"
        for half in (slice(0, 10), slice(10, 20)):
            scenario.scan(*typed["till-1"][half])
            second.stdin.write("".join(line + "\n" for line in typed["till-2"][half]))
            second.stdin.flush()
            scenario.wait_for_page(f"return {seen.format('till-2')} >= {half.stop}", "till-2's scans")
            if half.start == 0:
                # Till-1's page goes away for a while (a panel closed, say):
                # what it misses it has after the reload from its own number,
                # not from the other till's.
                scenario.wait_for_page(f"return {seen.format('till-1')} >= 10", "till-1's first scans")
                scenario.driver.execute_script("window.boxes['till-1'].stop()")
        scenario.driver.refresh()
        scenario.driver.execute_async_script(TILL_PAGES)
        numbers = set()
        for till, texts in typed.items():
            seen = f"JSON.parse(sessionStorage.getItem('seen {till}') || '[]')"
            shown = scenario.wait_for_page(f"const seen = {seen}; return seen.length >= {len(texts)} && seen",
                                           f"every scan of {till} after the reload")
            assert [(data, scanner) for _, data, scanner in shown] == [(text + "\r", till) for text in texts], shown
            assert [seq for seq, _, _ in shown] == sorted({seq for seq, _, _ in shown}), shown
            numbers.update(seq for seq, _, _ in shown)
        assert len(numbers) == 40 and max(numbers) - min(numbers) == 39, sorted(numbers)
        # The built-in page for one till: its scanner chosen, its scans only.
        scenario.open_subscribed("http://127.0.0.1:9010/?scanner=till-2")
        rows = scenario.wait_for_page("const r = [...document.querySelectorAll('tr.scan')].map(r => r.cells[1].textContent);"
                                      " return r.length >= 20 && r", "till-2's kept scans on the page")
        assert rows == ["till-2"] * 20, rows
        assert scenario.driver.execute_script("return document.getElementById('scanner').value") == "till-2"
        print("a tab for each of two tills across a reload: its own scanner's scans, each once, in order; "
              "the page for one till shows its scans only")
    finally:
        page.shutdown()
        second.kill()


class NetworkCut:
    """The service's port dropped both ways in this network namespace: its
    packets go to a blackhole route, as on a link that went away."""

    def __init__(self):
        for command in (["ip", "route", "add", "blackhole", "127.0.0.0/8", "table", "100"],
                        ["ip", "rule", "add", "pref", "100", "lookup", "local"],
                        ["ip", "rule", "del", "pref", "0"]):
            subprocess.run(command, check=True)

    def rules(self, verb):
        for pref, match in (("10", "dport"), ("11", "sport")):
            subprocess.run(["ip", "rule", verb, "pref", pref, "ipproto", "tcp", match, "9010", "lookup", "100"],
                           check=True)


def check_pages_of_another_origin(scenario, directory):
    """A new tab that has had no scan yet, then a cut: what is scanned meanwhile
    still reaches it; README's EventSource and /scans from an allowed origin;
    a refused origin hears that it is unreachable."""
    os.makedirs(directory)
    token_file = os.path.join(directory, "token")
    with open(os.open(token_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as file:
        file.write(TOKEN + "\n")
    pages = [serve_page(8080, b"<!doctype html><title>app</title>"),
             serve_page(8081, b"<!doctype html><title>elsewhere</title>")]
    try:
        scenario.start_service("--state-dir", os.path.join(directory, "state"), "--token-file", token_file,
                               "--allow-origin", APP_ORIGIN)
        scenario.wait_for_scanner(TOKEN)
        scenario.driver.get(APP_ORIGIN)
        scenario.driver.execute_async_script(LIBRARY)
        scenario.wait_for_page("return window.states.includes('connected')", "the library to connect")
        during, after = burst("CUT", 6), burst("BACK", 3)
        cut = NetworkCut()
        cut.rules("add")
        scenario.scan(*during)
        scenario.wait_for_page("return window.states.includes('disconnected')", "the library to notice the cut")
        scenario.wait_for_page("return performance.now() - window.since.disconnected > 3000", "a cut of a few seconds")
        cut.rules("del")
        scenario.scan(*after)
        scans = scenario.wait_for_page(f"return window.scans.length >= 9 && window.states.at(-1) === 'connected' "
                                       "&& window.scans", "every scan after the link came back")
        assert [data for _, data in scans] == [text + "\r" for text in during + after], scans
        numbers = [seq for seq, _ in scans]
        assert numbers == list(range(numbers[0], numbers[0] + len(numbers))), numbers
        print("a new tab of another origin across a network cut: every scan once, in order")

        fetched = scenario.driver.execute_async_script(FEEDS)
        assert fetched == [200, str(numbers[-1]), 9], fetched
        streamed = scenario.wait_for_page("return window.streamed.length >= 9 && window.subscribed !== null "
                                          "&& [window.subscribed, window.streamed]", "the event stream's scans")
        assert streamed == [numbers[-1], [text + "\r" for text in during + after]], streamed
        print("README's EventSource and /scans with a token, from an allowed origin")

        scenario.driver.get(REFUSED_ORIGIN)
        scenario.driver.execute_async_script(LIBRARY)
        hint = scenario.wait_for_page("return window.details.unreachable", "the library to say it is unreachable")
        assert hint["attempts"] == 3 and "--allow-origin" in hint["hint"], hint
        fetched = scenario.driver.execute_async_script(FEEDS)
        assert fetched.startswith("TypeError"), fetched
        scenario.wait_for_page("return window.streamError === EventSource.CLOSED", "the refused stream to close")
        assert "connected" not in scenario.driver.execute_script("return window.states"), "a refused page connected"
        print("a refused origin: the library says unreachable; fetch and EventSource are refused")
    finally:
        for page in pages:
            page.shutdown()


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
        check_reload_in_burst(scenario, os.path.join(profile, "reload"))
        check_event_source_across_restart(scenario, os.path.join(profile, "restart"))
        check_pages_of_another_origin(scenario, os.path.join(profile, "origins"))
        check_pages_for_one_till(scenario, os.path.join(profile, "tills"))
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
