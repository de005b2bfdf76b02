import shutil
import sys
from pathlib import Path

import pytest


@pytest.fixture(scope="session")
def pcb_rix():
    """The installed console script."""
    script = shutil.which("pcb-rix", path=str(Path(sys.executable).parent))
    assert script, "pcb-rix is not installed next to this Python"
    return script
