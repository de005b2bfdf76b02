import sys
from pathlib import Path

# The diagnostic command lives outside the package; import it as a module.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
