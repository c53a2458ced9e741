"""What the tools around okvbridge share: the end-to-end scenarios (tests/e2e), the fault scenarios
(tests/faults), okvbridge-check's cases (tests/check), the soak (scripts/soak.py) and the bench
(bench/bench.py).

    state     the simulated runtime's state file: layout, knobs, counters, variables, journals
    procs     the device simulator and the bridge as processes, natively or under Wine; /proc
    console   the bridge's console texts, byte for byte
    mailbox   the mailbox rules, written out as the tests' oracle
    scenario  one scenario's world and the command line of a scenario script
    errors    Failure and the checks that raise it

Each tool's folder holds a link named okvsim to this folder, so that the tool imports it as an
ordinary package from wherever it is started.
"""
