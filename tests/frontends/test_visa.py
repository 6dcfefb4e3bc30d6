# SPDX-License-Identifier: MIT
"""vontrel serve as lab software sees it.

pyvisa with its pure-Python backend opens TCPIP::127.0.0.1::<port>::SOCKET,
as a measurement script opens any signal generator, against `vontrel serve`
on the simulated bench (kept in the server's memory, traced to a file).
The servers come from tests/conftest.py.
"""

import socket
import threading
import time

from conftest import Server, ask, errors, eventually, numbers


def test_drives_the_unit_like_any_signal_generator(server, rm):
    gen = server.open(rm)
    maker, _, serial, _ = gen.query("*IDN?").split(",")
    assert (maker, serial) == ("Vontrel", "4660")
    gen.write("*RST;*CLS")

    gen.write("SOUR:FREQ:CW 2.455 GHz")
    assert numbers(gen, "FREQ?") == [2455e6]
    low, high = numbers(gen, "POW:RANG?")
    gen.write(f"POW {high - 1}")
    assert numbers(gen, "POW?;:VONT:MODE?") == [high - 1, 3]
    gen.write("POW:ATT 10.25")
    assert numbers(gen, "POW:ATT?;:VONT:MODE?") == [10.25, 1]
    assert errors(gen) == []

    # Each mistake queues its own error and changes nothing.
    gen.write("FREQ 6 GHz;FREQ NAN;FREQ 'x';BOGUS 1;OUTP:MOD ON;POW 5.1;POW 1e999;POW:ATT 32")
    assert errors(gen) == [-222, -224, -104, -113, -241, -224, -222, -222]
    assert numbers(gen, "FREQ?;POW:ATT?") == [2455e6, 10.25]
    gen.write(f"POW {high + 0.25}")  # within any unit's range, not this one's here
    assert errors(gen) == [-222]

    # A list sweep that the server times, waited for with *OPC?.
    gen.write("LIST:FREQ 1 GHz,1.5 GHz,2 GHz;LIST:DWEL 20 ms")
    assert gen.query("LIST:FREQ:POIN?;:LIST:DWEL?") == "3;0.02"
    start = time.monotonic()
    gen.write("INIT")
    assert gen.query("*OPC?") == "1"
    assert time.monotonic() - start >= 0.06
    assert numbers(gen, "FREQ?") == [2e9]
    assert errors(gen) == []
    gen.close()


CLIENTS, ROUNDS = 8, 25


def test_eight_clients_never_interleave(server, rm):
    # Each client sets and reads back its own frequencies in one line; a
    # line from another client slipping in between would show.
    answers = [[] for _ in range(CLIENTS)]

    def client(i):
        gen = server.open(rm)  # a connection of its own
        gen.write("POW:ATT 10")
        for n in range(ROUNDS):
            mhz = 1000 + 5 * (i * ROUNDS + n)  # exact on the synthesizer's grid
            answers[i].append((mhz * 1e6, float(gen.query(f"FREQ {mhz} MHZ;FREQ?"))))
        gen.close()

    threads = [threading.Thread(target=client, args=(i,)) for i in range(CLIENTS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    for i in range(CLIENTS):
        assert len(answers[i]) == ROUNDS
        assert all(asked == got for asked, got in answers[i]), answers[i]

    # On the wire every command frame is followed by its answer.
    frames = [line.split()[5] for line in server.trace.read_text().splitlines()
              if " -> " in line or " <- " in line]  # "<time> pid <pid> conv <n> -> <bytes>"
    assert len(frames) >= CLIENTS * ROUNDS * (13 + 12 + 13) * 2
    assert all(a != b for a, b in zip(frames, frames[1:]))
    assert frames[0] == "->" and frames[-1] == "<-"

    sock = server.socket()
    assert ask(sock, b"*IDN?\n").startswith("Vontrel,")


def test_hostile_clients_get_errors_and_the_server_stays_up(server, rm):
    gen = server.open(rm)
    gen.write("POW:ATT 10")

    # A client that asks for a lot and never reads blocks nobody.
    silent = server.socket()
    points = ",".join(["1GHZ"] * 4000)
    silent.sendall(f"LIST:FREQ {points}\n".encode() + b"LIST:FREQ?\n" * 300)

    raw = server.socket()
    assert ask(raw, b"FREQ " + b"1" * 70000 + b"\n*IDN?\n").startswith("Vontrel,")
    assert ask(raw, b"SYST:ERR?\n").startswith("-363,")
    assert ask(raw, bytes(range(1, 10)) + b"\xff\xfe\x00\nSYST:ERR?\n").startswith("-101,")
    assert ask(raw, b";".join([b"FREQ?"] * 5000) + b"\nSYST:ERR?\n").startswith("-223,")
    assert ask(raw, b"FREQ NAN;FREQ INF;FREQ -1e999;POW 1e999;SYST:ERR:COUN?\n") == "4\n"
    raw.sendall(b"*CLS\nFREQ 3 GHz")  # a line that never ends: the client goes
    raw.close()

    # A client that closes its sending side (nc -N) still gets its sweep
    # and its answers; one that goes away gives the unit back at the
    # sweep's end.
    for half_close in (True, False):
        sweeper = server.socket()
        sweeper.sendall(b"LIST:FREQ 1GHZ,2GHZ;LIST:DWEL 0.5;INIT;*OPC?\n")
        eventually(lambda: gen.query("FREQ 4 GHZ;SYST:ERR?").startswith("-221,"),
                   "the sweep refusing changes")
        if half_close:
            sweeper.shutdown(socket.SHUT_WR)
            assert sweeper.makefile().read() == "1\n"  # then closed
        sweeper.close()
        deadline = time.monotonic() + 5
        while gen.query("FREQ 4 GHZ;SYST:ERR?") != '0,"No error"':
            assert time.monotonic() < deadline, "the sweep outlived its end"
            time.sleep(0.05)
        assert numbers(gen, "FREQ?") == [4e9]
    silent.close()
    gen.close()


def test_failing_exchange_answers_240_and_the_unit_is_opened_again(tmp_path, rm):
    # Thirteen reads in a row fail, so at least one call ends on a failure.
    faults = ",".join(f"FT_Read:{n}:FT_IO_ERROR" for n in range(60, 73))
    server = Server(tmp_path, VONTREL_SIM_FAIL=faults)
    try:
        gen = server.open(rm)
        answers = []
        deadline = time.monotonic() + 10
        # A line whose query fails answers nothing: the read goes on the
        # error query's own line.
        while not (any(a.startswith("-240,") for a in answers) and
                   answers[-1] == '1000000000;0,"No error"'):
            assert time.monotonic() < deadline, answers
            gen.write("*CLS;FREQ 1 GHZ")
            answers.append(gen.query("SYST:ERR?"))
            if answers[-1] == '0,"No error"':
                answers[-1] = gen.query("FREQ?;SYST:ERR?")
            time.sleep(0.05)
        assert any("FT_IO_ERROR" in a for a in answers), answers
        gen.close()
    finally:
        assert server.stop() == 0
    assert "open again" in server.log.read_text()


def test_sigterm_with_clients_connected(server):
    waiting, unfinished, idle = server.socket(), server.socket(), server.socket()
    waiting.sendall(b"LIST:FREQ 1GHZ;LIST:DWEL 60;INIT;*OPC?\n")
    unfinished.sendall(b"FREQ 2 GH")
    assert ask(idle, b"*IDN?\n").startswith("Vontrel,")
    eventually(lambda: ask(idle, b"*CLS;FREQ 4 GHZ;SYST:ERR?\n").startswith("-221,"),
               "the waiting client's sweep refusing changes")
    start = time.monotonic()
    assert server.stop() == 0
    assert time.monotonic() - start < 5
    for sock in (waiting, unfinished, idle):
        assert sock.recv(100) == b""  # closed, and no answer to *OPC? was made up
    log = server.log.read_text()
    assert log.count("connected") == 3 and "stopped; units closed" in log
