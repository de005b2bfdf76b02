"""The udev rule must grant plugdev access to exactly the ids the module enumerates."""

import re
from pathlib import Path

from pynvk_boards import doctor

RULES = Path(__file__).resolve().parents[2] / "udev" / "99-pcb-rix.rules"
# KEY, KEY{attribute}, then == (match) or = (assign), then a quoted value.
TOKEN = re.compile(r'\s*([A-Z]+)(?:\{(\w+)\})?\s*(==|!=|=|\+=)\s*"([^"]*)"\s*(?:,|$)')


def parse_rule(line):
    tokens, position = {}, 0
    while position < len(line):
        match = TOKEN.match(line, position)
        assert match, f"malformed rule near {line[position:]!r}"
        key, attribute, operator, value = match.groups()
        tokens[(key, attribute, operator)] = value
        position = match.end()
    return tokens


def rules():
    lines = [line.strip() for line in RULES.read_text().splitlines()]
    return [parse_rule(line) for line in lines if line and not line.startswith("#")]


def test_rules_cover_exactly_the_default_ftdi_ids():
    ids = {(r[("ATTR", "idVendor", "==")], r[("ATTR", "idProduct", "==")]) for r in rules()}
    expected = {(f"{doctor.FTDI_VENDOR:04x}", f"{product:04x}") for product in doctor.DEFAULT_PRODUCTS}
    assert ids == expected


def test_every_rule_grants_plugdev_read_write_on_usb_device_nodes():
    for rule in rules():
        assert rule[("SUBSYSTEM", None, "==")] == "usb"
        assert rule[("ENV", "DEVTYPE", "==")] == "usb_device"
        assert rule[("MODE", None, "=")] == "0660"
        assert rule[("GROUP", None, "=")] == "plugdev"


def test_the_doctor_prints_the_rule_it_points_to(capsys):
    from pynvk_boards.cli import main

    assert main(["doctor", "--udev-rule"]) == 0
    assert capsys.readouterr().out == RULES.read_text()
