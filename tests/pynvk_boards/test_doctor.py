"""The doctor's verdicts must agree with how the module lists and opens boards."""

import re
import subprocess
import sys
from pathlib import Path

import pytest
from ftdi_emulator import (FAIL_BITMODE, FAIL_CLAIM, FAIL_USB_OPEN, STRING_ALL,
                           STRING_DESCRIPTION, STRING_SERIAL)

from pynvk_boards.cli import main
from pynvk_boards.doctor import FtdiDevice, chosen_by_serial

BOARD_STRINGS = {"manufacturer": "NVK", "description": "PCB_RIX", "serial": "RIX1"}


def device(product_id=0x6014, address=2, **strings):
    return FtdiDevice(bus=1, address=address, product_id=product_id, strings=strings)


@pytest.mark.parametrize("product_id, strings, listed", [
    (0x6014, BOARD_STRINGS, True),
    (0x6001, {"manufacturer": "NVK GmbH", "description": "PCB_RIX rev B"}, True),
    (0x6014, {"manufacturer": "NV", "description": "PCB_RIX"}, False),
    (0x6048, BOARD_STRINGS, False),  # not a libftdi default product id
])
def test_listing_follows_ids_and_string_prefixes(product_id, strings, listed):
    assert device(product_id, **strings).listed is listed


class TestSerialSelection:
    def test_first_device_whose_serial_begins_with_the_request_wins(self):
        long, short = device(address=2, serial="RIX12"), device(address=3, serial="RIX1")
        assert chosen_by_serial([long, short], "RIX1") is long
        assert chosen_by_serial([long, short], "RIX12") is long
        assert chosen_by_serial([short, long], "RIX12") is long

    def test_non_default_ids_are_never_chosen(self):
        foreign, board = device(0x6048, address=2, serial="RIX1"), device(address=3, serial="RIX1")
        assert chosen_by_serial([foreign, board], "RIX1") is board

    def test_empty_serial_takes_the_first_device_even_with_unreadable_strings(self):
        unreadable, board = device(address=2), device(address=3, serial="RIX1")
        assert chosen_by_serial([unreadable, board], "") is unreadable


def run_doctor(capsys):
    """Exit status and the report's per-device sections, in enumeration order."""
    status = main(["doctor"])
    sections = capsys.readouterr().out.split("\n\n")
    return status, sections[1:-1], sections[-1]


class TestOnEmulatedChips:
    def test_no_ftdi_device_fails(self, ftdi_emulator, capsys):
        status, devices, summary = run_doctor(capsys)
        assert (status, devices) == (1, [])
        assert "no FTDI device" in summary

    def test_board_is_listed_and_opened_as_the_module_opens_it(self, ftdi_emulator, capsys):
        board = ftdi_emulator.add_device("RIX1")
        status, [section], summary = run_doctor(capsys)
        assert status == 0
        assert "listed        yes, as 'RIX1'" in section
        assert "opens         yes" in section
        assert "1 of 1 board(s) open" in summary
        assert (board.bitmode, board.bitmask) == (0x40, 0xFF)
        assert board.wait_value("open_handles", 0)

    @pytest.mark.parametrize("unreadable, listed", [
        (STRING_ALL, "listed        no: manufacturer and description cannot be read"),
        (STRING_DESCRIPTION, "listed        no: description cannot be read"),
        (STRING_SERIAL, "listed        yes, as ''"),
    ])
    def test_unreadable_strings_are_named_with_the_libusb_error(self, ftdi_emulator, capsys, unreadable, listed):
        ftdi_emulator.add_device("RIX1", unreadable_strings=unreadable)
        status, [section], _ = run_doctor(capsys)
        assert listed in section
        assert section.count("unreadable: LIBUSB_ERROR_PIPE") == bin(unreadable).count("1")
        assert status == (0 if unreadable == STRING_SERIAL else 1)

    @pytest.mark.parametrize("step, failure, hint", [
        (FAIL_CLAIM, "ftdi_usb_open_dev returned -5", "held by another process"),
        (FAIL_USB_OPEN, "ftdi_usb_open_dev returned -6", "did not answer"),
        (FAIL_BITMODE, "ftdi_set_bitmode returned -1", "refused synchronous 245 FIFO"),
    ])
    def test_failed_setup_names_the_step_and_releases_the_device(self, ftdi_emulator, capsys, step, failure, hint):
        board = ftdi_emulator.add_device("RIX1", failing_steps=step)
        status, [section], summary = run_doctor(capsys)
        assert status == 1
        assert f"opens         no: {failure}" in section
        assert hint in section.partition("hint: ")[2]
        assert "0 of 1 board(s) open" in summary
        assert board.wait_value("open_handles", 0)
        assert board.claimed_interfaces == 0

    def test_devices_that_are_not_boards_are_explained_and_never_opened(self, ftdi_emulator, capsys):
        foreign = ftdi_emulator.add_device("FT1", "FTDI", "FT232R USB UART", product_id=0x6001)
        odd_id = ftdi_emulator.add_device("RIX1", product_id=0x6048)
        nameless = ftdi_emulator.add_device("RIX2", manufacturer=None)
        status, [foreign_section, odd_id_section, nameless_section], _ = run_doctor(capsys)
        assert status == 1
        assert "listed        no: strings do not match" in foreign_section
        assert "manufacturer  'FTDI'" in foreign_section
        assert "not a libftdi default id" in odd_id_section
        assert "listed        no: product id 6048" in odd_id_section
        assert "no: manufacturer cannot be read" in nameless_section
        assert "not a PCB_RIX board" in nameless_section
        assert foreign.bitmode_requests == odd_id.bitmode_requests == nameless.bitmode_requests == 0

    def test_two_boards_both_open(self, ftdi_emulator, capsys):
        boards = [ftdi_emulator.add_device("RIX1"), ftdi_emulator.add_device("RIX2")]
        status, sections, summary = run_doctor(capsys)
        assert status == 0
        assert [s.count("opens         yes") for s in sections] == [1, 1]
        assert "2 of 2 board(s) open" in summary
        assert [b.bitmode for b in boards] == [0x40, 0x40]

    def test_one_usable_board_is_enough_to_succeed(self, ftdi_emulator, capsys):
        ftdi_emulator.add_device("RIX1", failing_steps=FAIL_CLAIM)
        ftdi_emulator.add_device("RIX2")
        status, _, summary = run_doctor(capsys)
        assert status == 0
        assert "1 of 2 board(s) open" in summary

    def test_serial_that_selects_an_earlier_board_is_warned_about(self, ftdi_emulator, capsys):
        ftdi_emulator.add_device("RIX12")
        ftdi_emulator.add_device("RIX1")
        _, [longer, shorter], _ = run_doctor(capsys)
        assert "warning" not in longer
        address = longer.split()[3]
        assert f"PCB_RIX('RIX1') opens bus 001 address {address} instead" in shorter


def test_hints_point_to_what_an_installed_wheel_has():
    from pynvk_boards import doctor

    hints = [value for name, value in vars(doctor).items() if name.startswith("HINT_")]
    assert not [hint for hint in hints if re.search(r"\b(docs|udev|tools)/", hint)]
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    for section in re.findall(r"README: '([^']+)'", " ".join(hints)):
        assert f"\n## {section}\n" in readme
    assert "`pcb-rix doctor --udev-rule`" in doctor.HINT_PERMISSION


def test_the_doctor_runs_when_the_module_cannot_be_loaded():
    script = ("import sys; sys.modules['_pynvk_boards_pp'] = None; "
              "from pynvk_boards.cli import main; sys.exit(main(['doctor']))")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode in (0, 1), run.stderr
    assert "FTDI device(s) visible to libusb" in run.stdout
