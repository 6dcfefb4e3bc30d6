# SPDX-License-Identifier: MIT
"""vontrel serve over VXI-11, as VISA finds and drives an instrument by default.

pyvisa-py over TCPIP::127.0.0.1::inst0::INSTR, lxi-tools and liblxi
(Debian's python3-pyvisa-py, lxi-tools) against the server on the simulated
bench; the lock shared by VXI-11 and the raw socket; bad RPC records. These
clients ask rpcbind (port 111) for the server's port, and discovery
broadcasts: the tests run only inside the network namespace that
in_netns.sh makes (only lo up, its own rpcbind and avahi-daemon), where
CTest runs them.
"""

import ctypes
import os
import socket
import struct
import subprocess
import threading
import time

import pytest
import pyvisa

from conftest import Server, ask, errors, eventually

pytestmark = pytest.mark.skipif(
    os.environ.get("VONTREL_NETNS_RPCBIND") != "1",
    reason="needs the network namespace and rpcbind of tests/frontends/in_netns.sh")

@pytest.fixture
def server(tmp_path):
    s = Server(tmp_path, args=("--unit", "serial:4660", "serve", "--port", "0", "--vxi11", "on",
                               "--mdns", "on"))
    yield s
    if s.process.poll() is None:
        assert s.stop() == 0


def instr(rm, device="inst0", timeout=3000):
    return rm.open_resource(f"TCPIP::127.0.0.1::{device}::INSTR", read_termination="\n",
                            timeout=timeout)


def test_pyvisa_drives_the_unit_over_instr(server, rm):
    gen = instr(rm, timeout=5000)
    assert gen.query("*IDN?").startswith("Vontrel,Synthesizer,4660,")
    gen.write("FREQ 2.455 GHz;:POW 5")
    assert float(gen.query("FREQ?")) == 2.455e9
    assert float(gen.query("POW?")) == 5
    # The status byte: an error queued (bit 2); an answer waiting (MAV, bit 4).
    gen.write("FOO")
    assert gen.read_stb() & 0x04
    assert errors(gen) == [-113]
    gen.write("*IDN?")
    assert gen.read_stb() & 0x10
    assert gen.read().startswith("Vontrel")
    # Each trigger steps the bus-triggered sweep one point.
    gen.write("TRIG:SOUR BUS;:LIST:FREQ 1 GHz,2 GHz;:LIST:DWEL 0.01;:FREQ:MODE LIST;:INIT")
    for _ in range(2):
        deadline = time.monotonic() + 5
        while int(gen.query("STAT:OPER:COND?")) & 32 == 0:
            assert time.monotonic() < deadline, "the sweep never waited for its trigger"
        gen.assert_trigger()
    assert gen.query("*OPC?") == "1"
    assert float(gen.query("FREQ?")) == 2e9
    assert errors(gen) == []
    # A device clear ends a long *OPC? and drops its answer.
    gen.write("TRIG:SOUR IMM;:LIST:DWEL 5;:INIT")
    gen.write("*OPC?")
    start = time.monotonic()
    gen.clear()
    assert gen.query("*IDN?").startswith("Vontrel")
    assert time.monotonic() - start < 2
    gen.write("ABOR")
    # The serial number's alias reaches the same unit; an unknown name none.
    assert instr(rm, "sn4660").query("FREQ?") == gen.query("FREQ?")
    with pytest.raises(Exception, match="error creating link: 21"):
        instr(rm, "inst7")


def test_one_lock_across_vxi11_and_the_raw_socket(server, rm):
    holder = instr(rm)
    other = instr(rm)
    raw = server.socket()
    holder.lock_excl()
    holder.write("FREQ 1 GHz")
    # Another link: queries run, a change fails at once (no wait asked for).
    assert float(other.query("FREQ?")) == 1e9
    start = time.monotonic()
    with pytest.raises(pyvisa.VisaIOError):
        other.write("FREQ 3 GHz")
    assert time.monotonic() - start < 3
    # The raw socket: the same lock, held by the link.
    assert ask(raw, b"SYST:LOCK:REQ?\n") == "0\n"
    assert "VXI-11" in ask(raw, b"SYST:LOCK:OWN?\n")
    assert ask(raw, b"FREQ 4 GHz;FREQ?;SYST:ERR?\n").startswith('1000000000;-203,')
    # Closing the holder's link lets the lock go.
    holder.close()
    assert ask(raw, b"SYST:LOCK:REQ?;:FREQ 4 GHz;FREQ?\n") == "1;4000000000\n"
    # And the other way: the raw socket holds it.
    with pytest.raises(pyvisa.VisaIOError):
        other.lock_excl()
    with pytest.raises(pyvisa.VisaIOError):
        other.write("FREQ 3 GHz")
    assert float(other.query("FREQ?")) == 4e9
    raw.close()  # the connection goes: its lock with it
    deadline = time.monotonic() + 5
    while True:
        try:
            other.lock_excl()
            break
        except pyvisa.VisaIOError:
            assert time.monotonic() < deadline, "the lock outlived its connection"
            time.sleep(0.05)
    other.write("FREQ 3 GHz")
    other.unlock()
    assert float(other.query("FREQ?")) == 3e9


def test_lxi_tools_and_liblxi_find_and_drive_it(server):
    idn = subprocess.run(["lxi", "scpi", "-a", "127.0.0.1", "*IDN?"], capture_output=True,
                         text=True, timeout=20)
    assert "Vontrel,Synthesizer,4660" in idn.stdout, idn.stderr
    found = subprocess.run(["lxi", "discover"], capture_output=True, text=True, timeout=30)
    assert 'Found "Vontrel,Synthesizer,4660' in found.stdout, found.stdout
    bench = subprocess.run(["lxi", "benchmark", "-a", "127.0.0.1", "-c", "200"],
                           capture_output=True, text=True, timeout=60)
    print("lxi benchmark (VXI-11):", bench.stdout.strip().splitlines()[-1])

    lxi = ctypes.CDLL("liblxi.so.1")
    lxi.lxi_connect.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_int,
                                ctypes.c_int]
    assert lxi.lxi_init() == 0
    vxi11 = 0  # lxi_protocol_t
    device = lxi.lxi_connect(b"127.0.0.1", 0, b"inst0", 3000, vxi11)
    assert device >= 0
    command = b"FREQ 1.25 GHz;FREQ?"
    assert lxi.lxi_send(device, command, len(command), 3000) == len(command)
    answer = ctypes.create_string_buffer(256)
    n = lxi.lxi_receive(device, answer, len(answer), 3000)
    assert answer.raw[:n].strip() == b"1250000000"
    assert lxi.lxi_disconnect(device) == 0


def rpc_record(words, tail=b"", mark=None):
    body = b"".join(struct.pack(">I", w) for w in words) + tail
    return struct.pack(">I", mark if mark is not None else 0x80000000 | len(body)) + body


def rpc_reply(sock):
    header = b""
    while len(header) < 4:
        chunk = sock.recv(4 - len(header))
        if not chunk:
            return None
        header += chunk
    length = struct.unpack(">I", header)[0] & 0x7FFFFFFF
    body = b""
    while len(body) < length:
        body += sock.recv(length - len(body))
    return struct.unpack(f">{length // 4}I", body[: length // 4 * 4])


def test_bad_records_get_their_rpc_error_and_the_server_stays_up(server, rm):
    port = server.core_port
    call = [9, 0, 2]  # xid, call, RPC version 2
    auth = [0, 0, 0, 0]
    cases = [  # record, reply words after xid and type
        (rpc_record(call + [0x0607AF, 1, 99] + auth), (0, 0, 0, 3)),  # unknown procedure
        (rpc_record(call + [0x0607B1, 1, 10] + auth), (0, 0, 0, 1)),  # wrong program
        (rpc_record(call + [0x0607AF, 2, 10] + auth), (0, 0, 0, 2, 1, 1)),  # wrong version
        (rpc_record(call + [0x0607AF, 1, 10] + auth + [0, 0]), (0, 0, 0, 4)),  # truncated
        (rpc_record([9, 0, 3, 0x0607AF, 1, 10] + auth), (1, 0, 2, 2)),  # RPC version 3
        # device_write on a link that is not there: the protocol's error 4.
        (rpc_record(call + [0x0607AF, 1, 11] + auth + [77, 0, 0, 8, 0]), (0, 0, 0, 0, 4, 0)),
    ]
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        for record, reply in cases:
            sock.sendall(record)
            assert rpc_reply(sock)[2:] == reply, record
    # A record longer than the server takes ends only its own connection.
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        sock.sendall(struct.pack(">I", 0x7FFFFFFF) + b"x" * 64)
        assert rpc_reply(sock) is None
    assert instr(rm).query("*IDN?").startswith("Vontrel")


def test_a_waiting_read_blocks_only_its_own_link(server, rm):
    slow = instr(rm, timeout=10000)
    slow.write("LIST:FREQ 1 GHz,2 GHz;:LIST:DWEL 2;:FREQ:MODE LIST;:INIT;*OPC?")
    result = {}
    reader = threading.Thread(target=lambda: result.update(opc=slow.read()))
    reader.start()
    fast = instr(rm, timeout=5000)
    eventually(lambda: fast.query("FREQ 4 GHZ;:SYST:ERR?").startswith("-221,"),
               "the sweep refusing changes, with the read waiting on it")
    start = time.monotonic()
    assert fast.query("*IDN?").startswith("Vontrel")
    assert time.monotonic() - start < 2  # not behind the 4 s sweep
    reader.join()
    assert result["opc"] == "1"


@pytest.mark.skipif(os.environ.get("VONTREL_NETNS_AVAHI") != "1",
                    reason="needs the avahi-daemon of tests/frontends/in_netns.sh")
def test_mdns_announces_each_unit_and_withdraws_it(tmp_path):
    server = Server(tmp_path, args=("--unit", "serial:4660", "serve", "--port", "0", "--vxi11",
                                    "on", "--mdns", "on", "--http", "0"))

    def browse(service="_scpi-raw._tcp"):
        return subprocess.run(["avahi-browse", "-rtp", service], capture_output=True,
                              text=True, timeout=20).stdout

    deadline = time.monotonic() + 10
    while f";{server.port};" not in browse():
        assert time.monotonic() < deadline, "the unit was never announced"
        time.sleep(0.2)
    resolved = [line for line in browse().splitlines() if line.startswith("=")][0]
    for txt in ("Manufacturer=Vontrel", "Model=Synthesizer", "SerialNumber=4660",
                "FirmwareVersion=2.4"):
        assert f'"{txt}"' in resolved
    found = subprocess.run(["lxi", "discover", "-m"], capture_output=True, text=True,
                           timeout=30).stdout
    assert "Vontrel Synthesizer 4660" in found and f"port {server.port}" in found, found
    assert "vxi-11 service on port 111" in found, found
    # The web panel, as LXI discovery tools look for it.
    web = [line for line in browse("_lxi._tcp").splitlines() if line.startswith("=")]
    assert web and '"path=/unit.html?unit=0"' in web[0] and '"SerialNumber=4660"' in web[0], web
    assert server.stop() == 0
    deadline = time.monotonic() + 10
    while "Vontrel" in browse():
        assert time.monotonic() < deadline, "the announcement outlived the server"
        time.sleep(0.2)


def core_call(sock, procedure, words, tail=b""):
    """One core-channel call; the reply's words after the RPC header."""
    sock.sendall(rpc_record([procedure, 0, 2, 0x0607AF, 1, procedure, 0, 0, 0, 0] + words, tail))
    reply = rpc_reply(sock)
    assert reply[:6] == (procedure, 1, 0, 0, 0, 0), reply
    return reply[6:]


def test_a_link_waits_for_the_lock_when_it_asks_to(server):
    port = server.core_port
    raw = server.socket()
    assert ask(raw, b"SYST:LOCK:REQ?\n") == "1\n"
    wait_lock, end = 1, 8
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        error, lid = core_call(sock, 10, [1, 0, 0, 5], b"inst0\0\0\0")[:2]
        message = b"FREQ 2 GHz\n"
        start = time.monotonic()
        assert core_call(sock, 11, [lid, 1000, 300, wait_lock | end, len(message)],
                         message + b"\0") == (11, 0)
        assert 0.3 <= time.monotonic() - start < 2
        # device_lock waiting for the raw connection to let go.
        threading.Timer(0.3, raw.close).start()
        start = time.monotonic()
        assert core_call(sock, 18, [lid, wait_lock, 5000]) == (0,)
        assert 0.25 <= time.monotonic() - start < 3
        assert core_call(sock, 19, [lid]) == (0,)
        assert core_call(sock, 19, [lid]) == (12,)  # no lock held any more


def test_service_request_reaches_the_client_on_its_interrupt_channel(server):
    port = server.core_port
    listener = socket.create_server(("127.0.0.1", 0))
    call = core_call

    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        error, lid = call(sock, 10, [1, 0, 0, 5], b"inst0\0\0\0")[:2]
        assert error == 0
        # Only back to the client's own address.
        assert call(sock, 25, [0x7F000002, listener.getsockname()[1], 0x0607B1, 1, 0]) == (5,)
        assert call(sock, 25, [0x7F000001, listener.getsockname()[1], 0x0607B1, 1, 0]) == (0,)
        channel, _ = listener.accept()
        channel.settimeout(5)
        assert call(sock, 20, [lid, 1, 2], b"h1\0\0") == (0,)
        message = b"*ESE 1;*SRE 32;*OPC"
        assert call(sock, 11, [lid, 1000, 0, 8, len(message)], message + b"\0") == (0, 19)
        # device_intr_srq: program 0x0607B1, procedure 30, the handle.
        srq = rpc_reply(channel)
        assert srq[1:6] == (0, 2, 0x0607B1, 1, 30) and srq[-2:-1] == (2,), srq
        assert call(sock, 26, []) == (0,)
        assert call(sock, 20, [lid, 1, 0]) == (6,)  # no channel any more
        channel.close()
    listener.close()


def test_a_client_that_vanishes_mid_read_lets_its_lock_go(server):
    """A client killed while its device_read waits: its link, and its lock, go at once."""
    port = server.core_port
    forever = 0xFFFFFFFF
    sock = socket.create_connection(("127.0.0.1", port), timeout=5)
    lid = core_call(sock, 10, [1, 1, 0, 5], b"inst0\0\0\0")[1]  # linked and locked
    raw = server.socket()
    assert ask(raw, b"SYST:LOCK:REQ?\n") == "0\n"
    # device_read with no answer coming, waiting "forever".
    sock.sendall(rpc_record([12, 0, 2, 0x0607AF, 1, 12, 0, 0, 0, 0, lid, 1024, forever, 0, 0, 0]))
    time.sleep(0.3)
    sock.close()  # as the kernel closes it when the client is killed
    deadline = time.monotonic() + 3
    while ask(raw, b"SYST:LOCK:REQ?\n") != "1\n":
        assert time.monotonic() < deadline, "the vanished client's lock was kept"
        time.sleep(0.1)
    assert ask(raw, b"SYST:LOCK:REL;:SYST:LOCK:OWN?\n") == '"NONE"\n'
    raw.close()


@pytest.mark.skipif(os.environ.get("VONTREL_SANITIZE", "") != "",
                    reason="under the sanitizers' runtime the server was once not serving "
                           "again 5 s after its descriptors were freed; not yet understood")
def test_out_of_descriptors_it_waits_and_serves_again(server, rm):
    """Connections past the descriptor limit wait in the backlog: the server
    neither spins nor stops taking them once descriptors are free again."""
    import resource
    port = server.core_port
    pid = server.process.pid
    soft, hard = resource.prlimit(pid, resource.RLIMIT_NOFILE)
    resource.prlimit(pid, resource.RLIMIT_NOFILE, (len(os.listdir(f"/proc/{pid}/fd")) + 4, hard))
    socks = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(12)]

    def cpu_s():
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    time.sleep(0.3)
    before = cpu_s()
    time.sleep(1.5)
    assert cpu_s() - before < 0.5, "the server spins while out of descriptors"
    for s in socks:
        s.close()
    resource.prlimit(pid, resource.RLIMIT_NOFILE, (soft, hard))
    # Serving again may take the server's pause and the backlog it clears.
    deadline = time.monotonic() + 5
    while True:
        try:
            assert instr(rm).query("*IDN?").startswith("Vontrel")
            break
        except (OSError, pyvisa.errors.VisaIOError):
            assert time.monotonic() < deadline, "not served again once descriptors were free"
            time.sleep(0.2)


def vxi11_ports(server):
    return server.core_port, server.abort_port


def test_a_query_given_up_never_answers_the_next_over_instr(server, rm):
    """As on the raw port: a new message ends the wait with -410 and gets its
    own answer, whether the read was given up by a time-out or through the
    abort channel."""
    _, abort = vxi11_ports(server)
    gen = instr(rm)
    gen.write("*RST;LIST:FREQ 1 GHz,2 GHz;LIST:DWEL 0.4")
    gen.timeout = 200
    gen.write("INIT")
    with pytest.raises(pyvisa.errors.VisaIOError):
        gen.query("*OPC?")  # the sweep takes 0.8 s
    gen.timeout = 10000
    assert gen.query("LIST:FREQ:POIN?") == "2"  # not the stale 1
    assert gen.query("*OPC?") == "1"
    assert gen.query("*IDN?").startswith("Vontrel,")
    assert errors(gen) == [-410]

    # device_abort on the abort channel ends a read that waits.
    gen.write("INIT")
    gen.write("*OPC?")
    failed = []
    reader = threading.Thread(target=lambda: failed.append(pytest.raises(
        pyvisa.errors.VisaIOError, gen.read)))
    reader.start()
    link = gen.visalib.sessions[gen.session].link
    with socket.create_connection(("127.0.0.1", abort), timeout=5) as sock:
        time.sleep(0.1)
        sock.sendall(rpc_record([7, 0, 2, 0x0607B0, 1, 1, 0, 0, 0, 0, link]))
        assert rpc_reply(sock)[6:] == (0,)
    reader.join(5)
    assert failed
    assert gen.query("LIST:FREQ:POIN?") == "2"
    assert gen.query("*OPC?") == "1"
    assert errors(gen) == [-410]


def rss_kib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise AssertionError("no VmRSS")


def test_answers_never_read_end_the_link_at_the_cap(server, rm):
    """device_write after device_write of queries, never read: past 4 MiB
    unread the link ends, and the server's memory stays where it was."""
    port, _ = vxi11_ports(server)
    end = 8

    def write(sock, lid, message):
        message = message.encode()
        pad = b"\0" * (-len(message) % 4)
        return core_call(sock, 11, [lid, 1000, 0, end, len(message)], message + pad)

    with socket.create_connection(("127.0.0.1", port), timeout=20) as sock:
        lid = core_call(sock, 10, [1, 0, 0, 5], b"inst0\0\0\0")[1]
        assert write(sock, lid, "LIST:FREQ " + ",".join(["1GHZ"] * 5000)) == (0, 25009)
        before = rss_kib(server.process.pid)
        # Each answer is 55 kB: 5000 such queries ask for 275 MB.
        write(sock, lid, "LIST:FREQ?\n" * 5000)
        deadline = time.monotonic() + 20
        while "bytes of answers not read; closed" not in server.log.read_text():
            assert time.monotonic() < deadline, server.log.read_text()
            time.sleep(0.1)
        assert rss_kib(server.process.pid) - before < 64 * 1024
        assert sock.recv(100) == b""  # its connection is closed
    assert instr(rm).query("*IDN?").startswith("Vontrel,")


def test_an_idle_link_lets_its_lock_go_after_the_idle_timeout(tmp_path, rm):
    server = Server(tmp_path, args=("--unit", "serial:4660", "serve", "--port", "0", "--vxi11",
                                    "on", "--idle-timeout", "1"))
    try:
        holder = instr(rm)
        holder.lock_excl()
        raw = server.socket()
        assert ask(raw, b"SYST:LOCK:REQ?\n") == "0\n"
        deadline = time.monotonic() + 6
        while ask(raw, b"SYST:LOCK:REQ?\n") != "1\n":  # each line keeps raw itself busy
            assert time.monotonic() < deadline, "the silent link kept the lock"
            time.sleep(0.2)
        raw.close()
    finally:
        assert server.stop() == 0
    assert "nothing sent for 1 s; closed" in server.log.read_text()


FLOOD = """
import resource, socket, sys
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
socks = [socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
         for _ in range(int(sys.argv[2]))]
print("ready", flush=True)
sys.stdin.read()
"""


def test_a_connection_flood_leaves_every_front_end_serving(tmp_path, rm):
    """1029 connections to the core port that never make a link, the
    server under the 1024 descriptors a service gets: the raw port, a new
    INSTR link and the web front end all answer."""
    import http.client
    import resource
    import sys

    def limited():
        resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))

    server = Server(tmp_path, args=("--unit", "serial:4660", "serve", "--port", "0", "--vxi11",
                                    "on", "--http", "0"), preexec=limited)
    core, _ = vxi11_ports(server)
    web = server.http
    # A process of its own holds the flood: this one's descriptors stay few.
    flood = subprocess.Popen([sys.executable, "-c", FLOOD, str(core), "1029"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert flood.stdout.readline() == "ready\n"
        raw = server.socket()
        assert ask(raw, b"*IDN?\n").startswith("Vontrel,")
        raw.close()
        assert instr(rm).query("*IDN?").startswith("Vontrel,")
        page = http.client.HTTPConnection("127.0.0.1", web, timeout=5)
        page.request("GET", "/")
        assert page.getresponse().status == 200
        page.close()
        assert len(os.listdir(f"/proc/{server.process.pid}/fd")) < 600
    finally:
        flood.stdin.close()
        flood.wait(timeout=20)
        assert server.stop() == 0


def rpcbind_restarted():
    """Kills the namespace's rpcbind (in_netns.sh starts it again) and waits
    for the new one."""
    path = os.environ["VONTREL_NETNS_RPCBIND_PID_FILE"]
    old = int(open(path).read())
    os.kill(old, 15)
    deadline = time.monotonic() + 10
    while True:
        try:
            new = int(open(path).read())
        except ValueError:
            new = old
        if new != old and os.path.exists("/run/rpcbind.sock"):
            return
        assert time.monotonic() < deadline, "rpcbind did not come back"
        time.sleep(0.05)


def query_within(rm, seconds, device="inst0"):
    deadline = time.monotonic() + seconds
    while True:
        try:
            gen = instr(rm, device, timeout=2000)
            answer = gen.query("*IDN?")
            gen.close()
            return answer
        except Exception:  # not registered (yet): pyvisa finds no port
            assert time.monotonic() < deadline, "INSTR never worked again"
            time.sleep(0.2)


@pytest.mark.skipif("VONTREL_NETNS_RPCBIND_PID_FILE" not in os.environ,
                    reason="needs the restartable rpcbind of tests/frontends/in_netns.sh")
def test_rpcbind_comes_and_goes(tmp_path, rm):
    (tmp_path / "first").mkdir()
    first = Server(tmp_path / "first",
                   args=("--unit", "serial:4660", "serve", "--port", "0", "--vxi11", "on"))
    try:
        first_core, _ = vxi11_ports(first)
        assert query_within(rm, 5).startswith("Vontrel,Synthesizer,4660")
        rpcbind_restarted()
        start = time.monotonic()
        assert query_within(rm, 10).startswith("Vontrel,Synthesizer,4660")
        print(f"INSTR again {time.monotonic() - start:.1f} s after rpcbind restarted")

        # A second server leaves the first's registration alone, also when
        # it stops, and takes it over once the first is gone.
        (tmp_path / "second").mkdir()
        second = Server(tmp_path / "second",
                        args=("--unit", "serial:4660", "serve", "--port", "0", "--vxi11", "on"))
        second_core, _ = vxi11_ports(second)
        assert second.stop() == 0
        assert query_within(rm, 5).startswith("Vontrel,")
        third = Server(tmp_path / "second",
                       args=("--unit", "serial:4660", "serve", "--port", "0", "--vxi11", "on"))
        third_core, _ = vxi11_ports(third)
        first.process.kill()  # gone without removing its registration
        first.process.wait()
        deadline = time.monotonic() + 10
        while "registered with rpcbind" not in third.log.read_text():
            assert time.monotonic() < deadline, third.log.read_text()
            time.sleep(0.2)
        assert query_within(rm, 5).startswith("Vontrel,")
        assert third.stop() == 0
    finally:
        if first.process.poll() is None:
            first.stop()


# Identity bytes a unit may hold, whatever they mean: controls, quotes and
# markup, the ends of ASCII, bytes that start or continue UTF-8 sequences
# and those that never may; 100 is the hardware revision byte that once
# made the letter 0xA5 and brought the whole server down.
HOSTILE_BYTES = [0, 1, 9, 10, 13, 0x1F, 0x22, 0x26, 0x27, 0x3C, 0x5C, 0x7F, 0x80, 100, 0xA5,
                 0xBF, 0xC0, 0xC3, 0xE2, 0xED, 0xF0, 0xF5, 0xFF]


def test_hostile_identity_bytes_crash_no_front_end(tmp_path, rm):
    """Every hostile byte in every identity field (firmware, calibration
    date, hardware revision, IF band), one unit each, with a page open:
    every front end answers and the server stays up."""
    import http.client
    import json
    import xml.etree.ElementTree as ElementTree

    bench = [{"serial": 5000 + k, "identity": [(5000 + k) & 0xFF, (5000 + k) >> 8] + [v] * 8}
             for k, v in enumerate(HOSTILE_BYTES)]
    bench.append({"serial": 4660, "identity": [0x34, 0x12, 3, 2, 9, 5, 21, 100, 60, 80]})
    (tmp_path / "bench.json").write_text(json.dumps({"converters": bench}))
    server = Server(tmp_path, args=("serve", "--port", "0", "--vxi11", "on", "--http", "0"),
                    VONTREL_SIM_CONFIG=str(tmp_path / "bench.json"))
    try:
        web = server.http
        assert len(server.ports) == len(bench)
        # One page open: its event stream.
        page = socket.create_connection(("127.0.0.1", web), timeout=10)
        page.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        stream = page.makefile("rb")
        assert b" 200 " in stream.readline()
        while not stream.readline().startswith(b"data: "):
            pass

        def get(path):
            c = http.client.HTTPConnection("127.0.0.1", web, timeout=10)
            c.request("GET", path)
            reply = c.getresponse()
            body = reply.read()
            c.close()
            assert reply.status == 200, (path, body)
            return body

        units = json.loads(get("/api/units").decode("utf-8"))
        assert len(units) == len(bench) and all(u["open"] for u in units)
        assert {u["serial"]: u["hardware"] for u in units}[4660] == "\ufffd"
        for index in range(len(bench)):
            ElementTree.fromstring(get(f"/lxi/identification?unit={index}"))
        for serial, port in server.ports.items():
            with server.socket(port) as raw:
                assert ask(raw, b"*IDN?;:VONT:INFO?\n").startswith(f"Vontrel,Synthesizer,{serial},")
            gen = instr(rm, f"sn{serial}")
            assert gen.query("*IDN?").startswith(f"Vontrel,Synthesizer,{serial},")
            gen.close()
        # The page still gets news.
        with server.socket(server.ports[4660]) as raw:
            ask(raw, b"FREQ 1.5 GHz;*OPC?\n")
        while True:
            line = stream.readline()
            assert line, "the event stream ended"
            if line.startswith(b"data: ") and b"1500000000" in line:
                break
        page.close()
        assert server.process.poll() is None
    finally:
        assert server.stop() == 0
