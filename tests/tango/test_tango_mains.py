# SPDX-License-Identifier: MIT
"""The VontrelMainsSwitch device as a Tango client sees it: its outlets as
attributes, written and read, and the change events it pushes, beside a
VontrelSynthesizer device in the same server."""

import os
import subprocess
import threading

import pytest

from conftest import TangoServer
from test_tango import DEVICE, tango

SWITCH = "lab/mains/MS0001"


def _sim_tool():
    return os.path.join(os.path.dirname(os.path.dirname(os.environ["VONTREL_TOOL"])), "d2xx",
                        "sim", "vontrel-sim")


def test_outlets_are_attributes_with_events(tmp_path):
    server = TangoServer(tmp_path, devices=(DEVICE, SWITCH),
                    dlist=["-dlist", f"VontrelSynthesizer::{DEVICE}",
                           "-dlist", f"VontrelMainsSwitch::{SWITCH}"],
                    VONTREL_TANGO_MAINS_POLL_S="0.2")
    try:
        p = server.proxy(SWITCH)
        assert p.state() == tango.DevState.ON
        assert p.read_attribute("SerialNumber").value == "MS0001"
        assert [p.read_attribute(f"Outlet{n}").value for n in range(1, 9)] == [True] * 8

        seen = []
        arrived = threading.Condition()

        def push(event):
            if not event.err:
                with arrived:
                    seen.append(event.attr_value.value)
                    arrived.notify_all()

        watcher = server.proxy(SWITCH)
        ident = watcher.subscribe_event("Outlet2", tango.EventType.CHANGE_EVENT, push)
        try:
            p.write_attribute("Outlet2", False)
            with arrived:
                assert arrived.wait_for(lambda: seen and seen[-1] is False, timeout=5), seen
            assert p.read_attribute("Outlet2").value is False
            # The switch itself has it: outlet 2 powers unit 12345.
            shown = subprocess.run([_sim_tool(), "show"], capture_output=True, text=True,
                                   env=server.env, timeout=30, check=True).stdout
            assert "2 off" in shown and "switched off at its outlet" in shown, shown
            p.write_attribute("Outlet2", True)
            with arrived:
                assert arrived.wait_for(lambda: seen[-1] is True, timeout=5), seen
        finally:
            watcher.unsubscribe_event(ident)
        # The unit beside it is a device of its own, on another outlet.
        server.proxy(DEVICE).write_attribute("Frequency", 2e9)
    finally:
        assert server.stop() == 0
    # Stopped, the server has let the switch go with its outlets as they were.
    out = subprocess.run([os.environ["VONTREL_TOOL"], "--json", "mains", "status"],
                         capture_output=True, text=True, env=server.env, timeout=30)
    assert out.returncode == 0, out


def test_a_switch_that_is_not_attached_is_fault(tmp_path):
    server = TangoServer(tmp_path, devices=("lab/mains/MS9999",),
                    dlist=["-dlist", "VontrelMainsSwitch::lab/mains/MS9999"])
    try:
        p = server.proxy("lab/mains/MS9999")
        assert p.state() == tango.DevState.FAULT
        assert "MS9999" in p.status()
        with pytest.raises(tango.DevFailed) as e:
            p.read_attribute("Outlet1")
        assert e.value.args[0].reason == "VONTREL_MainsFailed"
        with pytest.raises(tango.DevFailed):
            p.write_attribute("Outlet1", False)
    finally:
        assert server.stop() == 0
