"""Print requirements written in pyproject.toml, one per line, for pip -r.

    python scripts/requirements.py build test

`build` is the build system's list (needed because the scripts build without
isolation, into the same virtualenv); any other word names an extra.
"""

import pathlib
import sys

try:
    import tomllib
except ModuleNotFoundError:  # Python 3.10: pip carries a TOML reader
    from pip._vendor import tomli as tomllib

project = tomllib.loads((pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())
for group in sys.argv[1:]:
    if group == "build":
        print("\n".join(project["build-system"]["requires"]))
    else:
        print("\n".join(project["project"]["optional-dependencies"][group]))
