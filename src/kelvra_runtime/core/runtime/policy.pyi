"""The interface through which the runtime reads policy configurations."""

from typing import Any, Protocol, runtime_checkable

__test__: dict[str, Any]

@runtime_checkable
class PolicyProvider(Protocol):
    def get_runtime_configs(self) -> dict[str, Any]: ...
    def get_policy(self, name: str) -> dict[str, Any]: ...

class NoOpPolicyProvider:
    def get_runtime_configs(self) -> dict[str, Any]: ...
    def get_policy(self, name: str) -> dict[str, Any]: ...
