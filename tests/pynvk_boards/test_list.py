"""`pcb-rix list`: the attached boards and whether each opens."""

from ftdi_emulator import FAIL_CLAIM

from pynvk_boards.cli import main


def listing(capsys):
    status = main(["list"])
    return status, capsys.readouterr().out


def test_no_board_gives_a_hint(ftdi_emulator, capsys):
    status, output = listing(capsys)
    assert status == 0
    assert "no PCB_RIX board is attached: `pcb-rix doctor` tells why" in output
    assert "--emulate" in output


def test_one_board_opens(ftdi_emulator, capsys):
    chip = ftdi_emulator.add_device("NVK1")
    status, output = listing(capsys)
    assert status == 0
    [row] = [line for line in output.splitlines() if "NVK1" in line]
    assert "yes" in row
    assert chip.wait_value("open_handles", 0)


def test_two_boards_each_with_its_verdict(ftdi_emulator, capsys):
    ftdi_emulator.add_device("NVK12")
    ftdi_emulator.add_device("NVK2", failing_steps=FAIL_CLAIM)
    ftdi_emulator.add_device("NVK1")  # its serial selects NVK12, listed before it
    ftdi_emulator.add_device("UART", manufacturer="FTDI")  # not a board
    status, output = listing(capsys)
    rows = [line for line in output.splitlines() if "NVK" in line]
    assert status == 0
    assert len(rows) == 3 and "UART" not in output
    assert "yes" in rows[0]
    assert "no (`pcb-rix doctor` tells why)" in rows[1]
    assert "no: PCB_RIX('NVK1') opens 'NVK12'" in rows[2]
