"""The operations of `faultsort` on their success and error paths."""

from collections import OrderedDict

from leakcheck import Operation

from kelvra_runtime.core.runtime.faultsort import classify_failure


class Event:
    """A last event whose `startswith` answers `answer` (or raises it)."""

    def __init__(self, answer):
        self.answer = answer

    def startswith(self, prefix):
        if isinstance(self.answer, type):
            raise self.answer("startswith")
        return self.answer


class Reading:
    """A memory reading converted through `__int__`."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        if isinstance(self.value, type):
            raise self.value("int")
        return self.value


def classify(result, **data):
    return Operation(classify_failure, data, result=result)


def refuse(raises, **data):
    return Operation(classify_failure, data, raises=raises)


OPERATIONS = {
    "empty": Operation(classify_failure, {}, result="unknown"),
    "signal": classify("terminated_by_signal", last_event="signal_SIGTERM"),
    "signal, non-ASCII event": classify("abnormal_exit", last_event="signal\u00e9"),
    "signal, wide event": classify("terminated_by_signal", last_event="signal_\U0001f600"),
    "other event, int reading": classify("suspected_oom", last_event="completed", memory_rss_mb=4096),
    "negative reading": classify("abnormal_exit", memory_rss_mb=-3),
    "huge reading": classify("suspected_oom", memory_rss_mb=10**400),
    "digits": classify("suspected_oom", memory_rss_mb="2048"),
    "zero digits": classify("abnormal_exit", memory_rss_mb="000"),
    "long digits": classify("suspected_oom", memory_rss_mb="1" * 1000),
    "too many digits": classify("abnormal_exit", memory_rss_mb="1" * 5000),
    "padded digits": classify("suspected_oom", memory_rss_mb=" 2048 "),
    "non-ASCII digits": classify("suspected_oom", memory_rss_mb="\u0663"),
    "bytes reading": classify("suspected_oom", memory_rss_mb=b"12"),
    "float reading": classify("suspected_oom", memory_rss_mb=1.5),
    "nan reading": classify("abnormal_exit", memory_rss_mb=float("nan")),
    "negative zero": classify("abnormal_exit", memory_rss_mb=-0.0),
    "bool reading": classify("suspected_oom", memory_rss_mb=True),
    "unreadable reading": classify("abnormal_exit", memory_rss_mb="n/a"),
    "None reading": classify("abnormal_exit", memory_rss_mb=None),
    "__int__ reading": classify("suspected_oom", memory_rss_mb=Reading(7)),
    "__int__ raises ValueError": classify("abnormal_exit", memory_rss_mb=Reading(ValueError)),
    "__int__ returns a str": classify("abnormal_exit", memory_rss_mb=Reading("7")),
    "truthy startswith": classify("terminated_by_signal", last_event=Event(1)),
    "falsy startswith": classify("abnormal_exit", last_event=Event([])),
    "keyword": Operation(classify_failure, envelope_data={"memory_mb": 1}, result="abnormal_exit"),
    # errors
    "startswith raises": refuse(KeyError, last_event=Event(KeyError)),
    "no startswith": refuse(AttributeError, last_event=None, memory_rss_mb=4096),
    "bytes event": refuse(TypeError, last_event=b"signal_"),
    "infinite reading": refuse(OverflowError, memory_rss_mb=float("inf")),
    "__int__ raises KeyError": refuse(KeyError, memory_rss_mb=Reading(KeyError)),
    "None": Operation(classify_failure, None, raises=TypeError),
    "dict subclass": Operation(classify_failure, OrderedDict(last_event="signal_SIGTERM"), raises=TypeError),
    "no argument": Operation(classify_failure, raises=TypeError),
    "unexpected keyword": Operation(classify_failure, {}, other=1, raises=TypeError),
}
