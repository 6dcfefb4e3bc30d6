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

from conftest import Server, eventually

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


def web_server(tmp, *args):
    """`vontrel serve --port 0 --http 0 ARGS` on every unit of the bench, its
    state in a file; `status` is what `vontrel status` showed of unit 4660
    before."""
    env = dict(os.environ, VONTREL_SIM_STATE=str(tmp / "state.json"))
    env.pop("VONTREL_SIM_CONFIG", None)
    status = json.loads(subprocess.run(
        [TOOL, "--json", "--unit", "serial:4660", "status"], env=env, check=True,
        capture_output=True, text=True).stdout)
    # INSTR resources are shown whether or not rpcbind runs.
    served = Server(tmp, args=("serve", "--port", "0", "--http", "0", "--vxi11", "on", *args),
                    state="file")
    served.status = status
    return served


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    served = web_server(tmp_path_factory.mktemp("web"))
    yield served
    assert served.stop() == 0


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
    wait_text(browser, "message", lambda t: "outside the unit's calibrated range" in t)
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
    urls = eventually(
        lambda: [json.loads(entry["message"])["message"]["params"]["request"]["url"]
                 for entry in browser.get_log("performance")
                 if '"Network.requestWillBeSent"' in entry["message"]],
        "the page's requests in the log")
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
    # One field refused (the level is not in the calibrated range at 4.5
    # GHz): the frequency is not changed either.
    ({}, None, '{"frequency_hz": 4.5e9, "level": 63.75}', 422),
    ({}, None, '{"frequency_hz": 4.5e9, "trim_a": 300}', 422),
    ({}, None, '{"frequency_hz": 3e9, "note": "\\udcff"}', 400),  # no such character
])
def test_refused_changes_change_nothing(server, headers, host, body, status):
    before = server.scpi("*LRN?")
    got, message = server.post("/api/units/0/settings", body, headers, host)
    assert got == status
    assert json.loads(message)["error"]
    assert server.scpi("*LRN?") == before


def test_text_that_is_not_utf8_is_refused_not_failed(server):
    connection = http.client.HTTPConnection("127.0.0.1", server.http, timeout=10)
    connection.putrequest("POST", "/api/units/0/settings", skip_host=True)
    connection.putheader("Host", b"\xff\xfe")
    connection.putheader("Content-Type", "application/json")
    connection.putheader("Content-Length", "2")
    connection.endheaders(b"{}")
    reply = connection.getresponse()
    assert reply.status == 421 and json.loads(reply.read())["error"]
    connection.close()
    body = b'{"frequency_hz": 3e9, "x": "\xc3\x28"}'
    connection = http.client.HTTPConnection("127.0.0.1", server.http, timeout=10)
    connection.request("POST", "/api/units/0/settings", body=body,
                       headers={"Content-Type": "application/json"})
    reply = connection.getresponse()
    assert reply.status == 400 and json.loads(reply.read())["error"]
    connection.close()


def test_a_pages_own_change_shows_at_once_and_stays(browser, server):
    open_panel(browser, server)
    for attenuation in ("1.5", "7.25", "12", "3.75", "20.5", "0.25"):
        entry = browser.find_element(By.ID, "attenuation")
        entry.clear()
        entry.send_keys(attenuation)
        browser.find_element(By.ID, "set-attenuation").click()
        wait_text(browser, "now-attenuation", lambda t: t == attenuation, timeout=2)
        time.sleep(1.0)  # the events that follow must not take it back
        assert text(browser, "now-attenuation") == attenuation
        assert float(server.scpi("POW:ATT?")) == float(attenuation)


def test_a_refused_start_keeps_the_running_sweep(browser, server):
    open_panel(browser, server)
    points = [2e9 + 1e6 * i for i in range(40)]
    body = json.dumps({"list_hz": points, "dwell_s": 0.05})
    assert server.post("/api/units/0/sweep", body)[0] == 200
    try:
        deadline = time.monotonic() + 20
        while True:
            progress = json.loads(urllib.request.urlopen(
                f"{server.url}/api/units/0/sweep").read())
            if progress["done"] >= 5:
                break
            assert time.monotonic() < deadline, progress
            time.sleep(0.05)
        status, message = server.post("/api/units/0/sweep",
                                      json.dumps({"list_hz": [3e9] * 25, "dwell_s": 0.01}))
        assert status == 409, message
        after = json.loads(urllib.request.urlopen(f"{server.url}/api/units/0/sweep").read())
        assert (after["generation"], after["total"]) == (progress["generation"], 40)
        assert after["done"] >= progress["done"]
        wait_text(browser, "sweep-progress", lambda t: t == "40 of 40 points, done", timeout=20)
        with urllib.request.urlopen(f"{server.url}/api/units/0/sweep.csv") as reply:
            rows = reply.read().decode().splitlines()[1:]
        assert [float(r.split(",")[0]) for r in rows] == points
    finally:
        server.post("/api/units/0/sweep/abort", "{}")


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
        served = web_server(tmp_path, "--listen", "0.0.0.0", *args)
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
            assert served.stop() == 0


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
        eventually(lambda: "-221" in server.scpi("FREQ 3e9;:SYST:ERR?"),
                   "the SCPI client's sweep refusing changes")
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


def time_root(server):
    """How long GET / takes on a new connection, in seconds."""
    start = time.monotonic()
    connection = http.client.HTTPConnection("127.0.0.1", server.http, timeout=10)
    connection.request("GET", "/")
    reply = connection.getresponse()
    reply.read()
    connection.close()
    assert reply.status == 200
    return time.monotonic() - start


class Trickle:
    """Clients that send a request's header one byte every `every` s."""

    def __init__(self, server, count, every=3.0):
        self.every = every
        self.socks = [socket.create_connection(("127.0.0.1", server.http), timeout=10)
                      for _ in range(count)]
        self.header = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"x" * 64
        self.sent = 0
        self.next = time.monotonic()

    def tick(self):
        if time.monotonic() >= self.next and self.sent < len(self.header):
            for sock in self.socks:
                try:
                    sock.sendall(self.header[self.sent:self.sent + 1])
                except OSError:
                    pass  # closed by the server: its request took too long
            self.sent += 1
            self.next += self.every

    def close(self):
        for sock in self.socks:
            sock.close()


def slowest_root(server, loads, seconds=4.0):
    """The slowest of the GET / made while `loads` tick, for `seconds`."""
    worst = 0.0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for load in loads:
            load.tick()
        worst = max(worst, time_root(server))
        time.sleep(0.05)
    return worst


def test_root_answers_within_100_ms_under_slow_and_idle_clients(server):
    # 32 clients trickling a header byte every 3 s.
    trickle = Trickle(server, 32)
    try:
        worst = slowest_root(server, [trickle])
        assert worst < 0.1, f"GET / took {worst * 1000:.0f} ms beside 32 trickling clients"
    finally:
        trickle.close()
    # 24 pages open (every event stream there is) and 8 trickling clients.
    pages = []
    deadline = time.monotonic() + 10  # pages of earlier tests may still hold places
    while len(pages) < 24:
        page = http.client.HTTPConnection("127.0.0.1", server.http, timeout=10)
        page.request("GET", "/api/events")
        reply = page.getresponse()
        if reply.status == 200:
            pages.append((page, reply))
            continue
        refusal = reply.read()
        page.close()
        assert time.monotonic() < deadline, f"{len(pages)} event streams, then {refusal}"
        time.sleep(0.2)
    trickle = Trickle(server, 8)
    try:
        server.scpi("FREQ 2.1 GHz")  # news for every page
        worst = slowest_root(server, [trickle])
        assert worst < 0.1, f"GET / took {worst * 1000:.0f} ms beside 24 pages and 8 trickling"
    finally:
        trickle.close()
        for page, reply in pages:
            reply.close()
            page.close()
    # 100 connections that send nothing.
    idle = [socket.create_connection(("127.0.0.1", server.http), timeout=10) for _ in range(100)]
    try:
        worst = slowest_root(server, [], seconds=1.0)
        assert worst < 0.1, f"GET / took {worst * 1000:.0f} ms beside 100 idle connections"
    finally:
        for sock in idle:
            sock.close()


def test_a_request_that_trickles_is_cut_off(server):
    """A request must come whole within 10 s of its first byte: 408."""
    sock = socket.create_connection(("127.0.0.1", server.http), timeout=20)
    start = time.monotonic()
    sock.sendall(b"GET / HTTP/1.1\r\n")
    reply = b""
    while True:
        try:
            sock.sendall(b"X")
        except OSError:
            break
        chunk = b""
        sock.settimeout(1)
        try:
            chunk = sock.recv(4096)
        except socket.timeout:
            pass
        reply += chunk
        if b" 408 " in reply or (chunk == b"" and reply):
            break
        assert time.monotonic() - start < 15, "a trickling request is never cut off"
    assert b" 408 " in reply
    assert 9 <= time.monotonic() - start < 15
    sock.close()


def test_listen_0_is_every_interface(tmp_path):
    """--listen 0 is 0.0.0.0: the machine's name in the resources, and the
    machine's names and addresses taken in Host."""
    served = web_server(tmp_path, "--listen", "0")
    try:
        host = socket.gethostname()
        connection = http.client.HTTPConnection("127.0.0.1", served.http, timeout=10)
        connection.request("GET", "/api/units/0", headers={"Host": f"{host}:{served.http}"})
        reply = connection.getresponse()
        state = json.loads(reply.read())
        assert reply.status == 200, state
        assert state["visa"]["socket"].startswith(f"TCPIP::{host}::"), state["visa"]
        connection.close()
    finally:
        served.stop()


class PtyUnit:
    """The bench's first unit on a pseudo-terminal (vontrel-sim serve
    --pty), fresh from power-up each time it is plugged, reached through a
    link that always names the terminal it is on now."""

    def __init__(self, tmp):
        self.link = tmp / "unit-tty"
        self.process = None

    def plug(self):
        self.process = subprocess.Popen(
            [os.environ["VONTREL_SIM_TOOL"], "serve", "--pty", "--latency-ms", "1"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
            env=dict(os.environ, VONTREL_SIM_STATE="memory"))
        path = self.process.stdout.readline().split()[0]
        if self.link.is_symlink():
            self.link.unlink()
        self.link.symlink_to(path)

    def unplug(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)


@pytest.mark.skipif("VONTREL_SIM_TOOL" not in os.environ,
                    reason="needs vontrel-sim and the serial D2XX library")
def test_a_unit_plugged_back_shows_what_it_holds(browser, tmp_path):
    unit = PtyUnit(tmp_path)
    unit.plug()
    served = None
    try:
        environment = dict(os.environ, VONTREL_SERIAL_PORTS=f"{unit.link}=Vontrel Synthesizer",
                           LD_LIBRARY_PATH=os.environ["VONTREL_SERIAL_D2XX_DIR"])
        served = subprocess.Popen(
            [TOOL, "serve", "--port", "0", "--http", "0", "--vxi11", "off", "--mdns", "off"],
            env=environment, stdout=subprocess.PIPE, stderr=open(tmp_path / "serve.log", "w"),
            text=True)
        ports, url = {}, None
        for line in served.stdout:
            found = re.search(r"unit (\d+) .* port (\d+)", line)
            if found:
                ports[int(found.group(1))] = int(found.group(2))
            web = re.search(r"web front end on http://.*:(\d+)/", line)
            if web:
                url = f"http://127.0.0.1:{web.group(1)}"
                break
        assert url, (tmp_path / "serve.log").read_text()

        class View:
            pass
        view = View()
        view.url = url
        (port,) = ports.values()

        def scpi(line):
            with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
                s.sendall(line.encode() + b"\n")
                answer = b""
                while not answer.endswith(b"\n"):
                    answer += s.recv(4096)
                return answer.decode().strip()

        assert scpi("FREQ 2.5 GHz;*OPC?") == "1"
        open_panel(browser, view)
        wait_text(browser, "now-frequency_hz", lambda t: t == "2.5 GHz")
        unit.unplug()
        wait_text(browser, "lock", lambda t: t == "unit not open", timeout=10)
        unit.plug()  # back from power-up: not at 2.5 GHz
        wait_text(browser, "lock", lambda t: t != "unit not open", timeout=20)
        held = float(scpi("FREQ?"))
        assert held != 2.5e9
        wait_text(browser, "now-frequency_hz",
                  lambda t: t == f"{held / 1e9:g} GHz" or t == f"{held / 1e6:g} MHz", timeout=5)
    finally:
        if served is not None:
            served.send_signal(signal.SIGTERM)
            served.wait(timeout=10)
        unit.unplug()
