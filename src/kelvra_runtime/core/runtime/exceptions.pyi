"""Stand-in for the engine's exceptions module: what spawn and its tests use."""

import enum
from dataclasses import dataclass
from typing import Any

@dataclass
class ChildSpec:
    agent: str
    inputs: dict[str, Any] = ...
    def to_dict(self) -> dict[str, Any]: ...

class ReturnWhen(enum.StrEnum):
    ALL = "all"
    ANY = "any"
    FIRST_SUCCESS = "first_success"

class SpawnAwaited(Exception): ...
