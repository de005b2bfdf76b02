"""`pcb-rix doctor`: why a PCB_RIX board is or is not usable from _pynvk_boards_pp.

Lists every FTDI device that libusb can see, with its USB strings, whether
list_pcb_rix() would list it and whether it can be opened the way PCB_RIX()
opens it (interface A, synchronous 245 FIFO), and prints a hint for each
failure. Talks to libusb-1.0 and libftdi1 directly, so it works even when the
module cannot be loaded.

Exit status: 0 when at least one board is listed and opens, 1 when none does,
2 when libusb or libftdi cannot be loaded or started.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import grp
import importlib.metadata
import os
import pwd
import stat
from dataclasses import dataclass, field
from importlib import resources

FTDI_VENDOR = 0x0403
# libftdi's default product ids: the only ones the module enumerates.
DEFAULT_PRODUCTS = {
    0x6001: "FT232R/FT245R",
    0x6010: "FT2232",
    0x6011: "FT4232H",
    0x6014: "FT232H",
    0x6015: "FT-X",
}
MANUFACTURER_PREFIX = "NVK"
DESCRIPTION_PREFIX = "PCB_RIX"
STRING_BUFFER_SIZE = 128  # the module reads each string into 128 bytes
INTERFACE_A = 1
BITMASK_ALL = 0xFF
BITMODE_SYNCFF = 0x40
STRING_FIELDS = ("manufacturer", "description", "serial")
# The udev rule, shipped in this package.
UDEV_RULE = "99-pcb-rix.rules"

HINT_PERMISSION = ("no permission to open the device node: install the udev "
                   "rule that `pcb-rix doctor --udev-rule` prints (README: "
                   "'Access to the boards (udev rule)'), join the plugdev "
                   "group, log in again and re-plug")
HINT_BUSY = ("the device is held by another process (an open PCB_RIX, another "
             "FTDI tool) or by a kernel driver that could not be detached; "
             "`lsusb -t` shows the driver")
HINT_GONE = "the device went away during the check: re-plug it and run again"
HINT_IO = "the device did not answer: check the cable and power, re-plug it"
HINT_NOT_DEFAULT = ("product id is not one of libftdi's defaults, so the "
                    "module never sees this device; the chip's EEPROM must "
                    "keep a default FTDI product id")
HINT_NOT_BOARD = (f"not a PCB_RIX board: the manufacturer must begin with "
                  f"{MANUFACTURER_PREFIX!r} and the description with "
                  f"{DESCRIPTION_PREFIX!r}")
HINT_BITMODE = ("the chip refused synchronous 245 FIFO mode: it needs an "
                "FT232H or FT2232H channel A whose EEPROM selects 245 FIFO")
LIBUSB_HINTS = {
    "LIBUSB_ERROR_ACCESS": HINT_PERMISSION,
    "LIBUSB_ERROR_BUSY": HINT_BUSY,
    "LIBUSB_ERROR_NO_DEVICE": HINT_GONE,
    "LIBUSB_ERROR_NOT_FOUND": HINT_GONE,
}
# ftdi_usb_open_dev codes: -8 is EACCES/EPERM on open or on detaching
# ftdi_sio, -5 a failed claim of the interface.
OPEN_HINTS = {-8: HINT_PERMISSION, -5: HINT_BUSY}


class DeviceDescriptor(ctypes.Structure):
    _fields_ = [
        ("bLength", ctypes.c_uint8), ("bDescriptorType", ctypes.c_uint8),
        ("bcdUSB", ctypes.c_uint16), ("bDeviceClass", ctypes.c_uint8),
        ("bDeviceSubClass", ctypes.c_uint8), ("bDeviceProtocol", ctypes.c_uint8),
        ("bMaxPacketSize0", ctypes.c_uint8), ("idVendor", ctypes.c_uint16),
        ("idProduct", ctypes.c_uint16), ("bcdDevice", ctypes.c_uint16),
        ("iManufacturer", ctypes.c_uint8), ("iProduct", ctypes.c_uint8),
        ("iSerialNumber", ctypes.c_uint8), ("bNumConfigurations", ctypes.c_uint8),
    ]


class FtdiDeviceList(ctypes.Structure):
    pass


FtdiDeviceList._fields_ = [("next", ctypes.POINTER(FtdiDeviceList)),
                           ("dev", ctypes.c_void_p)]

P = ctypes.c_void_p
PP = ctypes.POINTER(ctypes.c_void_p)
LIBUSB_SIGNATURES = {
    "libusb_init": (ctypes.c_int, [PP]),
    "libusb_exit": (None, [P]),
    "libusb_get_device_list": (ctypes.c_ssize_t, [P, ctypes.POINTER(PP)]),
    "libusb_free_device_list": (None, [PP, ctypes.c_int]),
    "libusb_get_device_descriptor": (ctypes.c_int, [P, ctypes.POINTER(DeviceDescriptor)]),
    "libusb_get_bus_number": (ctypes.c_uint8, [P]),
    "libusb_get_device_address": (ctypes.c_uint8, [P]),
    "libusb_open": (ctypes.c_int, [P, PP]),
    "libusb_close": (None, [P]),
    "libusb_get_string_descriptor_ascii": (ctypes.c_int, [P, ctypes.c_uint8, ctypes.c_char_p, ctypes.c_int]),
    "libusb_error_name": (ctypes.c_char_p, [ctypes.c_int]),
    "libusb_strerror": (ctypes.c_char_p, [ctypes.c_int]),
}
FTDI_SIGNATURES = {
    "ftdi_new": (P, []),
    "ftdi_free": (None, [P]),
    "ftdi_usb_find_all": (ctypes.c_int, [P, ctypes.POINTER(ctypes.POINTER(FtdiDeviceList)), ctypes.c_int, ctypes.c_int]),
    "ftdi_list_free": (None, [ctypes.POINTER(ctypes.POINTER(FtdiDeviceList))]),
    "ftdi_usb_open_dev": (ctypes.c_int, [P, P]),
    "ftdi_set_interface": (ctypes.c_int, [P, ctypes.c_int]),
    "ftdi_set_bitmode": (ctypes.c_int, [P, ctypes.c_ubyte, ctypes.c_ubyte]),
    "ftdi_usb_close": (ctypes.c_int, [P]),
    "ftdi_get_error_string": (ctypes.c_char_p, [P]),
}


def bundled_library(soname: str) -> str | None:
    """The copy of a library that the module's wheel carries, or None.

    auditwheel puts it into pynvk_boards_pp.libs/ as <soname up to its first
    dot>-<hash>...; a module built from source uses the system's library."""
    try:
        files = importlib.metadata.files("pynvk-boards-pp") or []
    except importlib.metadata.PackageNotFoundError:
        return None
    prefix = soname.partition(".")[0] + "-"
    return next((str(file.locate()) for file in files
                 if file.parent.name == "pynvk_boards_pp.libs" and file.name.startswith(prefix)), None)


def load_library(name: str, soname: str, signatures: dict) -> ctypes.CDLL:
    lib = ctypes.CDLL(bundled_library(soname) or ctypes.util.find_library(name) or soname)
    for function, (restype, argtypes) in signatures.items():
        getattr(lib, function).restype = restype
        getattr(lib, function).argtypes = argtypes
    return lib


@dataclass
class FtdiDevice:
    bus: int
    address: int
    product_id: int
    strings: dict[str, str] = field(default_factory=dict)
    string_errors: dict[str, str] = field(default_factory=dict)
    open_failure: str | None = None  # libusb_open error, strings unread
    setup_failure: str | None = None  # first failing step of the module's open
    setup_hint: str | None = None

    @property
    def default_product(self) -> bool:
        return self.product_id in DEFAULT_PRODUCTS

    @property
    def listed(self) -> bool:
        """Would list_pcb_rix() return this device's serial?"""
        return (self.default_product
                and self.strings.get("manufacturer", "").startswith(MANUFACTURER_PREFIX)
                and self.strings.get("description", "").startswith(DESCRIPTION_PREFIX))

    @property
    def serial(self) -> str:
        """The serial the module sees: empty when it cannot be read."""
        return self.strings.get("serial", "")


def usb_error(usb: ctypes.CDLL, code: int) -> str:
    return f"{usb.libusb_error_name(code).decode()} ({usb.libusb_strerror(code).decode()})"


def survey(usb: ctypes.CDLL) -> list[FtdiDevice]:
    """FTDI devices in libusb's enumeration order, which is also libftdi's."""
    context = ctypes.c_void_p()
    code = usb.libusb_init(ctypes.byref(context))
    if code < 0:
        raise OSError(f"libusb_init failed: {usb_error(usb, code)}")
    try:
        device_list = PP()
        count = usb.libusb_get_device_list(context, ctypes.byref(device_list))
        if count < 0:
            raise OSError(f"libusb_get_device_list failed: {usb_error(usb, count)}")
        found = []
        for device in device_list[:count]:
            descriptor = DeviceDescriptor()
            if (usb.libusb_get_device_descriptor(device, ctypes.byref(descriptor)) == 0
                    and descriptor.idVendor == FTDI_VENDOR):
                found.append(read_strings(usb, device, descriptor))
        usb.libusb_free_device_list(device_list, 1)
        return found
    finally:
        usb.libusb_exit(context)


def read_strings(usb: ctypes.CDLL, device, descriptor: DeviceDescriptor) -> FtdiDevice:
    result = FtdiDevice(usb.libusb_get_bus_number(device),
                        usb.libusb_get_device_address(device), descriptor.idProduct)
    handle = ctypes.c_void_p()
    code = usb.libusb_open(device, ctypes.byref(handle))
    if code < 0:
        result.open_failure = usb_error(usb, code)
        return result
    indices = (descriptor.iManufacturer, descriptor.iProduct, descriptor.iSerialNumber)
    for name, index in zip(STRING_FIELDS, indices):
        if not index:  # the device has no such string; libftdi fails to read it too
            result.string_errors[name] = "absent"
            continue
        buffer = ctypes.create_string_buffer(STRING_BUFFER_SIZE)
        code = usb.libusb_get_string_descriptor_ascii(handle, index, buffer, STRING_BUFFER_SIZE)
        if code < 0:
            result.string_errors[name] = usb_error(usb, code)
        else:
            result.strings[name] = buffer.value.decode("ascii", "replace")
    usb.libusb_close(handle)
    return result


def ftdi_error(ftdi: ctypes.CDLL, context) -> str:
    return (ftdi.ftdi_get_error_string(context) or b"").decode()


def find_in_libftdi_list(usb: ctypes.CDLL, head, device: FtdiDevice):
    """The libusb device in libftdi's list that sits at the device's bus and address."""
    node = head
    while node:
        dev = node.contents.dev
        if (usb.libusb_get_bus_number(dev), usb.libusb_get_device_address(dev)) == (device.bus, device.address):
            return dev
        node = node.contents.next
    return None


def try_module_open(ftdi: ctypes.CDLL, usb: ctypes.CDLL, device: FtdiDevice) -> None:
    """Open the device as PCB_RIX() does and record the first failing step."""
    context = ftdi.ftdi_new()
    if not context:
        device.setup_failure = "ftdi_new failed"
        return
    head = ctypes.POINTER(FtdiDeviceList)()
    try:
        if ftdi.ftdi_usb_find_all(context, ctypes.byref(head), 0, 0) < 0:
            device.setup_failure = f"ftdi_usb_find_all: {ftdi_error(ftdi, context)}"
            return
        dev = find_in_libftdi_list(usb, head, device)
        if dev is None:
            device.setup_failure, device.setup_hint = "libftdi no longer lists the device", HINT_GONE
            return
        steps = (("ftdi_usb_open_dev", lambda: ftdi.ftdi_usb_open_dev(context, dev)),
                 ("ftdi_set_interface", lambda: ftdi.ftdi_set_interface(context, INTERFACE_A)),
                 ("ftdi_set_bitmode", lambda: ftdi.ftdi_set_bitmode(context, BITMASK_ALL, BITMODE_SYNCFF)))
        for step, call in steps:
            code = call()
            if code != 0:
                device.setup_failure = f"{step} returned {code}: {ftdi_error(ftdi, context)}"
                if step == "ftdi_usb_open_dev":
                    device.setup_hint = OPEN_HINTS.get(code, HINT_IO)
                elif step == "ftdi_set_bitmode":
                    device.setup_hint = HINT_BITMODE
                return
    finally:
        if head:
            ftdi.ftdi_list_free(ctypes.byref(head))
        ftdi.ftdi_usb_close(context)
        ftdi.ftdi_free(context)


def chosen_by_serial(devices: list[FtdiDevice], serial: str) -> FtdiDevice:
    """The device PCB_RIX(serial) opens: the first default-id device whose serial begins with it."""
    return next(d for d in devices if d.default_product and d.serial.startswith(serial))


def node_permissions(device: FtdiDevice) -> str:
    path = f"/dev/bus/usb/{device.bus:03d}/{device.address:03d}"
    try:
        info = os.stat(path)
    except OSError as error:
        return f"{path} ({error.strerror})"
    owner = f"{owner_name(info.st_uid, pwd.getpwuid)}:{owner_name(info.st_gid, grp.getgrgid)}"
    access = "read/write" if os.access(path, os.R_OK | os.W_OK) else "NO read/write access for you"
    return f"{path} {stat.filemode(info.st_mode)} {owner}, {access}"


def owner_name(number: int, lookup) -> str:
    try:
        return lookup(number)[0]
    except KeyError:
        return str(number)


def report(device: FtdiDevice, devices: list[FtdiDevice]) -> None:
    kind = DEFAULT_PRODUCTS.get(device.product_id, "not a libftdi default id")
    print(f"bus {device.bus:03d} address {device.address:03d}  "
          f"{FTDI_VENDOR:04x}:{device.product_id:04x} ({kind})")
    print(f"  node          {node_permissions(device)}")
    hints = []
    if device.open_failure:
        print(f"  strings       unreadable: libusb_open failed with {device.open_failure}")
        hints.append(LIBUSB_HINTS.get(device.open_failure.split()[0], HINT_IO))
    for name in STRING_FIELDS if not device.open_failure else ():
        if name in device.strings:
            print(f"  {name:<13} {device.strings[name]!r}")
        else:
            print(f"  {name:<13} unreadable: {device.string_errors[name]}")
    if device.listed:
        print(f"  listed        yes, as {device.serial!r}")
        chosen = chosen_by_serial(devices, device.serial)
        if chosen is not device:
            reason = (f"its serial {chosen.serial!r} also begins with {device.serial!r} and it comes first"
                      if device.serial else "an empty serial takes the first FTDI device")
            print(f"  warning       PCB_RIX({device.serial!r}) opens bus {chosen.bus:03d} "
                  f"address {chosen.address:03d} instead: {reason}")
        if device.setup_failure:
            print(f"  opens         no: {device.setup_failure}")
            hints.append(device.setup_hint or HINT_IO)
        else:
            print("  opens         yes (interface A, synchronous 245 FIFO)")
    elif not device.default_product:
        print(f"  listed        no: product id {device.product_id:04x}")
        hints.append(HINT_NOT_DEFAULT)
    elif device.open_failure:
        print("  listed        no: strings cannot be read")
    elif missing := [name for name in STRING_FIELDS[:2] if name not in device.strings]:
        print(f"  listed        no: {' and '.join(missing)} cannot be read")
        absent = any(device.string_errors[name] == "absent" for name in missing)
        hints.append(HINT_NOT_BOARD if absent else HINT_IO)
    else:
        print("  listed        no: strings do not match")
        hints.append(HINT_NOT_BOARD)
    for hint in hints:
        print(f"  hint: {hint}")


def udev_rule() -> str:
    """The text of the udev rule that lets the plugdev group open the boards."""
    return resources.files(__package__).joinpath(UDEV_RULE).read_text()


def diagnose() -> int:
    """Prints the report; returns the exit status."""
    try:
        usb = load_library("usb-1.0", "libusb-1.0.so.0", LIBUSB_SIGNATURES)
        ftdi = load_library("ftdi1", "libftdi1.so.2", FTDI_SIGNATURES)
        devices = survey(usb)
    except OSError as error:
        print(f"cannot use libusb/libftdi: {error}")
        return 2
    boards = [d for d in devices if d.listed]
    for board in boards:
        try_module_open(ftdi, usb, board)
    print(f"{len(devices)} FTDI device(s) visible to libusb, {len(boards)} PCB_RIX board(s) listed.")
    for device in devices:
        print()
        report(device, devices)
    usable = [b for b in boards if not b.setup_failure]
    print(f"\n{len(usable)} of {len(boards)} board(s) open.")
    if not devices:
        print("hint: no FTDI device: check the cable, `lsusb -d 0403:` and `dmesg`")
    return 0 if usable else 1
