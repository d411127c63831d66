"""Policy provider protocol for runtime policy configuration.

This module defines the interface for accessing policy configurations.
Runtime provides no-op default; infra provides Django-model-backed policies.
"""
from __future__ import annotations
from typing import Any, Dict, Protocol, runtime_checkable


@runtime_checkable
class PolicyProvider(Protocol):
    """Provides policy configurations at runtime.

    Implementations provide access to policy rules and configurations
    that govern workflow execution.

    Default: NoOpPolicyProvider (returns empty config)
    Production: PolicyRegistry (Django model-backed)
    """

    def get_runtime_configs(self) -> Dict[str, Any]:
        """Get all active policy configurations.

        Returns:
            Dict mapping policy names to their configurations
        """
        ...

    def get_policy(self, name: str) -> Dict[str, Any]:
        """Get a specific policy configuration.

        Args:
            name: The policy name

        Returns:
            The policy configuration dict, or empty dict if not found
        """
        ...


class NoOpPolicyProvider:
    """No-op policy provider for standalone runtime.

    Returns empty configurations. All execution is allowed.
    Useful for local development and testing without governance.
    """

    def get_runtime_configs(self) -> Dict[str, Any]:
        return {}  # @runtime_configs_result

    def get_policy(self, name: str) -> Dict[str, Any]:
        return {}  # @policy_result


# This file renders the compiled module of the same name in plain Python; it
# is not installed (the package ships the compiled module alone).  The
# compiled module's traceback entries cite the lines of these statements,
# and the tests and benchmarks compare the two.  Called with arguments that
# the compiled argument binding accepts, it behaves as the compiled module
# does; that binding itself (counts, keyword-only parameters, exact-type
# tests, the float and int conversions of annotated parameters) is not
# imitated.  Its own messages name types by `__name__`, where the compiled
# ones use the type's C name (which, for a type defined in C, may carry its
# module).
