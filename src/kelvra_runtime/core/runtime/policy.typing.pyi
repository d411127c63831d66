# The stub of policy beyond its rendering policy.py, which tools/declare.py merges in:
# the stub's imports, types stated more precisely than the annotations that
# binding reads, what the rendering does not declare, and docstrings for what
# it leaves undocumented.

from typing import Any, Protocol, runtime_checkable

class PolicyProvider:
    def get_runtime_configs(self) -> dict[str, Any]: ...

    def get_policy(self, name: str) -> dict[str, Any]: ...

class NoOpPolicyProvider:
    def get_runtime_configs(self) -> dict[str, Any]:
        """No policy is configured: an empty dict."""

    def get_policy(self, name: str) -> dict[str, Any]:
        """No policy is configured: an empty dict, whatever the name."""
