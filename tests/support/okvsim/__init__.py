"""What the tools around okvbridge share: the end-to-end scenarios (tests/e2e), the fault scenarios
(tests/faults), okvbridge-check's cases (tests/check), the soak (tests/soak), the real-driver
tests (tests/uart), the import floor's reader (tests/windows) and the bench (bench/bench.py).

    state     the simulated runtime's state file: layout, knobs, counters, variables, journals
    procs     the device simulator and the bridge as processes, natively or under Wine; /proc
    console   the bridge's console texts, byte for byte
    mailbox   the mailbox rules, written out as the tests' oracle
    scenario  one scenario's world and the command line of a scenario script
    errors    Failure and the checks that raise it
    pe        a Windows image's machine, header versions, imports and version resource

CTest gives every test PYTHONPATH=tests/support; a script a person starts by hand (the bench, the
soak, the scenario runners) puts tests/support first on its own path in one line beside its
imports, so that it runs from any folder.
"""
