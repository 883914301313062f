"""`python -m tolmek_cli`: the same as the `tolmek` command."""

from . import main

raise SystemExit(main())
