"""Sphinx configuration of the jadefox documentation (built by the docs stage,
harness/stages/docs.py, with warnings as errors)."""

import tomllib
from pathlib import Path

with open(Path(__file__).resolve().parent.parent / "pyproject.toml", "rb") as f:
    _project = tomllib.load(f)["project"]

project = "jadefox"
author = "The jadefox developers"
copyright = "The jadefox developers"
release = version = _project["version"]

extensions = ["myst_parser"]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build"]
myst_enable_extensions = ["colon_fence"]
# Links to "#a-heading" on a page and across pages resolve, and are checked.
myst_heading_anchors = 3
nitpicky = True

html_theme = "furo"
html_title = f"jadefox {release}"
html_static_path: list[str] = []
# The site is read from the filesystem too: no copy of the sources beside it.
html_copy_source = False
html_show_sourcelink = False
