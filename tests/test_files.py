"""Settings files: opening, reading errors by kind, directories, and crash-safe saving."""

import os
import pickle
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

from _orn_core import OrnSettingEngine

KINDS = ["json", "json5", "toml", "yaml"]


@pytest.fixture
def shared_tmp(tmp_path):
    """A temporary folder that an unprivileged user can reach (pytest's own is private)."""
    folder = Path(tempfile.mkdtemp(prefix="orn-files-"))
    folder.chmod(0o777)
    yield folder
    for root, dirs, _ in os.walk(folder):
        for d in dirs:
            os.chmod(os.path.join(root, d), 0o755)
    shutil.rmtree(folder)


def unprivileged(fn):
    """Runs fn as an ordinary user (forking and dropping root when needed); returns
    ('ok', result) or ('raised', class, args)."""

    def outcome():
        try:
            return ("ok", fn())
        except Exception as err:  # noqa: BLE001 - handed back to the test
            return ("raised", type(err), err.args)

    if os.geteuid() != 0:
        return outcome()
    read, write = os.pipe()
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
    @pytest.mark.parametrize("name", ["missing.json", "no/such/dir/x.json"])
    def test_missing_file_starts_empty(self, tmp_path, kind, name):
        path = tmp_path / name
        assert OrnSettingEngine(str(path), kind).value("") == {}
        assert os.listdir(tmp_path) == []

    def test_empty_path(self):
        assert OrnSettingEngine("").value("") == {}

    @pytest.mark.parametrize("kind", KINDS)
    def test_unreadable_file(self, shared_tmp, kind):
        path = shared_tmp / "locked"
        path.write_text("{}")
        path.chmod(0)
        got = unprivileged(lambda: OrnSettingEngine(str(path), kind))
        assert got == ("raised", OSError, ("Failed to open config file: Permission denied (os error 13)",))

    def test_nul_in_path(self):
        with pytest.raises(OSError) as err:
            OrnSettingEngine("a\0b.json")
        assert type(err.value) is OSError
        assert err.value.args == ("Failed to open config file: file name contained an unexpected NUL byte",)

    def test_directory_as_path(self, tmp_path):
        with pytest.raises(TypeError) as err:
            OrnSettingEngine(str(tmp_path), "json")
        assert err.value.args == ("JSON parse error: Is a directory (os error 21)",)
        with pytest.raises(TypeError, match=r"^YAML parse error: "):
            OrnSettingEngine(str(tmp_path), "yaml")
        for kind in ("json5", "toml"):
            with pytest.raises(IsADirectoryError) as err:
                OrnSettingEngine(str(tmp_path), kind)
            assert err.value.args == ("Is a directory (os error 21)",)
            assert (err.value.errno, err.value.strerror, err.value.filename) == (None, None, None)

    @pytest.mark.parametrize("kind", ["json5", "toml"])
    def test_invalid_utf8(self, tmp_path, kind):
        path = tmp_path / "bad"
        path.write_bytes(b"a = '\xff'")
        with pytest.raises(OSError) as err:
            OrnSettingEngine(str(path), kind)
        assert type(err.value) is OSError and err.value.args == ("stream did not contain valid UTF-8",)

    def test_empty_json_file(self, tmp_path):
        path = tmp_path / "empty.json"
        path.write_text("")
        with pytest.raises(TypeError) as err:
            OrnSettingEngine(str(path))
        assert err.value.args == ("JSON parse error: EOF while parsing a value at line 1 column 0",)

    def test_non_mapping_roots(self, tmp_path):
        path = tmp_path / "list.json"
        path.write_text("[1, 2]")
        e = OrnSettingEngine(str(path))
        assert e.value("") == [1, 2] and e.value("0") is None
        with pytest.raises(TypeError, match="^Root is not an object$"):
            e.set_value("a", 1)
        e.sync()
        assert path.read_text() == "[\n  1,\n  2\n]"


class TestSaving:
    def test_creates_directories_in_order(self, tmp_path):
        path = tmp_path / "out" / "sub" / "settings.json"
        e = OrnSettingEngine(str(path))
        e.set_value("a", 1)
        assert not (tmp_path / "out").exists()
        e.sync()
        assert path.read_text() == '{\n  "a": 1\n}'
        mask = os.umask(0)
        os.umask(mask)
        assert stat.S_IMODE((tmp_path / "out").stat().st_mode) == 0o777 & ~mask
        assert stat.S_IMODE(path.stat().st_mode) == 0o666 & ~mask

    def test_bare_file_name(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        OrnSettingEngine("plain.json").sync()
        assert os.listdir(tmp_path) == ["plain.json"]

    def test_memory_writes_nothing(self, tmp_path):
        OrnSettingEngine(str(tmp_path / "d" / "x.json"), "memory").sync()
        assert os.listdir(tmp_path) == []

    def test_file_in_the_way_then_removed(self, tmp_path):
        e = OrnSettingEngine(str(tmp_path / "block" / "x.json"))
        e.set_value("k", "v")
        (tmp_path / "block").write_text("")
        with pytest.raises(OSError) as err:
            e.sync()
        assert type(err.value) in (FileExistsError, NotADirectoryError)
        assert e.value("k") == "v" and e.status() == 0 and e.is_writable()
        (tmp_path / "block").unlink()
        e.sync()
        assert (tmp_path / "block" / "x.json").read_text() == '{\n  "k": "v"\n}'

    @pytest.mark.parametrize("kind", ["json5", "toml", "yaml"])
    def test_formats_not_built_fail_before_touching_anything(self, tmp_path, kind):
        path = tmp_path / "d" / "s"
        e = OrnSettingEngine(str(path), kind)
        with pytest.raises(TypeError, match="cannot be written by this build yet"):
            e.sync()
        assert os.listdir(tmp_path) == []

    @pytest.mark.parametrize("kind", ["json5", "toml", "yaml"])
    def test_formats_not_built_refuse_to_load(self, tmp_path, kind):
        path = tmp_path / "s"
        path.write_text("a = 1\n")
        with pytest.raises(TypeError, match="not supported by this build yet"):
            OrnSettingEngine(str(path), kind)

    def test_directory_as_save_target(self, tmp_path):
        e = OrnSettingEngine(str(tmp_path / "absent"))
        (tmp_path / "absent").mkdir()
        with pytest.raises(IsADirectoryError):
            e.sync()


class TestCrashSafety:
    def test_failed_write_keeps_the_old_file(self, tmp_path):
        path = tmp_path / "s.json"
        old = '{"keep": "me"}'
        path.write_text(old)
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
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
        assert out.stdout.strip() == "OSError File too large (os error 27)"
        assert path.read_text() == old
        assert os.listdir(tmp_path) == ["s.json"]

    def test_permissions_and_links_are_kept(self, tmp_path):
        real = tmp_path / "real.json"
        real.write_text("{}")
        real.chmod(0o640)
        link = tmp_path / "link.json"
        link.symlink_to("real.json")
        e = OrnSettingEngine(str(link))
        e.set_value("a", 1)
        e.sync()
        assert link.is_symlink() and os.readlink(link) == "real.json"
        assert real.read_text() == '{\n  "a": 1\n}'
        assert stat.S_IMODE(real.stat().st_mode) == 0o640
        assert sorted(os.listdir(tmp_path)) == ["link.json", "real.json"]

    def test_longer_old_file_is_replaced_whole(self, tmp_path):
        path = tmp_path / "s.json"
        path.write_text('{"a": "' + "x" * 1000 + '"}')
        e = OrnSettingEngine(str(path))
        e.set_value("a", 1)
        e.sync()
        assert path.read_text() == '{\n  "a": 1\n}'

    def test_unwritable_target_is_refused_untouched(self, shared_tmp):
        path = shared_tmp / "ro.json"
        path.write_text('{"a": 1}')
        path.chmod(0o444)

        def save():
            e = OrnSettingEngine(str(path))
            e.set_value("a", 2)
            e.sync()

        assert unprivileged(save) == ("raised", PermissionError, ("Permission denied (os error 13)",))
        assert path.read_text() == '{"a": 1}'

    def test_read_only_directory_falls_back_to_rewriting(self, shared_tmp):
        folder = shared_tmp / "locked"
        folder.mkdir()
        path = folder / "s.json"
        path.write_text('{"a": 1}')
        path.chmod(0o666)
        folder.chmod(0o555)

        def save():
            e = OrnSettingEngine(str(path))
            e.set_value("a", 2)
            e.sync()

        assert unprivileged(save) == ("ok", None)
        assert path.read_text() == '{\n  "a": 2\n}'
        assert os.listdir(folder) == ["s.json"]
