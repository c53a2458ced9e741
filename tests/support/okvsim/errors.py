"""How the tools say that something did not hold."""


class Failure(Exception):
    """A scenario's expectation did not hold, or the world it needs could not be made."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_between(value, low, high, what):
    check(low <= value <= high, "%s: %.3f s, expected %.3f..%.3f s" % (what, value, low, high))
