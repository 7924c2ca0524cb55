"""Saving that never loses the old file, and loading and saving that a signal can end."""

import contextlib
import fcntl
import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import textwrap
import time

import pytest

from _orn_core import OrnSettingEngine

SAVED = '{\n  "a": 1\n}'
NAME_MAX = 255
LONG = "y" * 240


def saved(path):
    e = OrnSettingEngine(str(path))
    e.set_value("a", 1)
    e.sync()


def temporary_stem(name):
    """The documented start of every temporary of the file called name: ".<name>.tmp-", or for
    a name too long for that a prefix, "~" and the FNV-1a hash of the whole name."""
    raw = name.encode()
    if len(raw) + 22 <= NAME_MAX:
        return "." + name + ".tmp-"
    digest = 0xCBF29CE484222325
    for byte in raw:
        digest = ((digest ^ byte) * 0x100000001B3) % 2**64
    keep = raw[: NAME_MAX - 22 - 17].decode(errors="ignore")
    return f".{keep}~{digest:016x}.tmp-"


def payload(counter):
    return f"{counter:08d}" * 131072  # 1 MiB


KILLED_WRITER = textwrap.dedent("""
    import sys
    from _orn_core import OrnSettingEngine
    e = OrnSettingEngine(sys.argv[1])
    counter = e.value("counter")
    while True:
        counter += 1
        e.set_value("counter", counter)
        e.set_value("payload", "%08d" % counter * 131072)
        e.sync()
        print(counter, flush=True)
""")


class TestKilledWhileSaving:
    @pytest.mark.parametrize("name", ["s.json", LONG])
    def test_every_kill_leaves_a_committed_state(self, tmp_path, name):
        path = tmp_path / name
        e = OrnSettingEngine(str(path))
        e.set_value("counter", 0)
        e.set_value("payload", payload(0))
        e.sync()
        rng = random.Random(name)
        last = 0
        for _ in range(50):
            child = subprocess.Popen(
                [sys.executable, "-c", KILLED_WRITER, str(path)], stdout=subprocess.PIPE, text=True
            )
            first = child.stdout.readline()  # in its loop now: kill it somewhere in a sync
            time.sleep(rng.uniform(0, 0.04))
            child.kill()
            committed = [int(n) for n in (first + child.communicate()[0]).split()]
            assert committed, "the writer never committed"
            last = committed[-1]
            got = OrnSettingEngine(str(path))
            counter = got.value("counter")
            assert counter in (last, last + 1)
            assert got.value("payload") == payload(counter)
            got.sync()
            assert os.listdir(tmp_path) == [name]


class TestAbandonedTemporaries:
    @pytest.mark.parametrize("name", ["s.json", LONG, "é" * 120])
    def test_removed_by_the_next_sync(self, tmp_path, name):
        precious = tmp_path / "precious"
        precious.write_text("keep")
        stem = temporary_stem(name)
        abandoned = [stem + "0123456789abcdef", stem + "fedcba9876543210"]
        # Not ours, or not a file we could have left: all of them stay.
        others = [
            stem + "0123456789ABCDEF",
            stem + "0123456789abcde",
            stem + "0123456789abcdef0",
            ".other.json.tmp-0123456789abcdef",
            name[:-1] + ".tmp-0123456789abcdef",
        ]
        others = [entry for entry in others if len(entry.encode()) <= NAME_MAX]
        for entry in abandoned + others:
            (tmp_path / entry).write_text("half")
        (tmp_path / (stem + "1111111111111111")).symlink_to("precious")
        (tmp_path / (stem + "2222222222222222")).mkdir()
        saved(tmp_path / name)
        assert sorted(os.listdir(tmp_path)) == sorted(
            [name, "precious", stem + "1111111111111111", stem + "2222222222222222", *others]
        )
        assert precious.read_text() == "keep"

    def test_one_a_live_process_holds_stays(self, tmp_path):
        path = tmp_path / "s.json"
        held = tmp_path / (temporary_stem("s.json") + "00000000deadbeef")
        held.write_text("half")
        holder = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent("""
                import fcntl, sys
                f = open(sys.argv[1], "r+")
                fcntl.lockf(f, fcntl.LOCK_EX)
                print("locked", flush=True)
                sys.stdin.read()
            """), str(held)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
        )
        try:
            assert holder.stdout.readline() == "locked\n"
            saved(path)
            assert held.read_text() == "half"
        finally:
            holder.communicate("")
        saved(path)
        assert os.listdir(tmp_path) == ["s.json"]


@pytest.fixture
def small_disk(tmp_path):
    """A 256 KiB tmpfs; skipped where mounting is not permitted."""
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    mount = ["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mount_point)]
    if not shutil.which("mount") or subprocess.run(mount, capture_output=True).returncode:
        pytest.skip("mounting a tmpfs is not permitted here")
    try:
        yield mount_point
    finally:
        for root, dirs, _ in os.walk(mount_point):
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o755)
        subprocess.run(["umount", str(mount_point)], check=True)


NO_SPACE = "OSError No space left on device (os error 28)"
OLD = '{\n  "old": "' + "k" * 4000 + '"\n}'


def sync_in_child(path, value, prefix=()):
    """Sets "old" to the value that the expression value gives and syncs in a child: "ok", or
    the class and text of its OSError."""
    script = textwrap.dedent(f"""
        from _orn_core import OrnSettingEngine
        e = OrnSettingEngine({str(path)!r})
        e.set_value("old", {value})
        try:
            e.sync()
            print("ok")
        except OSError as err:
            print(type(err).__name__, err.args[0])
    """)
    out = subprocess.run([*prefix, sys.executable, "-c", script], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


class TestFullDisk:
    @pytest.mark.parametrize("name", ["s.json", LONG, "x" * NAME_MAX])
    def test_replacement_keeps_the_old_file(self, small_disk, name):
        path = small_disk / name
        path.write_text(OLD)
        assert sync_in_child(path, '"x" * 1_000_000') == NO_SPACE
        assert path.read_text() == OLD
        assert os.listdir(small_disk) == [name]

    @pytest.mark.skipif(not shutil.which("setpriv"), reason="setpriv is missing")
    @pytest.mark.skipif(os.geteuid() != 0, reason="needs root to drop capabilities from")
    @pytest.mark.parametrize(
        "value, outcome",
        [('"x" * 1_000_000', NO_SPACE), ('"new"', "ok")],
    )
    def test_in_place_rewrite_claims_its_room_first(self, small_disk, value, outcome):
        # Root without CAP_DAC_OVERRIDE cannot add a file to a folder it may not write: the
        # file (its own, writable) can only be rewritten in place.
        folder = small_disk / "conf"
        folder.mkdir()
        path = folder / "s.json"
        path.write_text(OLD)
        inode = path.stat().st_ino
        folder.chmod(0o555)
        no_caps = ["setpriv", "--bounding-set=-all", "--inh-caps=-all"]
        assert sync_in_child(path, value, no_caps) == outcome
        assert path.read_text() == (OLD if outcome != "ok" else '{\n  "old": "new"\n}')
        assert path.stat().st_ino == inode
        assert os.listdir(folder) == ["s.json"]


@contextlib.contextmanager
def alarms(handler, every=0.0):
    """SIGALRM with handler after 0.2 s (then every `every` seconds, if given)."""
    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.2, every)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@contextlib.contextmanager
def peer(script, *args):
    """A shell process beside the test (the other end of a FIFO), ended on the way out."""
    process = subprocess.Popen(["sh", "-c", script, "sh", *args], stdout=subprocess.PIPE)
    try:
        yield process
    finally:
        process.kill()
        process.communicate()


class TestSignals:
    @pytest.mark.parametrize(
        "action, other_end",
        [
            ("load", None),  # blocks in open: no writer
            ("load", 'exec 3>"$1"; exec sleep 5'),  # blocks in read: a writer that writes nothing
            ("sync", None),  # blocks in open: no reader
        ],
    )
    def test_raising_handler_ends_the_call(self, tmp_path, action, other_end):
        fifo = tmp_path / "pipe"
        engine = OrnSettingEngine(str(fifo))
        engine.set_value("a", 1)
        os.mkfifo(fifo)
        raised = KeyboardInterrupt("alarm")

        def interrupt(*_):
            raise raised

        started = time.monotonic()
        with contextlib.ExitStack() as stack:
            if other_end:
                stack.enter_context(peer(other_end, str(fifo)))
            with pytest.raises(KeyboardInterrupt) as err, alarms(interrupt):
                if action == "load":
                    OrnSettingEngine(str(fifo))
                else:
                    engine.sync()
        assert err.value is raised
        assert time.monotonic() - started < 1
        assert stat.S_ISFIFO(fifo.lstat().st_mode) and os.listdir(tmp_path) == ["pipe"]
        assert engine.value("a") == 1

    @pytest.mark.parametrize(
        "action, other_end",
        [
            ("load", 'sleep 0.3; { printf "{\\"a\\": "; sleep 0.3; printf "1}"; } > "$1"'),
            ("sync", 'sleep 0.4; cat "$1"'),
        ],
    )
    def test_quiet_handler_lets_the_call_go_on(self, tmp_path, action, other_end):
        fifo = tmp_path / "pipe"
        engine = OrnSettingEngine(str(fifo))
        engine.set_value("a", 1)
        os.mkfifo(fifo)
        ticks = []
        with peer(other_end, str(fifo)) as other:
            with alarms(lambda *_: ticks.append(1), every=0.05):
                if action == "load":
                    engine = OrnSettingEngine(str(fifo))
                else:
                    engine.sync()
            out = other.stdout.read()
        assert engine.value("") == {"a": 1}
        assert out == (SAVED.encode() if action == "sync" else b"")
        assert len(ticks) >= 3  # interrupted (in open, and in read or write) and retried


class TestNames:
    @pytest.mark.parametrize("name", ["x" * NAME_MAX, LONG, "é" * 127, "s.json"])
    def test_replaced_atomically_whatever_the_length(self, tmp_path, name):
        path = tmp_path / name
        path.write_text('{"a": 0}')
        path.chmod(0o640)
        inode = path.stat().st_ino
        saved(path)
        assert path.stat().st_ino != inode
        assert path.read_text() == SAVED
        assert stat.S_IMODE(path.stat().st_mode) == 0o640
        assert os.listdir(tmp_path) == [name]

    @pytest.mark.parametrize(
        "path, existing, created",
        [
            ("pp/qq/", None, ["pp"]),
            ("pp/qq//", None, ["pp"]),
            ("tdir/", None, []),
            ("tdir/", "dir", ["tdir"]),
            ("afile/", "file", ["afile"]),
        ],
    )
    def test_a_trailing_slash_names_no_file(self, tmp_path, monkeypatch, path, existing, created):
        monkeypatch.chdir(tmp_path)
        engine = OrnSettingEngine(path)
        if existing == "dir":
            os.mkdir(path)
        elif existing == "file":
            open(path.rstrip("/"), "w").close()
        with pytest.raises(OSError) as err:
            engine.sync()
        assert sorted(os.listdir(tmp_path)) == created
        if created == ["pp"]:
            assert os.listdir("pp") == []
        # The error is what creating the file with open(2) gives (EISDIR on Linux: O_CREAT
        # refuses a trailing slash), and open creates nothing either.
        with pytest.raises(OSError) as direct:
            os.open(path, os.O_WRONLY | os.O_CREAT, 0o666)
        assert type(err.value) is type(direct.value)
        assert type(err.value) in (IsADirectoryError, NotADirectoryError)
        assert err.value.args == (f"{direct.value.strerror} (os error {direct.value.errno})",)
