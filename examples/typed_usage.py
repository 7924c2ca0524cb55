"""Every member of OrnSettingEngine, used with the types its stub declares.

The suite checks this file with `mypy --strict` and `pyright` against the installed stub, and runs
it, so the annotations and the module cannot drift apart.
"""

import tempfile
from pathlib import Path
from typing import Any

from _orn_core import OrnSettingEngine


class Store:
    """A custom driver: any object with read and write methods."""

    def __init__(self) -> None:
        self.data: Any = {"kept": True}

    def read(self, path: str) -> Any:
        return self.data

    def write(self, path: str, data: Any) -> None:
        self.data = data


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        path = str(Path(folder) / "app.json")
        settings = OrnSettingEngine(path)
        same_file = OrnSettingEngine(path=path, driver="json")
        settings.begin_group("window")
        settings.set_value("size/width", 800)
        settings.set_value(key="title", value="main")
        current: str = settings.group()
        width: Any = settings.value("size/width")
        found: bool = settings.contains(key="title")
        settings.end_group()
        keys: list[str] = settings.all_keys()
        values: list[str] = settings.child_keys()
        groups: list[str] = settings.child_groups()
        settings.remove("window/title")
        settings.sync()
        status: int = settings.status()
        writable: bool = settings.is_writable()
        name: str = settings.file_name()
        attribute: str = settings.path
        settings.clear()
        assert (current, width, found, status, writable) == ("window", 800, True, 0, True)
        assert (keys, values, groups) == (["window/size/width", "window/title"], [], ["window"])
        assert name == attribute == same_file.path == path

    store = Store()
    custom = OrnSettingEngine("anywhere", store)
    custom.sync()
    in_memory = OrnSettingEngine("unused", driver=None)
    assert custom.value("kept") is True and store.data == {"kept": True}
    assert in_memory.all_keys() == []


if __name__ == "__main__":
    main()
