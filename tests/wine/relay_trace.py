"""Reading Wine's relay trace (WINEDEBUG=+pid,+relay), in which every traced
call of a program appears with its arguments and its return value:

  00d0:00d4:Call user32.MessageBoxA(00000000,140005132 "Text",1400040a0 "Title",00000031) ret=...
  00d0:00d4:Ret  user32.MessageBoxA() retval=00000001 ret=...
"""

import re

_CALL = re.compile(r"^([0-9a-f]+):([0-9a-f]+):Call ([\w.]+)\((.*)\) ret=[0-9a-f]+$")
_RET = re.compile(r"^([0-9a-f]+):([0-9a-f]+):Ret  ([\w.]+)\(\) retval=([0-9a-f]+) ret=")
# A number, or a pointer followed by the text it points to.
_ARGUMENT = re.compile(r'[0-9a-f]+(?: "((?:[^"\\]|\\.)*)")?')
_ESCAPE = re.compile(r"\\(x[0-9a-fA-F]{2}|.)")
_SIMPLE_ESCAPES = {"n": "\n", "r": "\r", "t": "\t"}


class Call:
    def __init__(self, function, arguments):
        self.function = function      # for example "user32.MessageBoxA"
        self.arguments = arguments    # ints, and str for text arguments
        self.result = None            # the 32-bit return value, signed; None if never returned

    def __repr__(self):
        return "%s%r -> %r" % (self.function, tuple(self.arguments), self.result)


def calls_of_process(log_path, pid):
    """The traced calls made by process `pid`, in the order they were made."""
    calls, unreturned = [], {}
    with open(log_path, encoding="latin-1") as log:
        for line in log:
            line = line.rstrip("\n")
            match = _CALL.match(line)
            if match and int(match.group(1), 16) == pid:
                call = Call(match.group(3), [_argument(m) for m in
                                             _ARGUMENT.finditer(match.group(4))])
                calls.append(call)
                unreturned.setdefault((match.group(2), call.function), []).append(call)
                continue
            match = _RET.match(line)
            if match and int(match.group(1), 16) == pid:
                pending = unreturned.get((match.group(2), match.group(3)))
                if pending:
                    pending.pop().result = _signed32(int(match.group(4), 16))
    return calls


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
