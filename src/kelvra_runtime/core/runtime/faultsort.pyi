"""The likely cause of a failed run, from its envelope data."""

from typing import Any, Literal

__test__: dict[str, Any]

def classify_failure(
    envelope_data: dict[str, Any],
) -> Literal["terminated_by_signal", "suspected_oom", "abnormal_exit", "unknown"]: ...
