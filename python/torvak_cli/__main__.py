import sys

from torvak_cli.main import main

sys.exit(main())
