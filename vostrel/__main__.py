"""Lets the command run as ``python -m vostrel``."""

import sys

from vostrel.cli import main

sys.exit(main())
