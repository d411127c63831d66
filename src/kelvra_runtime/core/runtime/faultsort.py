"""Pure failure classification algorithm.

This module contains the algorithmic logic for classifying workflow failures
based on envelope data. It has NO external dependencies (no Redis, Django, etc.)
and can be used by both runtime defaults and infra's production recovery.

Usage:
    from kelvra_runtime.core.runtime.faultsort import classify_failure

    reason = classify_failure(envelope_data)
    # Returns: "terminated_by_signal", "suspected_oom", "abnormal_exit", or "unknown"
"""
from __future__ import annotations

def classify_failure(envelope_data: dict) -> str:
    """Classify a workflow failure based on envelope data.

    Analyzes the envelope's last event and memory usage to determine
    the likely cause of failure.

    Args:
        envelope_data: Dict containing envelope state, typically with keys like:
            - last_event: str, the last recorded event (e.g., "signal_SIGTERM")
            - memory_rss_mb: int/str, resident memory in MB at failure time

    Returns:
        A classification string:
        - "terminated_by_signal": Process received a signal (SIGTERM, SIGKILL, etc.)
        - "suspected_oom": High memory usage suggests OOM killer
        - "abnormal_exit": Process exited abnormally without clear cause
        - "unknown": No envelope data available
    """
    if not envelope_data:
        return "unknown"

    last_event = envelope_data.get("last_event", "")  # @read_last_event
    # Whatever is stored answers startswith() itself: None or a number
    # raises here, outside the guarded region below.
    if last_event.startswith("signal_"):  # @signal_test
        return "terminated_by_signal"

    # An unreadable memory reading is no evidence of an OOM kill.
    try:
        memory_mb = int(envelope_data.get("memory_rss_mb", 0))  # @read_memory
        if memory_mb > 0:  # @memory_test
            return "suspected_oom"
    except (ValueError, TypeError):
        pass

    return "abnormal_exit"


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
