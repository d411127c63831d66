"""Record fields read and assigned in an instance's own storage, and past
it once the instance or its class no longer allows that."""

from leakcheck import Operation

from kelvra_runtime.core.runtime.tallybook import Tallybook


class Ledger(Tallybook):
    pass


def kept(**fields):
    """One ledger for every call: each debit replaces the values of the last."""
    return Tallybook(cost_cap_usd=1e12, token_cap=10**12, **fields)


def debit(book):
    def call():
        book.debit(cost_usd=0.5, tokens=3, tool_name="t")
        return book.check_depth(1)

    return call


def with_dict():
    book = kept()
    vars(book)
    return book


def with_dict_replaced():
    book = kept()
    book.__dict__ = dict(vars(book))
    return book


def deleted_then_debited():
    book = kept()
    del book.spent_tokens
    book.debit(tokens=2)
    return book.spent_tokens


OPERATIONS = {
    "debit in the instance's storage": Operation(debit(kept())),
    "debit on a subclass instance": Operation(debit(Ledger(cost_cap_usd=1e12))),
    "debit with __dict__ made": Operation(debit(with_dict())),
    "debit with __dict__ replaced": Operation(debit(with_dict_replaced())),
    "debit after a field deleted": Operation(deleted_then_debited, result=2),
}
