"""The operations of `policy` on their success and error paths."""

from leakcheck import Operation

from kelvra_runtime.core.runtime.policy import NoOpPolicyProvider, PolicyProvider


class Text(str):
    pass


class Explicit(PolicyProvider):
    pass


noop = NoOpPolicyProvider()
explicit = Explicit()

OPERATIONS = {
    "get_runtime_configs": Operation(noop.get_runtime_configs, result={}),
    "get_policy": Operation(noop.get_policy, "p", result={}),
    "get_policy keyword": Operation(noop.get_policy, name="", result={}),
    "get_policy through the class": Operation(NoOpPolicyProvider.get_policy, None, "p", result={}),
    "get_policy None": Operation(noop.get_policy, None, raises=TypeError),
    "get_policy str subclass": Operation(noop.get_policy, Text("p"), raises=TypeError),
    "get_policy no argument": Operation(noop.get_policy, raises=TypeError),
    "get_policy only the keyword": Operation(NoOpPolicyProvider.get_policy, name="p", raises=TypeError),
    "get_runtime_configs extra argument": Operation(noop.get_runtime_configs, 1, raises=TypeError),
    "protocol get_runtime_configs": Operation(explicit.get_runtime_configs),
    "protocol get_policy": Operation(explicit.get_policy, "p"),
    "protocol get_policy refused": Operation(explicit.get_policy, 3, raises=TypeError),
    "isinstance": Operation(isinstance, noop, PolicyProvider, result=True),
}
