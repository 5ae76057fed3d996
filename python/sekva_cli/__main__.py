"""`python -m sekva_cli`: the `sekva` command without its installed script."""
import sys

from sekva_cli import main

sys.exit(main())
