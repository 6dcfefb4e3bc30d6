# SPDX-License-Identifier: MIT
"""The servers under test, as the front-end and Tango tests start them.

Each test starts its server on the simulated bench, with the bench's state,
the trace of every frame and the server's log in a folder of the test's
own, and stops it with SIGTERM. `vontrel` comes from $VONTREL_TOOL (CTest
sets it), else the newest build*/tools/vontrel; `vontrel-tango` from
$VONTREL_TANGO.
"""

import glob
import http.client
import os
import re
import signal
import socket
import subprocess
import time

import pytest


def eventually(condition, what, timeout=10.0):
    """Asks `condition` until it answers something true, which is returned;
    fails naming `what` when `timeout` seconds pass first. Tests wait for
    what they can observe this way, never for a fixed time."""
    deadline = time.monotonic() + timeout
    while True:
        answer = condition()
        if answer:
            return answer
        assert time.monotonic() < deadline, f"{what}: not within {timeout} s"
        time.sleep(0.02)  # between two looks, not a wait for progress

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERIAL = 4660  # the first unit of the simulator's default bench


def tool():
    """The vontrel tool under test."""
    found = os.environ.get("VONTREL_TOOL")
    if found:
        return found
    builds = sorted(glob.glob(os.path.join(ROOT, "build*", "tools", "vontrel")),
                    key=os.path.getmtime)
    if not builds:
        pytest.skip("no build of the vontrel tool")
    return builds[-1]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """`vontrel ARGS`: by default `--unit serial:4660 serve --port 0`.

    The bench is kept in the server's memory unless `state` names a file
    (other programs then share it). Out of a network namespace of their
    own, the tests leave the machine's rpcbind and avahi-daemon alone: a
    server registers or announces nothing unless the test gives --vxi11 or
    --mdns itself. What the server prints on starting is read: the port of
    each unit (`ports`, serial: port; `port` is the first), the VXI-11 core
    and abort ports (`core_port`, `abort_port`) and the web front end's port
    (`http`, `url`). `preexec` runs in the server's process before it
    starts (a descriptor limit, say).
    """

    def __init__(self, tmp_path, args=("--unit", "serial:4660", "serve", "--port", "0"),
                 stderr=None, state="memory", preexec=None, **env):
        self._files(tmp_path, state, env)
        for option in ("--vxi11", "--mdns"):
            if "serve" in args and option not in args:
                args = (*args, option, "off")
        with open(self.log, "w") as log:
            self.process = subprocess.Popen(
                [tool(), *args], stdout=subprocess.PIPE,
                stderr=log if stderr is None else stderr, text=True, env=self.env,
                preexec_fn=preexec)
        self.ports = {}  # serial number: port
        while True:
            line = self._line()
            found = re.search(r"unit (\d+) .* port (\d+)", line)
            if not found:
                break
            self.ports[int(found.group(1))] = int(found.group(2))
        assert line.startswith("serving "), line
        self.port = next(iter(self.ports.values()))
        if args[args.index("--vxi11") + 1] == "on":
            line = self._line()
            self.core_port = int(line.split("core port ")[1].split(",")[0])
            self.abort_port = int(line.split("abort port ")[1])
        if "--http" in args:
            self.http = int(re.search(r"web front end on http://.*:(\d+)/", self._line())[1])
            self.url = f"http://127.0.0.1:{self.http}"

    def _files(self, tmp_path, state, env):
        self.trace = tmp_path / "trace.txt"
        self.log = tmp_path / "serve.log"
        self.state = tmp_path / "state.json" if state == "file" else state
        self.env = dict(os.environ, VONTREL_SIM_STATE=str(self.state),
                        VONTREL_SIM_TRACE=str(self.trace))
        self.env.pop("VONTREL_SIM_CONFIG", None)
        self.env.update(env)

    def _line(self):
        line = self.process.stdout.readline()
        assert line, self.log.read_text()
        return line

    def open(self, rm):
        """The first unit as a VISA SOCKET resource."""
        return rm.open_resource(f"TCPIP::127.0.0.1::{self.port}::SOCKET",
                                read_termination="\n", timeout=10000)

    def socket(self, port=None):
        return socket.create_connection(("127.0.0.1", port or self.port), timeout=10)

    def scpi(self, line, serial=SERIAL):
        """One line to a unit's port on a connection of its own; the answer,
        or "1" from *OPC? when the line asks nothing."""
        with self.socket(self.ports[serial]) as s:
            return ask(s, line.encode() + b"\n" + (b"" if "?" in line else b"*OPC?\n")).strip()

    def post(self, path, body, headers=None, host=None):
        """A POST to the web front end: (HTTP status, body). `host` replaces
        the Host header."""
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

    def frames(self):
        """The commands (two hex digits) of the frames sent to units."""
        return [line.split("->")[1].split()[2] for line in self.trace.read_text().splitlines()
                if "->" in line]

    def stop(self):
        """SIGTERM; the exit status (killed after 10 s)."""
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=10)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()


class TangoServer(Server):
    """`vontrel-tango test -nodb` for DEVICES (by default unit 4660's), on a
    free port, its bench state in a file; ready once every device answers.
    `dlist` replaces the device list's arguments (one -dlist per class)."""

    def __init__(self, tmp_path, devices=(f"lab/vontrel/{SERIAL}",), dlist=None, **env):
        self.devices = devices
        self._files(tmp_path, "file", {"VONTREL_TANGO_LOCK_POLL_S": "0.1", **env})
        self.port = free_port()
        endpoint = f"giop:tcp:127.0.0.1:{self.port}"
        with open(self.log, "w") as log:
            self.process = subprocess.Popen(
                [os.environ["VONTREL_TANGO"], "test", "-nodb",
                 *(dlist or ["-dlist", ",".join(devices)]),
                 "-ORBendPoint", endpoint, "-ORBendPointPublish", endpoint],
                stdout=log, stderr=subprocess.STDOUT, env=self.env)
        # On a loaded machine the last devices answer well after the first.
        import tango

        def answers(device):
            assert self.process.poll() is None, self.log.read_text()
            try:
                self.proxy(device).ping()
                return True
            except tango.DevFailed:
                return False
        for device in devices:
            eventually(lambda: answers(device), f"{device} answering\n{self.log}", 15)

    def proxy(self, device=None):
        import tango
        device = device or self.devices[0]
        p = tango.DeviceProxy(f"tango://127.0.0.1:{self.port}/{device}#dbase=no")
        p.set_timeout_millis(5000)
        return p


@pytest.fixture
def server(tmp_path):
    """`vontrel --unit serial:4660 serve --port 0`, stopped cleanly at the end."""
    s = Server(tmp_path)
    yield s
    if s.process.poll() is None:
        assert s.stop() == 0


@pytest.fixture
def rm():
    """pyvisa's resource manager with its pure-Python backend."""
    pyvisa = pytest.importorskip("pyvisa")
    manager = pyvisa.ResourceManager("@py")
    yield manager
    manager.close()


def ask(sock, text):
    """Sends lines on a raw socket and reads one answer line."""
    sock.sendall(text)
    answer = b""
    while not answer.endswith(b"\n"):
        chunk = sock.recv(4096)
        assert chunk, "the server closed the connection"
        answer += chunk
    return answer.decode()


def errors(gen):
    """Every error queued, oldest first, as numbers."""
    codes = []
    while True:
        code = int(gen.query("SYST:ERR?").split(",")[0])
        if code == 0:
            return codes
        codes.append(code)


def numbers(gen, query):
    """The numbers a query line answers, whatever separates them."""
    return [float(x) for x in re.split("[,;]", gen.query(query))]

