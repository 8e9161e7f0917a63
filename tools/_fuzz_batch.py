"""One batch of a long fuzz run: the fuzz child run by its path with
--isolated, shared by tools/fuzz_long.py and tools/fuzz_fspl_long.py."""

import json
import subprocess
import sys


def run_batch(child, child_args, timeout, env=None, stderr_tail=3000):
    """Runs ``child`` (a fuzz child script) on one batch: its JSON report, or
    ``{"crash": ...}`` with how it ended, its exit status, the last
    ``stderr_tail`` characters of its standard error and the command."""
    cmd = [sys.executable, child, *child_args, "--isolated", "--timeout", str(timeout)]
    try:
        # The child keeps the time itself; this is only a guard against a child stuck otherwise.
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=timeout + 300)
    except subprocess.TimeoutExpired:
        return {"crash": {"how": "the fuzz child did not finish", "returncode": None, "stderr_tail": "",
                          "command": cmd}}
    if proc.returncode == 0:
        try:
            return json.loads(proc.stdout.decode().strip().splitlines()[-1])
        except (ValueError, IndexError):
            how = "the fuzz child gave no report"
    else:
        how = f"the fuzz child exited with {proc.returncode}"
    return {"crash": {"how": how, "returncode": proc.returncode,
                      "stderr_tail": proc.stderr.decode("utf-8", "replace")[-stderr_tail:], "command": cmd}}
