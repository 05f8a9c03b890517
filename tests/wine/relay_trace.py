"""Reading Wine's relay trace (WINEDEBUG=+pid,+relay), in which every traced
call of a program appears with its arguments and its return value:

  00d0:00d4:Call user32.MessageBoxA(00000000,140005132 "Text",1400040a0 "Title",00000031) ret=...
  00d0:00d4:Ret  user32.MessageBoxA() retval=00000001 ret=...

"ret=" is the caller's return address, which tells the program's own calls
from those that Wine's DLLs and the C runtime make to the same functions.
"""

import re
import struct

_CALL = re.compile(r"^([0-9a-f]+):([0-9a-f]+):Call ([\w.]+)\((.*)\) ret=([0-9a-f]+)$")
_RET = re.compile(r"^([0-9a-f]+):([0-9a-f]+):Ret  ([\w.]+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$")
# A number, or a pointer followed by the text it points to.
_ARGUMENT = re.compile(r'[0-9a-f]+(?: "((?:[^"\\]|\\.)*)")?')
_ESCAPE = re.compile(r"\\(x[0-9a-fA-F]{2}|.)")
_SIMPLE_ESCAPES = {"n": "\n", "r": "\r", "t": "\t"}


class Call:
    def __init__(self, function, arguments, caller):
        self.function = function      # for example "user32.MessageBoxA"
        self.arguments = arguments    # ints, and str for text arguments (one char a byte)
        self.caller = caller          # the return address
        self.result = None            # the 32-bit return value, signed; None if never returned
        self.raw_result = None        # the whole return register, unsigned

    def __repr__(self):
        return "%s%r -> %r" % (self.function, tuple(self.arguments), self.result)


def calls_of_process(log_path, pid, callers=None):
    """The traced calls made by process `pid`, in the order they were made;
    with `callers` (a range of addresses), only those returning there."""
    calls, unreturned = [], {}
    with open(log_path, encoding="latin-1") as log:
        for line in log:
            line = line.rstrip("\n")
            match = _CALL.match(line)
            if match and int(match.group(1), 16) == pid:
                call = Call(match.group(3), [_argument(m) for m in
                                             _ARGUMENT.finditer(match.group(4))],
                            int(match.group(5), 16))
                if callers is not None and call.caller not in callers:
                    continue
                calls.append(call)
                # A return is matched by thread, function and return address, so
                # that a nested call of the same function that was left out
                # cannot take the result.
                unreturned.setdefault((match.group(2), call.function, call.caller),
                                      []).append(call)
                continue
            match = _RET.match(line)
            if match and int(match.group(1), 16) == pid:
                pending = unreturned.get((match.group(2), match.group(3),
                                          int(match.group(5), 16)))
                if pending:
                    call = pending.pop()
                    call.raw_result = int(match.group(4), 16)
                    call.result = _signed32(call.raw_result)
    return calls


def error_lines(log_path, limit=20):
    """Wine's own error messages in the log (its err channels stay on beside
    the relay trace), at most `limit` of them."""
    lines = []
    with open(log_path, encoding="latin-1") as log:
        for line in log:
            if ":err:" in line:
                lines.append(line.rstrip("\n"))
                if len(lines) == limit:
                    break
    return lines


def _argument(match):
    if match.group(1) is None:
        return int(match.group(0), 16)
    return _ESCAPE.sub(_unescape, match.group(1))


def _unescape(match):
    code = match.group(1)
    if code[0] == "x" and len(code) == 3:
        return chr(int(code[1:], 16))
    return _SIMPLE_ESCAPES.get(code, code)


def _signed32(value):
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


def image_range(exe_path):
    """The addresses a program occupies when loaded at its preferred base,
    where Wine puts an executable that does not ask for a randomised one, as
    read from its PE headers: range(ImageBase, ImageBase + SizeOfImage)."""
    with open(exe_path, "rb") as exe:
        data = exe.read(4096)
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[header:header + 4] != b"PE\0\0":
        raise ValueError("%s is not a PE executable" % exe_path)
    optional = header + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic == 0x20B:  # PE32+
        base = struct.unpack_from("<Q", data, optional + 24)[0]
    else:
        base = struct.unpack_from("<I", data, optional + 28)[0]
    size = struct.unpack_from("<I", data, optional + 56)[0]
    return range(base, base + size)
