"""The introspection of the modules' functions that makes something anew
on each call: a bound method and its signature, and inspect's coroutine
marker.  A function's own signature is made once and kept;
tests/refs/test_refs_import.py sweeps it on functions made afresh."""

import inspect

from leakcheck import Operation

from kelvra_runtime.core.runtime.spawn import InMemorySpawnDispatcher
from kelvra_runtime.core.runtime.tallybook import Tallybook
from kelvra_runtime.core.runtime.waiters import parse_duration

DEBIT = "(*, cost_usd: 'float' = 0.0, tokens: 'int' = 0, tool_name: 'Optional[str]' = None) -> 'None'"

OPERATIONS = {
    "bound method signature": Operation(lambda book: str(inspect.signature(book.debit)), Tallybook(), result=DEBIT),
    "coroutine function": Operation(inspect.iscoroutinefunction, InMemorySpawnDispatcher.enqueue_children, result=True),
    "no coroutine function": Operation(inspect.iscoroutinefunction, parse_duration, result=False),
}
