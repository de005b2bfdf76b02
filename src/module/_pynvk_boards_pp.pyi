"""
        _pynvk_boards_pp
        --------
    
"""
from __future__ import annotations
import datetime
import numpy
import numpy.typing
import typing
__all__: list[str] = ['PCB_RIX', 'list_pcb_rix']
class PCB_RIX:
    """
            PCB_RIX class
            --------
            A class to handle the PCB_RIX device.
            Attributes
            ----------
            serial_number: str
                Serial number of the device.
            
    """
    def __init__(self, serial_number: str, samples_count: typing.SupportsInt | typing.SupportsIndex = 4096) -> None:
        ...
    def __repr__(self) -> str:
        ...
    def _get_raw_data(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> numpy.typing.NDArray[numpy.uint8]:
        ...
    def flush(self) -> None:
        ...
    def opened(self) -> bool:
        ...
    def serial_number(self) -> str:
        ...
    def start(self) -> None:
        ...
    def stop(self) -> None:
        ...
    @property
    def samples(self) -> numpy.typing.NDArray[numpy.int16] | None:
        ...
    @property
    def timeout(self) -> datetime.timedelta | None:
        """
                        Timeout for the device operations in nanoseconds.
        """
    @timeout.setter
    def timeout(self, arg1: datetime.timedelta) -> None:
        ...
def list_pcb_rix() -> list[str]:
    ...
