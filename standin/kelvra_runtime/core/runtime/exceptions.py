"""Stand-in for the engine's ``exceptions`` module.

The engine provides the real module; this one holds only what ``spawn``
and its tests use: the description of a child run, the ``return_when`` values of
a spawn, and the signal raised when a run spawns children.
"""

import enum
from dataclasses import dataclass, field
from typing import Any


@dataclass
class ChildSpec:
    """One child run: the agent to run and its inputs."""

    agent: str
    inputs: dict[str, Any] = field(default_factory=dict)

    def to_dict(self) -> dict[str, Any]:
        return {"agent": self.agent, "inputs": dict(self.inputs)}


class ReturnWhen(enum.StrEnum):
    """When a parent that spawned children may resume."""

    ALL = "all"
    ANY = "any"
    FIRST_SUCCESS = "first_success"


class SpawnAwaited(Exception):
    """Raised by ``ctx.spawn()`` / ``ctx.spawn_many()``; the envelope catches it."""
