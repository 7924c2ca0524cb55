"""orn-settings: read, change and convert settings files from the command line.

    orn-settings get FILE KEY               print the value as JSON
    orn-settings set FILE KEY JSON_VALUE    store the value, then save FILE
    orn-settings remove FILE KEY            remove the key, then save FILE
    orn-settings keys FILE [GROUP]          every value path, below GROUP if given
    orn-settings convert IN OUT             load IN, save its whole content as OUT

The format comes from --driver (for FILE and IN) and --to (for OUT), or else from the file's
extension. Only this command guesses from the name: the engine never does.
"""

import argparse
import json
import os
import sys
import tempfile

from _orn_core import OrnSettingEngine

EXTENSIONS = {".json": "json", ".json5": "json5", ".toml": "toml", ".yaml": "yaml", ".yml": "yaml"}


class UserError(Exception):
    """A mistake in the command or its files: reported as one line, without a traceback."""


def driver_for(path, given, option):
    if given is not None:
        return given
    extension = os.path.splitext(path)[1].lower()
    if extension not in EXTENSIONS:
        raise UserError(f"cannot tell the format of {path!r} from its extension; name it with {option} "
                        f"(json, json5, toml or yaml)")
    return EXTENSIONS[extension]


def open_engine(path, driver, must_exist):
    if must_exist and driver.lower() != "memory" and not os.path.exists(path):
        raise UserError(f"{path}: no such file")
    try:
        return OrnSettingEngine(path, driver)
    except (OSError, TypeError) as err:  # the file's own failures; a bad driver name says enough
        raise UserError(f"{path}: {message(err)}") from None


def sync(engine, path):
    try:
        engine.sync()
    except (OSError, TypeError) as err:
        raise UserError(f"cannot save {path}: {message(err)}") from None


def parse_json(text):
    """JSON_VALUE read by the engine's own JSON reader, so it means what it would in a file."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "value.json")
        with open(path, "w", encoding="utf-8", errors="surrogateescape") as file:
            file.write(text)
        try:
            return OrnSettingEngine(path).value("")
        except TypeError as err:
            raise UserError(f"JSON_VALUE is not JSON: {message(err)}") from None


def as_json(value):
    # Every number in a settings tree is finite, and Python writes ints in full and floats in their
    # shortest exact form, so the text reads back as the very same value.
    return json.dumps(value, ensure_ascii=False, indent=2, allow_nan=False)


def command_get(args):
    engine = open_engine(args.file, driver_for(args.file, args.driver, "--driver"), True)
    if not engine.contains(args.key):
        raise UserError(f"{args.file}: no value at {args.key!r}")
    print(as_json(engine.value(args.key)))


def command_set(args):
    value = parse_json(args.json_value)
    engine = open_engine(args.file, driver_for(args.file, args.driver, "--driver"), False)
    engine.set_value(args.key, value)
    sync(engine, args.file)


def command_remove(args):
    engine = open_engine(args.file, driver_for(args.file, args.driver, "--driver"), True)
    if not engine.contains(args.key):
        raise UserError(f"{args.file}: no value at {args.key!r}")
    engine.remove(args.key)
    sync(engine, args.file)


def command_keys(args):
    engine = open_engine(args.file, driver_for(args.file, args.driver, "--driver"), True)
    if args.group is not None:
        engine.begin_group(args.group)
    for key in engine.all_keys():
        print(key)


def command_convert(args):
    source = open_engine(args.input, driver_for(args.input, args.driver, "--driver"), True)
    tree = source.value("")
    # The tree is handed over entry by entry at its top level, and a key path cannot name an entry
    # whose key is empty or holds a "/", nor replace a root that is not a mapping.
    if not isinstance(tree, dict):
        raise UserError(f"cannot convert {args.input}: its root is a {type(tree).__name__}, "
                        f"not a mapping")
    for key in tree:
        if key == "" or "/" in key:
            raise UserError(f"cannot convert {args.input}: the top-level key {key!r} cannot be "
                            f"named by a key path")
    target = open_engine(args.output, driver_for(args.output, args.to, "--to"), False)
    target.clear()
    for key, value in tree.items():
        target.set_value(key, value)
    sync(target, args.output)


def message(err):
    """The exception's own text: str() of a KeyError would add quotes."""
    return str(err.args[0]) if len(err.args) == 1 else str(err)


def parser():
    top = argparse.ArgumentParser(prog="orn-settings", description=__doc__.split("\n")[0])
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, function, summary, *arguments):
        sub = commands.add_parser(name, help=summary, description=summary)
        for dest, metavar in arguments:
            sub.add_argument(dest, metavar=metavar, **({"nargs": "?"} if dest == "group" else {}))
        sub.add_argument("--driver", help="format of the file read (default: from its extension)")
        sub.set_defaults(function=function)
        return sub

    file, key = ("file", "FILE"), ("key", "KEY")
    command("get", command_get, "print the value at KEY as JSON", file, key)
    command("set", command_set, "store JSON_VALUE at KEY, then save FILE", file, key,
            ("json_value", "JSON_VALUE"))
    command("remove", command_remove, "remove KEY, then save FILE", file, key)
    command("keys", command_keys, "list every value path, below GROUP if given", file,
            ("group", "GROUP"))
    convert = command("convert", command_convert, "load IN and save the whole of it as OUT",
                      ("input", "IN"), ("output", "OUT"))
    convert.add_argument("--to", help="format of OUT (default: from its extension)")
    return top


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        args.function(args)
        sys.stdout.flush()
    except UserError as err:
        return fail(str(err))
    except BrokenPipeError:  # the reader went away (`| head`): stop quietly, as cat does
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (OSError, TypeError, ValueError, KeyError, RuntimeError) as err:
        return fail(message(err))
    except KeyboardInterrupt:
        return 130
    return 0


def fail(text):
    print(f"orn-settings: {text}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
