# SPDX-License-Identifier: MIT
"""The mains switch on the web front end, in headless chromium: the
overview's outlet switch powers unit 4660 off (OUTPut? then says 0) and on
again with its settings, and a unit another session has locked is not
switched from the page."""

import json
import socket

import pytest
from selenium.common.exceptions import StaleElementReferenceException

from test_web import By, WebDriverWait, browser, web_server  # noqa: F401 - the fixture

OUTLET = 'button.outlet[data-serial="MS0001"][data-outlet="1"]'


@pytest.fixture
def server(tmp_path):
    units = tmp_path / "units.json"
    units.write_text(json.dumps({"units": {
        "4660": {"output_off": "mains", "power": {"switch": "MS0001", "outlet": 1,
                                                  "boot_s": 30}}}}))
    served = web_server(tmp_path, "--units", str(units))
    yield served
    assert served.stop() == 0


def wait(browser, seconds, condition):
    # The page redraws its switches when they change, so an element looked
    # at may be gone by the time it is read: it is looked for again.
    return WebDriverWait(browser, seconds,
                         ignored_exceptions=[StaleElementReferenceException]).until(condition)


def outlet_state(browser):
    """The outlet button's state as the page shows it, once it shows one."""
    buttons = browser.find_elements(By.CSS_SELECTOR, OUTLET)
    return buttons[0].get_attribute("data-on") if buttons else None


def click_outlet(browser):
    def clicked(b):
        b.find_element(By.CSS_SELECTOR, OUTLET).click()
        return True
    wait(browser, 20, clicked)


def message(browser):
    return browser.find_element(By.ID, "mains-message").text


def test_the_panels_outlet_switch_powers_a_unit_off_and_back(server, browser):
    server.scpi("FREQ 2.455GHZ")
    browser.get(server.url + "/")
    wait(browser, 20, lambda b: outlet_state(b) == "true")
    assert wait(browser, 20, lambda b: "unit 4660" in b.find_element(By.CSS_SELECTOR, OUTLET).text)
    assert wait(browser, 20, lambda b: b.find_element(By.CSS_SELECTOR, OUTLET).is_enabled())

    click_outlet(browser)
    wait(browser, 20, lambda b: outlet_state(b) == "false")
    wait(browser, 20, lambda b: "is off" in message(b))
    assert server.scpi("OUTP?") == "0"

    click_outlet(browser)
    # Back on once the unit answers and has its settings again.
    wait(browser, 60, lambda b: outlet_state(b) == "true")
    assert server.scpi("OUTP?") == "1"
    assert float(server.scpi("FREQ?")) == pytest.approx(2.455e9)

    # Another session's lock on the unit keeps the page from switching it.
    with socket.create_connection(("127.0.0.1", server.ports[4660]), timeout=10) as holder:
        holder.sendall(b"SYST:LOCK:REQ?\n")
        assert holder.recv(64).strip() == b"1"
        click_outlet(browser)
        wait(browser, 20, lambda b: "locked by" in message(b))
        assert outlet_state(browser) == "true"
        assert server.scpi("MAINS:OUTL1?") == "1"
