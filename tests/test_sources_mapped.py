"""Plain files scanned where the kernel keeps them: a file that shrinks while
it is read fails the read and nothing else, whatever SIGBUS handler the
process installs around the scans (each case in a fresh interpreter, since a
handler once installed stays), and kernel files whose size says nothing are
read like any other."""
import os
import subprocess
import sys
import textwrap

import pytest

from jorvane import Count, Query

hooks = pytest.importorskip("jorvane_testhooks")

MiB = 1048576
SHRANK = "the file shrank while it was being read"
LINE = b'{"a": 1, "b": [1, 2, 3], "c": "some text to fill the line"}\n'


def ndjson(path, size):
    with open(path, "wb") as f:
        f.write(LINE * (size // len(LINE)))
    return str(path)


def run_child(child_env, script, *args):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)], env=child_env,
                          capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("when", ["between scans", "during the window"])
def test_truncated_under_a_window_after_faulthandler_is_enabled(tmp_path, child_env, when):
    shrinking = ndjson(tmp_path / "shrinking.ndjson", 2 * MiB)
    intact = ndjson(tmp_path / "intact.ndjson", 2 * MiB)
    child = run_child(child_env, """
        import faulthandler, os, sys
        import jorvane_testhooks as hooks
        shrinking, intact, when = sys.argv[1:]
        print(len(hooks.read(intact)[0]))  # maps a file first
        if when == "between scans":
            faulthandler.enable()

        def cut(i):
            if i == 0:
                if when == "during the window":
                    faulthandler.enable()
                os.truncate(shrinking, 4096)

        try:
            hooks.read(shrinking, between=cut)
        except RuntimeError as e:
            print(e)
        # The page lost with that file stays with it.
        with open(intact, "rb") as f:
            print(b"".join(hooks.read(intact)[0]) == f.read())
    """, shrinking, intact, when)
    assert (child.returncode, child.stdout) == (0, f"2\n{SHRANK}\nTrue\n"), child.stderr
    if when == "between scans":
        assert "Fatal Python error" not in child.stderr


def test_query_over_a_file_truncated_by_another_thread(tmp_path, child_env):
    # Wherever the scan stands when the file shrinks, the run ends with a
    # result, a parse error or the read failure, and the process lives.
    path = tmp_path / "big.ndjson"
    child = run_child(child_env, """
        import faulthandler, os, sys, threading
        from jorvane import Count, Query
        from jorvane._errors import Corrupted, Incomplete
        path, line = sys.argv[1], sys.argv[2].encode()
        with open(path, "wb") as f:
            f.write(line * 10)
        Query(path, "a", Count()).result()  # maps a file first
        faulthandler.enable()
        for threads in (1, 8):
            for delay in (0.0, 0.002, 0.005, 0.02):
                with open(path, "wb") as f:
                    f.write(line * ((24 << 20) // len(line)))
                cut = threading.Timer(delay, os.truncate, (path, 1000))
                cut.start()
                try:
                    Query(path, "a", Count(), max_threads=threads).result()
                    print("complete")
                except RuntimeError as e:
                    print(e)
                except (Corrupted, Incomplete):
                    print("cut short")
                cut.join()
    """, path, LINE.decode())
    assert child.returncode == 0, child.stderr
    assert "Fatal Python error" not in child.stderr
    outcomes = child.stdout.splitlines()
    assert len(outcomes) == 8
    assert set(outcomes) <= {"complete", "cut short", f"source 0 failed: error reading source #0: {SHRANK}"}


def test_kernel_files_without_a_size_read_in_every_mode(tmp_path):
    # Settings under /proc/sys stat as regular files of size 0 and refuse a
    # read of 4 MiB or more (the pipelined buffer) with ENOMEM.
    special = "/proc/sys/kernel/pid_max"
    if not os.path.exists(special):
        pytest.skip("no /proc/sys")
    with open(special, "rb") as f:
        expected = f.read()
    for buffer_len in (4 * MiB, MiB, 7):
        assert b"".join(hooks.read(special, buffer_len=buffer_len)[0]) == expected
    empty = str(tmp_path / "empty.json")
    open(empty, "wb").close()

    def outcome(source, mode):
        try:
            r = Query(source, "a", Count(), mode=mode).result()
            return ("ok", r.count(), r.bytes_covered)
        except Exception as e:
            return (type(e).__name__, str(e))

    modes = [None, "batched", "pipelined"]
    # Not JSON, but read: the same parse error in every mode.
    assert len({outcome(special, m) for m in modes}) == 1
    assert outcome(special, None)[0] == "Corrupted"
    # An empty file is read too, and reads as no bytes at all.
    assert {outcome(empty, m) for m in modes} == {outcome(b"", m) for m in modes} == {("ok", 0, None)}
    assert hooks.read(empty) == [[]]
