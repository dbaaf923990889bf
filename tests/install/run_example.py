#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs the shipped example host against the command-line tests' stand-in
service, through the APIRoot setting, and checks that it lists the stand-in
account's magnets, with the key in a header only.

    run_example.py EXAMPLE LIBDIR
"""

import json
import os
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "..", "cli", "tests"))
from standin import Account, StandIn  # noqa: E402


def main():
    example, libdir = sys.argv[1], sys.argv[2]
    key = Account.KEYS[1]  # the one with a quote and a backslash: the settings escape it
    with StandIn() as service:
        env = dict(os.environ, TAVRO_API_KEY=key, LD_LIBRARY_PATH=libdir)
        ran = subprocess.run([example, service.base], env=env, capture_output=True, text=True,
                             timeout=60)
        if ran.returncode != 0:
            sys.exit("the example failed (exit %d): %s" % (ran.returncode, ran.stderr))
        listed = json.loads(ran.stdout)
        with service.account.lock:
            want = sorted("m%d" % i for i in service.account.magnets)
            sent = list(service.account.requests)
        got = sorted(entry["path"] for entry in listed)
        if got != want:
            sys.exit("the example listed %s, the account holds %s" % (got, want))
        if [(r.method, r.path) for r in sent] != [("POST", "/v4.1/magnet/status")]:
            sys.exit("the example sent %s" % [(r.method, r.path) for r in sent])
        if sent[0].headers.get("Authorization") != "Bearer " + key or "apikey" in sent[0].query:
            sys.exit("the key did not travel in the Authorization header alone")
        # A refused root: no request at all, and the library's message.
        ran = subprocess.run([example, "http://example.com"], env=env, capture_output=True,
                             text=True, timeout=60)
        if ran.returncode != 1 or "APIRoot" not in ran.stderr:
            sys.exit("a refused root gave exit %d: %s" % (ran.returncode, ran.stderr))
    print("example: listed %s through %s" % (" ".join(got), service.base))


if __name__ == "__main__":
    main()
