# SPDX-License-Identifier: MIT
"""The web front end of `vontrel serve --http` in a real headless browser.

Debian's chromium and chromedriver, through python3-selenium, against the
server on the simulated bench. The requests a page must not be able to
make are sent directly. CTest runs this in a network namespace of its own
with only loopback, when it can; the browser's own log is checked as well.
$VONTREL_WEB_SCREENSHOT names a file to save the panel's picture to.
"""

import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import time
import urllib.error
import urllib.request

import pytest

TOOL = os.environ.get("VONTREL_TOOL")
CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")

webdriver = pytest.importorskip("selenium.webdriver",
                                reason="python3-selenium is not installed")
from selenium.common.exceptions import TimeoutException  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

if not TOOL:
    pytest.skip("VONTREL_TOOL names no vontrel tool to test", allow_module_level=True)
if not CHROMIUM or not CHROMEDRIVER:
    pytest.skip("chromium and chromium-driver are not installed", allow_module_level=True)


class Server:
    """`vontrel serve --port 0 --http 0` on the simulator, its state in a file."""

    def __init__(self, tmp, *args):
        self.env = dict(os.environ, VONTREL_SIM_STATE=str(tmp / "state.json"))
        self.env.pop("VONTREL_SIM_CONFIG", None)
        self.status = json.loads(subprocess.run(
            [TOOL, "--json", "--unit", "serial:4660", "status"], env=self.env, check=True,
            capture_output=True, text=True).stdout)
        self.process = subprocess.Popen(
            [TOOL, "serve", "--port", "0", "--http", "0", *args], env=self.env,
            stdout=subprocess.PIPE, stderr=open(tmp / "serve.log", "w"), text=True)
        self.ports = {}
        for line in self.process.stdout:
            found = re.search(r"unit (\d+) .* port (\d+)", line)
            if found:
                self.ports[int(found.group(1))] = int(found.group(2))
            web = re.search(r"web front end on http://.*:(\d+)/", line)
            if web:
                self.http = int(web.group(1))
                break
        else:
            raise AssertionError((tmp / "serve.log").read_text())
        self.url = f"http://127.0.0.1:{self.http}"

    def scpi(self, line, serial=4660):
        with socket.create_connection(("127.0.0.1", self.ports[serial]), timeout=10) as s:
            s.sendall(line.encode() + b"\n")
            if "?" not in line:
                s.sendall(b"*OPC?\n")
            answer = b""
            while not answer.endswith(b"\n"):
                answer += s.recv(4096)
            return answer.decode().strip()

    def post(self, path, body, headers=None, host=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.http, timeout=10)
        sent = {"Content-Type": "application/json", **(headers or {})}
        if host:
            connection.putrequest("POST", path, skip_host=True)
            connection.putheader("Host", host)
            for key, value in sent.items():
                connection.putheader(key, value)
            connection.putheader("Content-Length", str(len(body)))
            connection.endheaders(body.encode())
        else:
            connection.request("POST", path, body=body, headers=sent)
        reply = connection.getresponse()
        text = reply.read().decode()
        connection.close()
        return reply.status, text

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        assert self.process.wait(timeout=10) == 0


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    served = Server(tmp_path_factory.mktemp("web"))
    yield served
    served.stop()


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--window-size=1100,1500", "--no-first-run",
                     f"--user-data-dir={tmp_path_factory.mktemp('profile')}"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    yield driver
    driver.quit()


def text(browser, element_id):
    return browser.find_element(By.ID, element_id).text


def wait_text(browser, element_id, wanted, timeout=5):
    seen = []

    def check(b):
        seen[:] = [text(b, element_id)]
        return wanted(seen[0])
    try:
        WebDriverWait(browser, timeout, poll_frequency=0.05).until(check)
    except TimeoutException:
        pytest.fail(f"#{element_id} still shows {seen!r} after {timeout} s")


def open_panel(browser, server, unit=0):
    browser.get(f"{server.url}/unit.html?unit={unit}")
    wait_text(browser, "connection", lambda t: t.startswith("live"))


def test_overview_lists_every_unit(browser, server):
    browser.get(server.url + "/")
    WebDriverWait(browser, 5).until(
        lambda b: len(b.find_elements(By.CSS_SELECTOR, "#units tr.unit")) == len(server.ports))
    rows = browser.find_elements(By.CSS_SELECTOR, "#units tr.unit")
    assert sorted(int(r.find_element(By.CLASS_NAME, "serial").text) for r in rows) == \
        sorted(server.ports)
    for row in rows:
        serial = int(row.find_element(By.CLASS_NAME, "serial").text)
        assert f"::{server.ports[serial]}::SOCKET" in row.find_element(By.CLASS_NAME, "visa").text
        assert "INSTR" in row.find_element(By.CLASS_NAME, "visa").text


def test_panel_shows_what_status_shows(browser, server):
    open_panel(browser, server)
    s = server.status
    assert text(browser, "serial") == "4660"
    assert text(browser, "now-frequency_hz") in (f"{s['frequency_mhz'] / 1000:g} GHz",
                                                  f"{s['frequency_mhz']:g} MHz")
    for name, key in (("attenuation", "attenuation"), ("mode", "mode"), ("switch", "switch"),
                      ("trim_a", "trim_a"), ("trim_b", "trim_b"), ("stored", "stored_setting")):
        assert float(text(browser, f"now-{name}")) == s[key], name
    assert float(text(browser, "now-level")) == s["level"]
    assert text(browser, "level-range") == \
        f"calibrated here: {s['level_min']:g} to {s['level_max']:g}"
    assert text(browser, "lock") == ("locked" if s["locked"] else "NOT LOCKED")


def test_frequency_entry_and_a_refused_level(browser, server):
    open_panel(browser, server)
    entry = browser.find_element(By.ID, "frequency")
    entry.clear()
    entry.send_keys("2.455")
    Select(browser.find_element(By.ID, "frequency-unit")).select_by_visible_text("GHz")
    browser.find_element(By.ID, "set-frequency").click()
    wait_text(browser, "message", lambda t: t == "frequency set")
    assert float(server.scpi("FREQ?")) == 2455e6

    level_before = server.scpi("POW?")
    maximum = float(server.scpi("POW:RANG?").split(",")[1])
    entry = browser.find_element(By.ID, "level")
    entry.clear()
    entry.send_keys(str(maximum + 10))  # within every unit's range, above this one's
    browser.find_element(By.ID, "set-level").click()
    wait_text(browser, "message", lambda t: t.startswith("-222"))
    assert "calibrated range" in text(browser, "message")
    assert server.scpi("POW?") == level_before
    assert float(server.scpi("FREQ?")) == 2455e6


def test_a_change_over_scpi_shows_within_a_second(browser, server):
    open_panel(browser, server)
    server.scpi("FREQ 1234.5 MHz")
    start = time.monotonic()
    wait_text(browser, "now-frequency_hz", lambda t: t == "1.2345 GHz", timeout=2)
    assert time.monotonic() - start < 1.0


def test_sweep_plots_each_point_and_the_csv_matches(browser, server):
    open_panel(browser, server)
    for element_id, value in (("sweep-start", "2400"), ("sweep-stop", "2440"),
                              ("sweep-step", "10"), ("sweep-dwell", "5")):
        entry = browser.find_element(By.ID, element_id)
        entry.clear()
        entry.send_keys(value)
    browser.find_element(By.ID, "sweep-start-button").click()
    wait_text(browser, "sweep-progress", lambda t: t == "5 of 5 points, done", timeout=30)
    # Read at once: each event from the server draws the plot anew.
    plotted = sorted(browser.execute_script(
        "return [...document.querySelectorAll('#plot circle.point')].map(c => +c.dataset.hz)"))
    assert plotted == [2400e6, 2410e6, 2420e6, 2430e6, 2440e6]
    with urllib.request.urlopen(f"{server.url}/api/units/0/sweep.csv") as reply:
        rows = reply.read().decode().splitlines()
    assert rows[0] == "frequency_hz,lock_ms"
    assert [float(r.split(",")[0]) for r in rows[1:]] == plotted
    assert all(r.split(",")[1] for r in rows[1:])  # the simulator locks at each


def test_nothing_is_fetched_from_elsewhere(browser, server):
    browser.get_log("performance")  # what came before
    browser.get_log("browser")
    open_panel(browser, server)
    browser.get(server.url + "/")
    urls = []
    deadline = time.monotonic() + 10  # until the page's requests are logged
    while not urls:
        assert time.monotonic() < deadline, "no request of the page was logged"
        time.sleep(0.05)
        urls += [json.loads(entry["message"])["message"]["params"]["request"]["url"]
                 for entry in browser.get_log("performance")
                 if '"Network.requestWillBeSent"' in entry["message"]]
    assert all(u.startswith(server.url + "/") for u in urls), urls
    assert not [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]


def test_screenshot(browser, server):
    path = os.environ.get("VONTREL_WEB_SCREENSHOT")
    if not path:
        pytest.skip("VONTREL_WEB_SCREENSHOT names no file")
    server.scpi("FREQ 2455 MHz")
    open_panel(browser, server)
    wait_text(browser, "now-frequency_hz", lambda t: t == "2.455 GHz")
    browser.save_screenshot(path)


@pytest.mark.parametrize("headers, host, body, status", [
    ({"Origin": "http://elsewhere.example"}, None, '{"frequency_hz": 3e9}', 403),
    ({}, "elsewhere.example", '{"frequency_hz": 3e9}', 421),
    ({"Content-Type": "application/x-www-form-urlencoded"}, None, "frequency_hz=3e9", 415),
    ({}, None, '{"frequency_hz": 3e9', 400),
    ({}, None, '{"frequency_hz": 3e9, "colour": 1}', 422),
    ({}, None, '{"frequency_hz": 6e9}', 422),
    ({}, None, '{"mode": 1.5}', 422),
    ({}, None, '{"trim_a": true}', 422),
    ({}, None, '{"frequency_hz": 3e9, "x": "' + "y" * 70000 + '"}', 413),
])
def test_refused_changes_change_nothing(server, headers, host, body, status):
    before = server.scpi("*LRN?")
    got, message = server.post("/api/units/0/settings", body, headers, host)
    assert got == status
    assert json.loads(message)["error"]
    assert server.scpi("*LRN?") == before


def test_own_origin_and_no_origin_may_change(server):
    for headers in ({"Origin": server.url}, {}):
        assert server.post("/api/units/0/settings", '{"frequency_hz": 3e9}', headers)[0] == 200
        assert float(server.scpi("FREQ?")) == 3e9
        server.scpi("FREQ 1 GHz")


def test_beyond_this_machine_changes_need_the_token(browser, tmp_path):
    (tmp_path / "token").write_text("s3cret\n")
    for args, headers, status in (
            ((), {}, 403),  # read-only without a token file
            (("--http-token-file", str(tmp_path / "token")), {}, 401),
            (("--http-token-file", str(tmp_path / "token")), {"X-Vontrel-Token": "wrong"}, 401),
            (("--http-token-file", str(tmp_path / "token")), {"X-Vontrel-Token": "s3cret"}, 200)):
        served = Server(tmp_path, "--listen", "0.0.0.0", *args)
        try:
            assert float(served.scpi("FREQ?")) == 1e9
            assert served.post("/api/units/0/settings", '{"frequency_hz": 3e9}',
                               headers)[0] == status
            assert (float(served.scpi("FREQ?")) == 3e9) == (status == 200)
            served.scpi("FREQ 1 GHz")
            if not headers:  # what the page says before it has a token
                open_panel(browser, served)
                read_only = browser.find_element(By.ID, "readonly").is_displayed()
                asks = browser.find_element(By.ID, "token-form").is_displayed()
                assert (read_only, asks) == ((True, False) if status == 403 else (False, True))
                assert not browser.find_element(By.ID, "set-frequency").is_enabled()
        finally:
            served.stop()


def test_a_sweep_has_one_owner(server):
    body = '{"list_hz": [1e9, 2e9, 3e9], "dwell_s": 5}'
    assert server.post("/api/units/0/sweep", body)[0] == 200
    try:
        assert "-221" in server.scpi("FREQ 3e9;:SYST:ERR?")
        status, message = server.post("/api/units/0/settings", '{"frequency_hz": 4e9}')
        assert status == 409 and "sweep" in json.loads(message)["error"]
        assert server.post("/api/units/0/sweep", body)[0] == 409
    finally:
        server.post("/api/units/0/sweep/abort", "{}")
    with socket.create_connection(("127.0.0.1", server.ports[4660]), timeout=10) as scpi:
        scpi.sendall(b"LIST:FREQ 1e9,2e9;:LIST:DWEL 5;:FREQ:MODE LIST;:INIT;*OPC\n")
        deadline = time.monotonic() + 10  # until the SCPI client's sweep has begun
        while "-221" not in server.scpi("FREQ 3e9;:SYST:ERR?"):
            assert time.monotonic() < deadline, "the SCPI client's sweep never began"
            time.sleep(0.02)
        status, message = server.post("/api/units/0/sweep", body)
        assert status == 409 and "another connection" in json.loads(message)["error"]


def test_identification_document(server):
    import xml.etree.ElementTree as ElementTree
    ns = {"lxi": "http://www.lxistandard.org/InstrumentIdentification/1.0"}
    for serial in server.ports:
        index = sorted(server.ports).index(serial)
        with urllib.request.urlopen(f"{server.url}/lxi/identification?unit={index}") as reply:
            document = ElementTree.fromstring(reply.read())
        assert document.find("lxi:SerialNumber", ns).text == str(serial)
        assert document.find("lxi:FirmwareRevision", ns).text
        addresses = [a.text for a in document.iterfind(".//lxi:InstrumentAddressString", ns)]
        assert f"TCPIP::127.0.0.1::{server.ports[serial]}::SOCKET" in addresses
        assert f"TCPIP::127.0.0.1::inst{index}::INSTR" in addresses
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(f"{server.url}/lxi/identification?unit=99")
    assert refused.value.code == 404


@pytest.mark.parametrize("args, status, says", [
    (("--http-token-file", "/dev/null"), 2, "give --http PORT too"),
    (("--http", "0", "--http-token-file", "/nonexistent/token"), 1, "cannot be read"),
    (("--http", "0", "--http-token-file", "/dev/null"), 1, "holds no token"),
])
def test_token_file_refused_before_serving(args, status, says):
    run = subprocess.run([TOOL, "serve", "--port", "0", *args], capture_output=True, text=True,
                         timeout=20, env=dict(os.environ, VONTREL_SIM_STATE="memory"))
    assert (run.returncode, says in run.stderr) == (status, True), run.stderr


def test_closed_event_streams_free_their_places_soon(server):
    """Pages that went away without a word give their event stream's place
    back within seconds, not only when a page is next sent news."""
    def open_stream():
        connection = http.client.HTTPConnection("127.0.0.1", server.http, timeout=10)
        connection.request("GET", "/api/events")
        return connection, connection.getresponse().status

    streams = []
    while not streams or streams[-1][1] == 200:
        assert len(streams) < 100, "the event streams have no limit"
        streams.append(open_stream())
    for connection, _ in streams:
        connection.close()
    deadline = time.monotonic() + 8
    while True:
        connection, status = open_stream()
        connection.close()
        if status == 200:
            break
        assert time.monotonic() < deadline, "closed streams still hold their places"
        time.sleep(0.5)
