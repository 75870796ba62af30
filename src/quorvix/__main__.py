import sys

from quorvix.cli import main

sys.exit(main())
