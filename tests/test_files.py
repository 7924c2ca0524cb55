"""Settings files: opening, reading errors by kind, directories, and crash-safe saving."""

import os
import pickle
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap
import warnings
from pathlib import Path

import pytest

from _orn_core import OrnSettingEngine

KINDS = ["json", "json5", "toml", "yaml"]
SAVED = '{\n  "a": 1\n}'


def saved(path):
    e = OrnSettingEngine(str(path))
    e.set_value("a", 1)
    e.sync()


@pytest.fixture
def shared_tmp():
    """A temporary folder that an unprivileged user can reach (pytest's own is private)."""
    folder = Path(tempfile.mkdtemp(prefix="orn-files-"))
    folder.chmod(0o777)
    yield folder
    for root, dirs, _ in os.walk(folder):
        for d in dirs:
            os.chmod(os.path.join(root, d), 0o755)
    shutil.rmtree(folder)


def unprivileged(fn):
    """Runs fn as an ordinary user (in a child that drops root, when we are root); returns
    ('ok', result) or ('raised', class, args)."""

    def outcome():
        try:
            return ("ok", fn())
        except Exception as err:  # noqa: BLE001 - handed back to the test
            return ("raised", type(err), err.args)

    if os.geteuid() != 0:
        return outcome()
    read, write = os.pipe()
    # Under a parallel run the worker has an idle I/O thread. The child only drops its rights,
    # runs fn, writes the pipe and exits: it takes no lock that thread could hold.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:  # pragma: no cover - child
        try:
            os.close(read)
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
            os.write(write, pickle.dumps(outcome()))
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as f:
        data = f.read()
    os.waitpid(pid, 0)
    return pickle.loads(data)


class TestLoading:
    @pytest.mark.parametrize("kind", KINDS)
    @pytest.mark.parametrize("name", ["missing.json", "no/such/dir/x.json", ""])
    def test_missing_file_starts_empty(self, tmp_path, monkeypatch, kind, name):
        monkeypatch.chdir(tmp_path)
        assert OrnSettingEngine(name, kind).value("") == {}
        assert os.listdir(tmp_path) == []

    @pytest.mark.parametrize("kind", KINDS)
    def test_unreadable_file(self, shared_tmp, kind):
        path = shared_tmp / "locked"
        path.write_text("{}")
        path.chmod(0)
        message = "Failed to open config file: Permission denied (os error 13)"
        got = unprivileged(lambda: OrnSettingEngine(str(path), kind))
        assert got == ("raised", OSError, (message,))

    @pytest.mark.parametrize(
        "content, name, kind, cls, message",
        [
            (None, "a\0b.json", "json", OSError,
             "Failed to open config file: file name contained an unexpected NUL byte"),
            (None, ".", "json", TypeError, "JSON parse error: Is a directory (os error 21)"),
            (None, ".", "yaml", TypeError, "YAML parse error: Is a directory (os error 21)"),
            (None, ".", "json5", IsADirectoryError, "Is a directory (os error 21)"),
            (None, ".", "toml", IsADirectoryError, "Is a directory (os error 21)"),
            (b"a = '\xff'", "bad", "json5", OSError, "stream did not contain valid UTF-8"),
            (b"a = '\xed\xa0\x80'", "bad", "toml", OSError, "stream did not contain valid UTF-8"),
            (b"", "empty.json", "json", TypeError,
             "JSON parse error: EOF while parsing a value at line 1 column 0"),
            (b"x", "a/b.json", "json", OSError,
             "Failed to open config file: Not a directory (os error 20)"),
        ],
    )
    def test_load_errors(self, tmp_path, monkeypatch, content, name, kind, cls, message):
        monkeypatch.chdir(tmp_path)
        if content is not None:
            Path(name.split("/")[0]).write_bytes(content)
        with pytest.raises(cls) as err:
            OrnSettingEngine(name, kind)
        assert type(err.value) is cls and err.value.args == (message,)
        assert getattr(err.value, "errno", None) is None  # one argument: no errno, no filename

    def test_list_root_loads_and_saves(self, tmp_path):
        path = tmp_path / "list.json"
        path.write_text("[1, 2]")
        e = OrnSettingEngine(str(path))
        assert e.value("") == [1, 2]
        e.sync()
        assert path.read_text() == "[\n  1,\n  2\n]"


class TestSaving:
    def test_creates_directories(self, tmp_path):
        path = tmp_path / "out" / "sub" / "settings.json"
        e = OrnSettingEngine(str(path))
        e.set_value("a", 1)
        assert not (tmp_path / "out").exists()
        e.sync()
        assert path.read_text() == SAVED
        mask = os.umask(0)
        os.umask(mask)
        assert stat.S_IMODE((tmp_path / "out" / "sub").stat().st_mode) == 0o777 & ~mask
        assert stat.S_IMODE(path.stat().st_mode) == 0o666 & ~mask

    @pytest.mark.parametrize(
        "path, driver, cls, created",
        [
            ("plain.json", "json", None, ["plain.json"]),
            ("d/x.json", "memory", None, []),
            ("", "json", FileNotFoundError, []),
        ],
    )
    def test_what_a_sync_creates(self, tmp_path, monkeypatch, path, driver, cls, created):
        monkeypatch.chdir(tmp_path)
        e = OrnSettingEngine(path, driver)
        if cls is None:
            e.sync()
        else:
            with pytest.raises(cls):
                e.sync()
        assert os.listdir(tmp_path) == created
        if created:
            assert Path(created[0]).read_text() == "{}"

    @pytest.mark.parametrize("where", ["block/x.json", "block/sub/x.json"])
    def test_file_in_the_way_then_removed(self, tmp_path, where):
        e = OrnSettingEngine(str(tmp_path / where))
        e.set_value("a", 1)
        (tmp_path / "block").write_text("")
        with pytest.raises(OSError) as err:
            e.sync()
        assert type(err.value) in (FileExistsError, NotADirectoryError)
        assert e.value("a") == 1
        (tmp_path / "block").unlink()
        e.sync()
        assert (tmp_path / where).read_text() == SAVED

    def test_directory_as_target(self, tmp_path):
        e = OrnSettingEngine(str(tmp_path / "absent"))
        (tmp_path / "absent").mkdir()
        with pytest.raises(IsADirectoryError) as err:
            e.sync()
        assert err.value.args == ("Is a directory (os error 21)",)

    def test_longer_old_file_is_cut(self, tmp_path):
        path = tmp_path / "s.json"
        path.write_text('{"a": "' + "x" * 1000 + '"}')
        saved(path)
        assert path.read_text() == SAVED


class TestCrashSafety:
    def test_failed_write_keeps_the_old_file(self, tmp_path):
        path = tmp_path / "s.json"
        path.write_text('{"keep": "me"}')
        script = textwrap.dedent(f"""
            import resource, signal
            from _orn_core import OrnSettingEngine
            e = OrnSettingEngine({str(path)!r})
            e.set_value("big", "x" * 100000)
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
            try:
                e.sync()
            except OSError as err:
                print(type(err).__name__, err.args[0])
        """)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
        assert out.stdout.strip() == "OSError File too large (os error 27)"
        assert path.read_text() == '{"keep": "me"}'
        assert os.listdir(tmp_path) == ["s.json"]

    @pytest.mark.parametrize(
        "links, target",
        [
            ({"link.json": "real.json"}, "real.json"),
            ({"link.json": "sub/../real.json"}, "real.json"),
            ({"link.json": "mid.json", "mid.json": "real.json"}, "real.json"),
            ({"link.json": "dangling.json"}, "dangling.json"),
        ],
    )
    def test_links_stay_links(self, tmp_path, links, target):
        (tmp_path / "sub").mkdir()
        (tmp_path / "real.json").write_text("{}")
        for name, points_to in links.items():
            (tmp_path / name).symlink_to(points_to)
        saved(tmp_path / "link.json")
        assert {n: os.readlink(tmp_path / n) for n in links} == links
        assert (tmp_path / target).read_text() == SAVED
        assert sorted(os.listdir(tmp_path)) == sorted({"sub", "real.json", target, *links})

    @pytest.mark.parametrize("mode", [0o640, 0o600, 0o2664])
    def test_permission_bits_are_kept(self, tmp_path, mode):
        path = tmp_path / "s.json"
        path.write_text("{}")
        path.chmod(mode)
        saved(path)
        assert stat.S_IMODE(path.stat().st_mode) == mode

    @pytest.mark.skipif(os.geteuid() != 0, reason="only root can hand a file to another owner")
    def test_owner_is_kept(self, tmp_path):
        path = tmp_path / "s.json"
        path.write_text("{}")
        os.chown(path, 65534, 65534)
        saved(path)
        assert (path.stat().st_uid, path.stat().st_gid) == (65534, 65534)

    def test_fifo_is_written_not_replaced(self, tmp_path):
        # Special files (a FIFO here, /dev/null alike) must be written through, not renamed over.
        path = tmp_path / "pipe"
        os.mkfifo(path)
        peer = subprocess.Popen(
            ["sh", "-c", 'printf "{}" > "$0"; cat "$0"', str(path)], stdout=subprocess.PIPE
        )
        try:
            saved(path)
            assert peer.communicate(timeout=10)[0] == SAVED.encode()
        finally:
            peer.kill()
        assert stat.S_ISFIFO(path.lstat().st_mode)

    def test_bind_mounted_file_is_rewritten_in_place(self, tmp_path):
        # A file mounted over another (as containers do) cannot be renamed over: EBUSY.
        source, mounted = tmp_path / "source.json", tmp_path / "mounted.json"
        source.write_text("{}")
        mounted.write_text("")
        if not shutil.which("mount") or subprocess.run(
            ["mount", "--bind", source, mounted], capture_output=True
        ).returncode:
            pytest.skip("bind mounts are not allowed here")
        try:
            saved(mounted)
        finally:
            subprocess.run(["umount", mounted], check=True)
        assert source.read_text() == SAVED
        assert sorted(os.listdir(tmp_path)) == ["mounted.json", "source.json"]

    @pytest.mark.parametrize(
        "file_mode, folder_mode, outcome, content",
        [
            # Unwritable file: refused before anything changes, although the folder would allow
            # a rename over it.
            (0o444, 0o777, ("raised", PermissionError, ("Permission denied (os error 13)",)),
             '{"a": 0}'),
            # Writable file in a read-only folder: no temporary possible, rewritten in place.
            (0o666, 0o555, ("ok", None), SAVED),
            # Someone else's writable file in a shared folder: a replacement would change its
            # owner, so it is rewritten in place.
            (0o666, 0o777, ("ok", None), SAVED),
        ],
    )
    def test_as_ordinary_user(self, shared_tmp, file_mode, folder_mode, outcome, content):
        folder = shared_tmp / "folder"
        folder.mkdir()
        path = folder / "s.json"
        path.write_text('{"a": 0}')
        path.chmod(file_mode)
        folder.chmod(folder_mode)
        assert unprivileged(lambda: saved(path)) == outcome
        assert path.read_text() == content
        assert os.listdir(folder) == ["s.json"]
        assert path.stat().st_uid == os.geteuid()
