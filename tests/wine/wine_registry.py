"""Registry files of a Wine prefix: writing REGEDIT4 files for regedit to
import, and reading a branch back from the prefix's saved hive (system.reg)
once its wineserver has ended."""

import re

# A key is a tuple of its path components below the hive's root, for example
# ("Enum", "PCI", "VEN_10B9&DEV_5237"). Its values are kept as a dict of
# name -> text in the hive's own notation (for example '"ctrl"' for a string),
# which is enough to tell whether a value changed.


def regedit4_text(keys):
    """REGEDIT4 text creating the given keys.

    keys: list of (root, path, values), where root is for example
    "HKEY_LOCAL_MACHINE", path a tuple of components and values a dict of
    name -> string value (written as REG_SZ)."""
    lines = ["REGEDIT4", ""]
    for root, path, values in keys:
        lines.append("[%s]" % "\\".join((root,) + tuple(path)))
        for name, text in values.items():
            lines.append('"%s"="%s"' % (_regedit_escape(name), _regedit_escape(text)))
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def _regedit_escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


_KEY_LINE = re.compile(r'^\[((?:[^\]\\]|\\.)*)\]')
_VALUE_LINE = re.compile(r'^("(?:[^"\\]|\\.)*"|@)=(.*)$')


def read_branch(hive_path, branch):
    """All keys at and below `branch` (a tuple of components) in a saved Wine
    hive, as {path tuple: {value name: value text}}. Values continued over
    several lines are joined."""
    keys = {}
    current = None
    last_value = None
    # Keys are saved with their full path; most of the hive can be skipped
    # by this plain prefix test before any parsing.
    branch_start = "[" + "\\\\".join(branch)
    with open(hive_path, encoding="utf-8", errors="surrogateescape") as hive:
        for raw in hive:
            line = raw.rstrip("\n")
            if last_value is not None and current is not None:
                # A value ending in a backslash continues on the next line.
                name, text = last_value
                if text.endswith("\\"):
                    text = text[:-1] + line.strip()
                    current[name] = text
                    last_value = (name, text)
                    continue
            last_value = None
            if line.startswith("["):
                current = None
                if not line.startswith(branch_start):
                    continue
            key_match = _KEY_LINE.match(line)
            if key_match:
                path = tuple(_unescape(part) for part in _split_path(key_match.group(1)))
                if path[:len(branch)] == tuple(branch):
                    current = keys.setdefault(path, {})
                else:
                    current = None
                continue
            if current is None or line.startswith("#") or not line:
                continue
            value_match = _VALUE_LINE.match(line)
            if value_match:
                name = value_match.group(1)
                name = "" if name == "@" else _unescape(name[1:-1])
                current[name] = value_match.group(2)
                last_value = (name, value_match.group(2))
    return keys


def _split_path(escaped):
    """Splits a saved key path at its separators, written as a doubled
    backslash; other escapes stay for _unescape."""
    parts, part, i = [], "", 0
    while i < len(escaped):
        if escaped.startswith("\\\\", i):
            parts.append(part)
            part, i = "", i + 2
        elif escaped[i] == "\\" and i + 1 < len(escaped):
            part += escaped[i:i + 2]
            i += 2
        else:
            part += escaped[i]
            i += 1
    parts.append(part)
    return parts


_ESCAPE = re.compile(r'\\(x[0-9a-fA-F]{1,4}|[0-7]{1,3}|.)')
_SIMPLE_ESCAPES = {"a": "\a", "b": "\b", "e": "\x1b", "f": "\f", "n": "\n", "r": "\r",
                   "t": "\t", "v": "\v"}


def _unescape(text):
    def replace(match):
        code = match.group(1)
        if code[0] == "x" and len(code) > 1:
            return chr(int(code[1:], 16))
        if code[0] in "01234567":
            return chr(int(code, 8))
        return _SIMPLE_ESCAPES.get(code, code)
    return _ESCAPE.sub(replace, text)
