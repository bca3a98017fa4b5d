"""``python -m torvak_cli``: the torvak command."""
import sys

from torvak_cli.main import main

sys.exit(main())
