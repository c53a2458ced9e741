"""The mailbox rules, written out from the rules themselves and never by calling the bridge's code,
so that the tests can use them as their oracle: what the application writes, what the bridge posts
for the reply bytes it took in one read, and in which order.

A shared misunderstanding must show up as a failing test, not cancel out: keep this file apart from
src/.
"""

REQUEST = {"p": 1, "r": 6}  # what the application writes into m1000
ACK = {"p": 2, "r": 7}  # what the bridge writes first
TIMEOUT_CODE = {"p": 5, "r": 9}
TIMEOUT_STATUS = 0xFFFE  # a runtime call that did not complete within a second
READ_LIMIT = 1023  # one read fills the 1024-byte buffer but its terminating zero

# The simulated device's replies when it is told nothing else.
DEFAULT_REPLY = {"p": b"Turning On", "r": b"A123"}


def text_of(taken):
    """The reply as text: up to its first NUL."""
    return taken.split(b"\0", 1)[0]


def classify(taken):
    """P result code."""
    text = text_of(taken)
    code = 5
    if b"Sleep" in text:
        code = 3
    if b"Turning On" in text:
        code = 4
    return code


def atoi(data):
    i = 0
    while i < len(data) and data[i] in b" \t\n\v\f\r":
        i += 1
    negative = i < len(data) and data[i] == ord("-")
    if i < len(data) and data[i] in b"+-":
        i += 1
    value = 0
    while i < len(data) and 0x30 <= data[i] <= 0x39:
        value = value * 10 + data[i] - 0x30
        i += 1
    value = -value if negative else value
    return max(-2 ** 31, min(2 ** 31 - 1, value))


def r_outcome(taken):
    """(l1000, code) of an R. The first byte is skipped whatever it is, a NUL included: the number
    is read from the buffer's second byte up to the next NUL."""
    rest = taken[1:].split(b"\0", 1)[0]
    digit = len(taken) > 1 and 0x30 <= taken[1] <= 0x39
    return atoi(rest), 8 if digit else 9


def p_expected(taken, timed_out=False, posted=True):
    """The writes of a P that took `taken`, as (ref, value). A time-out code that the runtime took
    (`posted`: completed with result code 0) is not written again when the reply read after it
    gives the same code."""
    code = classify(taken)
    if timed_out:
        again = not posted or code != 5
        return [("m1000", 2), ("m1000", 5)] + ([("m1000", code)] if again else [])
    return [("m1000", 2), ("m1000", code)]


def r_expected(taken, timed_out=False, posted=True):
    """The writes of an R that took `taken`, as (ref, value); the time-out code as for P."""
    number, code = r_outcome(taken)
    if timed_out:
        again = not posted or code != 9
        return [("m1000", 7), ("m1000", 9), ("l1000", number)] + ([("m1000", code)] if again
                                                                  else [])
    return [("m1000", 7), ("l1000", number), ("m1000", code)]


def expected(kind, taken, timed_out=False, posted=True):
    return (p_expected if kind == "p" else r_expected)(taken, timed_out, posted)
