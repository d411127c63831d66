# The stub of faultsort beyond its rendering faultsort.py, which tools/declare.py merges in:
# the stub's imports, types stated more precisely than the annotations that
# binding reads, what the rendering does not declare, and docstrings for what
# it leaves undocumented.

from typing import Any, Literal

def classify_failure(envelope_data: dict[str, Any]) -> Literal['terminated_by_signal', 'suspected_oom', 'abnormal_exit', 'unknown']:
    ...
