"""The doctor's verdicts must agree with how the module lists and opens boards."""

import pytest

from pcb_rix_doctor import FtdiDevice, chosen_by_serial

BOARD_STRINGS = {"manufacturer": "NVK", "description": "PCB_RIX", "serial": "RIX1"}


def device(product_id=0x6014, address=2, **strings):
    return FtdiDevice(bus=1, address=address, product_id=product_id, strings=strings)


@pytest.mark.parametrize("product_id, strings, listed", [
    (0x6014, BOARD_STRINGS, True),
    (0x6001, {"manufacturer": "NVK GmbH", "description": "PCB_RIX rev B"}, True),
    (0x6014, {"manufacturer": "NV", "description": "PCB_RIX"}, False),
    (0x6014, {"manufacturer": "FTDI", "description": "FT232H"}, False),
    (0x6014, {"manufacturer": "NVK"}, False),  # description unreadable
    (0x6048, BOARD_STRINGS, False),  # not a libftdi default product id
])
def test_listing_follows_ids_and_string_prefixes(product_id, strings, listed):
    assert device(product_id, **strings).listed is listed


def test_board_without_readable_serial_is_listed_as_empty_string():
    board = device(manufacturer="NVK", description="PCB_RIX")
    assert board.listed and board.serial == ""


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
