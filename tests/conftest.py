import sys
from pathlib import Path

# The shared helpers under tests/support are importable as `support`.
sys.path.insert(0, str(Path(__file__).parent))
