"""The Python packages a stage installs, read from pyproject.toml: its
[dependency-groups] (one group per use) and the extras a user installs."""

from __future__ import annotations

import functools
from typing import Any

import nox

from . import config


@functools.cache
def _pyproject() -> dict[str, Any]:
    return nox.project.load_toml(config.REPO / "pyproject.toml")


def group(*names: str) -> tuple[str, ...]:
    """The requirements of the dependency groups `names`, includes resolved."""
    return tuple(nox.project.dependency_groups(_pyproject(), *names))


def extra(name: str) -> tuple[str, ...]:
    """The requirements of the project's optional extra `name`."""
    return tuple(_pyproject()["project"]["optional-dependencies"][name])
