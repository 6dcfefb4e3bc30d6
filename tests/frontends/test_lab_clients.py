# SPDX-License-Identifier: MIT
"""vontrel serve with clients nobody here wrote, and clients that try to
stall it.

pyvisa-py, PyMeasure's stock Agilent8257D driver and lxi-tools (Debian's
python3-pyvisa-py, python3-pymeasure, lxi-tools) against the server on the
simulated bench; then the stalls: idle connections, a log nobody reads, a
client that reads one byte a second, a unit held by another program.
"""

import os
import signal
import socket
import subprocess
import threading
import time

import pytest
import pyvisa

from test_visa import Server, _tool, ask, errors, numbers


@pytest.fixture
def rm():
    manager = pyvisa.ResourceManager("@py")
    yield manager
    manager.close()


def stopped(server):
    assert server.stop() == 0


def test_a_query_that_timed_out_never_answers_the_next(tmp_path, rm):
    server = Server(tmp_path)
    try:
        gen = server.open(rm)
        gen.write("*RST;LIST:FREQ 1 GHz,2 GHz;LIST:DWEL 0.4")
        gen.timeout = 200
        gen.write("INIT")
        with pytest.raises(pyvisa.errors.VisaIOError):
            gen.query("*OPC?")  # the sweep takes 0.8 s
        gen.timeout = 10000
        assert gen.query("LIST:FREQ:POIN?") == "2"  # not the stale 1
        assert gen.query("*OPC?") == "1"
        assert errors(gen) == [-410]
        # A line whose query fails answers nothing: the next line's answer
        # is the next line's.
        gen.write("FREQ?;POW:ATT? X;VONT:MODE?")
        assert gen.query("*IDN?").startswith("Vontrel,")
        assert errors(gen) == [-224]
        gen.close()
    finally:
        stopped(server)


def pairs_per_second(gen, pairs):
    start = time.perf_counter()
    for _ in range(pairs):
        gen.write("*ESE 0")
        gen.query("*ESE?")
    return pairs / (time.perf_counter() - start)


def test_write_then_query_with_default_socket_settings(tmp_path, rm):
    # pyvisa-py sends each message as its own packet, Nagle on: without
    # TCP_QUICKACK on the server, each query waits for a delayed ACK.
    server = Server(tmp_path)
    try:
        gen = server.open(rm)
        rate = pairs_per_second(gen, 200)
        print(f"pyvisa-py write-then-query: {rate:.0f} pairs/s")
        assert rate > 100, f"{rate:.1f} pairs a second"
        gen.close()
    finally:
        stopped(server)


def test_pymeasure_stock_driver(tmp_path):
    from pymeasure.instruments.agilent import Agilent8257D
    server = Server(tmp_path)
    try:
        gen = Agilent8257D(f"TCPIP::127.0.0.1::{server.port}::SOCKET", visa_library="@py",
                           read_termination="\n", write_termination="\n", timeout=5000)
        gen.frequency = 2.455e9
        assert gen.frequency == pytest.approx(2.455e9)
        gen.enable()
        assert gen.is_enabled is True
        gen.start_frequency = 1e9
        gen.stop_frequency = 2e9
        assert (gen.start_frequency, gen.stop_frequency) == (1e9, 2e9)
        assert gen.values("SYST:ERR?") == [0, "No error"] or \
            gen.ask("SYST:ERR?").strip() == '0,"No error"'
        gen.adapter.connection.close()
    finally:
        stopped(server)


def test_lxi_tools(tmp_path):
    server = Server(tmp_path)
    try:
        out = subprocess.run(["lxi", "scpi", "-a", "127.0.0.1", "-p", str(server.port), "-r",
                              "*IDN?"], capture_output=True, text=True, timeout=30)
        assert out.returncode == 0 and out.stdout.startswith("Vontrel,Synthesizer,4660"), out
        bench = subprocess.run(["lxi", "benchmark", "-a", "127.0.0.1", "-p", str(server.port),
                                "-r", "-c", "200"], capture_output=True, text=True, timeout=60)
        assert bench.returncode == 0, bench
        print("lxi benchmark -r:", bench.stdout.strip().splitlines()[-1])
    finally:
        stopped(server)


def test_idle_connections_do_not_lock_a_unit_out(tmp_path):
    server = Server(tmp_path, args=("--unit", "serial:4660", "serve", "--port", "0",
                                    "--idle-timeout", "1"))
    try:
        idle = [server.socket() for _ in range(32)]
        time.sleep(0.2)
        refused = server.socket()
        assert refused.recv(10) == b""  # the unit's 32 connections are taken
        start = time.monotonic()
        for sock in idle:
            assert sock.recv(10) == b""  # closed by the server after a second
        assert time.monotonic() - start < 5
        assert ask(server.socket(), b"*IDN?\n").startswith("Vontrel,")
        # A sweep, or a wait for it, is not idleness.
        busy = server.socket()
        assert ask(busy, b"LIST:FREQ 1GHZ,2GHZ;LIST:DWEL 0.8;INIT;*OPC?\n") == "1\n"
        assert ask(busy, b"*IDN?\n").startswith("Vontrel,")
    finally:
        stopped(server)
    assert "nothing sent for 1 s; closed" in server.log.read_text()


def test_a_log_nobody_reads_stalls_no_client(tmp_path):
    fifo = tmp_path / "log"
    os.mkfifo(fifo)
    holder = os.open(fifo, os.O_RDWR)  # keeps the pipe open, never reads it
    try:
        server = Server(tmp_path, stderr=open(fifo, "w"))
        try:
            done = []

            def client():
                sock = server.socket()
                for _ in range(50):  # a log line for each error: more than the pipe takes
                    assert ask(sock, b"BOGUS;" * 15 + b"*IDN?\n").startswith("Vontrel,")
                done.append(True)

            threads = [threading.Thread(target=client) for _ in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=20)
            assert done == [True, True]
        finally:
            server.process.send_signal(signal.SIGTERM)
            try:
                assert server.process.wait(timeout=10) == 0
            finally:
                if server.process.poll() is None:
                    server.process.kill()
                    server.process.wait()
    finally:
        os.close(holder)


def test_a_client_that_reads_a_byte_a_second_is_dropped(tmp_path):
    server = Server(tmp_path)
    try:
        slow = socket.socket()
        slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        slow.settimeout(10)
        slow.connect(("127.0.0.1", server.port))
        points = ",".join(["1e9"] * 10000)
        slow.sendall(f"LIST:FREQ {points}\n".encode() + b";".join([b"LIST:FREQ?"] * 16) + b"\n")
        answer = 16 * 10000 * len("1000000000,")
        received = 0
        start = time.monotonic()
        while time.monotonic() - start < 12:  # the answer's 10 s, and some
            received += len(slow.recv(1))
            time.sleep(1)
        try:
            while chunk := slow.recv(65536):  # what reached us before the drop
                received += len(chunk)
        except ConnectionResetError:
            pass
        assert received < answer / 10
        assert ask(server.socket(), b"*IDN?\n").startswith("Vontrel,")
    finally:
        stopped(server)
    assert "an answer not taken within 10 s; closed" in server.log.read_text()


def identity(sock):
    """*IDN? on a raw socket: the answer, or the error that took its place."""
    sock.sendall(b"*CLS;*IDN?\nSYST:ERR?\n")
    got = b""
    while got.count(b"\n") < (2 if got.startswith(b"Vontrel,") else 1):
        chunk = sock.recv(4096)
        assert chunk, "the server closed the connection"
        got += chunk
    return got.decode().split("\n")[0]


def test_ports_stay_with_their_units(tmp_path):
    state = dict(VONTREL_SIM_STATE=str(tmp_path / "state.json"))
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    holder = Server(tmp_path / "a", **state)  # another program holds unit 4660
    try:
        # Without --map, a unit in use would shift the ports: refused.
        shifted = subprocess.run([_tool(), "--wait-unit", "0", "serve", "--port", "0"],
                                 capture_output=True, text=True, timeout=30,
                                 env=dict(os.environ, **state))
        assert shifted.returncode == 1 and "--map" in shifted.stderr, shifted

        server = Server(tmp_path / "b", args=("serve", "--map", "4660=0", "--map", "12345=0"),
                        **state)
        try:
            assert sorted(server.ports) == [4660, 12345]
            held = server.socket(server.ports[4660])
            answer = identity(held)
            assert answer.startswith("-240,") and "in use by another program" in answer, answer
            other = server.socket(server.ports[12345])
            assert identity(other).startswith("Vontrel,Synthesizer,12345,")

            stopped(holder)
            deadline = time.monotonic() + 15  # the looks are spaced out up to 10 s
            while not (answer := identity(held)).startswith("Vontrel,Synthesizer,4660,"):
                assert "-240," in answer and time.monotonic() < deadline, answer
                time.sleep(0.2)
        finally:
            stopped(server)
        assert "unit 4660: open (index" in server.log.read_text()
    finally:
        if holder.process.poll() is None:
            stopped(holder)


def test_sigterm_while_waiting_for_a_unit(tmp_path):
    state = dict(VONTREL_SIM_STATE=str(tmp_path / "state.json"))
    holder = Server(tmp_path, **state)
    try:
        waiting = subprocess.Popen([_tool(), "--unit", "serial:4660", "--wait-unit", "30",
                                    "serve", "--port", "0"], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, env=dict(os.environ, **state))
        time.sleep(0.5)
        assert waiting.poll() is None
        start = time.monotonic()
        waiting.send_signal(signal.SIGTERM)
        waiting.wait(timeout=5)
        assert time.monotonic() - start < 1
    finally:
        stopped(holder)
