"""An engine's view of the runtime core: the modules driven as the engine
drives them, with a readable trace of what happened."""

from kelvra_runtime.core.runtime.waiters import parse_duration


def say(text: str) -> None:
    print(text)


def durations() -> None:
    say("== durations: sleep and timeout specs from agent code ==")
    for spec in (90, 2.5, "30s", "5m", "2h30m", "1d 2h 3m 4s", " 1H "):
        say(f"  parse_duration({spec!r}) = {parse_duration(spec)}")
    for bad in ("-5s", "0s", None):
        try:
            parse_duration(bad)
        except ValueError as e:
            say(f"  parse_duration({bad!r}) refused: {e}")


def main() -> None:
    durations()


if __name__ == "__main__":
    main()
