"""A first look at OrnSettingEngine: groups, typed values, listing, saving and loading again."""

import os
import tempfile

from _orn_core import OrnSettingEngine


def main() -> None:
    folder = tempfile.mkdtemp(prefix="orn-demo-")
    path = os.path.join(folder, "conf", "app.yaml")

    settings = OrnSettingEngine(path, "yaml")
    settings.begin_group("window")
    settings.set_value("size/width", 800)
    settings.set_value("size/height", 600)
    settings.set_value("title", "Demo ✓")
    settings.end_group()
    settings.set_value("recent", ["a.txt", "b.txt"])
    settings.set_value("ratio", 0.1)
    print("width:", settings.value("window/size/width"))
    print("groups:", settings.child_groups(), "keys:", settings.all_keys())
    settings.sync()

    print(f"--- {path}")
    with open(path, encoding="utf-8") as f:
        print(f.read(), end="")
    print("---")

    again = OrnSettingEngine(path, "yaml")
    assert again.value("") == settings.value(""), "the file did not round-trip"
    print("reloaded:", again.value("window"))


if __name__ == "__main__":
    main()
