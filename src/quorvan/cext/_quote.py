"""File names and times in the headers of unified diffs.

A header names a file as it is, or, when the name holds a space, a control
character, a quote, a backslash or (in git's headers) a byte above 127, in
double quotes with C escapes: ``\\t``, ``\\n``, ``\\"``, ``\\\\`` and the like,
and three octal digits for any other byte. Unquoted, a name runs to the tab
before the time stamp, or to the end of the line.
"""
from __future__ import annotations

import re

_ESCAPED = {ord("a"): 7, ord("b"): 8, ord("t"): 9, ord("n"): 10,
            ord("v"): 11, ord("f"): 12, ord("r"): 13, ord('"'): 34,
            ord("\\"): 92, ord("'"): 39, ord("?"): 63}
_SPECIAL = re.compile(rb'["\\]')
_OCTAL = b"01234567"

# "2026-12-08 22:39:01.350309089 +0000", as diff -u writes it.
_STAMP = re.compile(rb"(\d{4})-(\d\d)-(\d\d)[ T](\d\d):(\d\d):(\d\d)"
                    rb"(?:\.\d+)?(?:\s*([+-])(\d\d):?(\d\d))?\s*$")


class BadName(ValueError):
    """A quoted name that does not end, or holds a bad escape."""


def read_quoted(text: bytes, pos: int = 0) -> tuple[bytes, int]:
    """The name quoted at text[pos] (a double quote), and the index just
    after its closing quote."""
    out: list[bytes] = []
    i = pos + 1
    n = len(text)
    while True:
        m = _SPECIAL.search(text, i)
        if m is None:
            raise BadName("a quoted name has no closing quote")
        j = m.start()
        out.append(text[i:j])
        if text[j] == 0x22:  # the closing quote
            return b"".join(out), j + 1
        if j + 1 >= n:
            raise BadName("a quoted name ends in a backslash")
        c = text[j + 1]
        if c in _OCTAL:
            k = j + 1
            while k < min(j + 4, n) and text[k] in _OCTAL:
                k += 1
            value = int(text[j + 1:k], 8)
            if value > 255:
                raise BadName("an octal escape above \\377")
            out.append(bytes([value]))
            i = k
        elif c in _ESCAPED:
            out.append(bytes([_ESCAPED[c]]))
            i = j + 2
        else:
            raise BadName(f"unknown escape \\{chr(c)} in a quoted name")


def _chomp(line: bytes) -> bytes:
    if line.endswith(b"\n"):
        line = line[:-1]
    return line[:-1] if line.endswith(b"\r") else line


def header_name(rest: bytes) -> tuple[bytes, bytes]:
    """The name and the time stamp (b"" if none) of a ``---`` or ``+++``
    line, given what follows its "--- "."""
    rest = _chomp(rest)
    if rest[:1] == b'"':
        name, end = read_quoted(rest)
        return name, rest[end:].strip()
    tab = rest.find(b"\t")
    if tab < 0:
        return rest, b""
    return rest[:tab], rest[tab + 1:].strip()


def is_epoch(stamp: bytes) -> bool:
    """Whether a header's time stamp is the start of 1970 in its zone: how
    diff -N marks the side of a file that does not exist."""
    m = _STAMP.match(stamp)
    if m is None:
        return False
    y, mo, d, h, mi, s = (int(x) for x in m.groups()[:6])
    if (y, mo, d) not in ((1970, 1, 1), (1969, 12, 31)):
        return False
    secs = (d - 1 if y == 1970 else -1) * 86400 + h * 3600 + mi * 60 + s
    if m.group(7):
        zone = int(m.group(8)) * 3600 + int(m.group(9)) * 60
        secs -= zone if m.group(7) == b"+" else -zone
    return secs == 0


def strip_components(name: bytes, n: int) -> bytes | None:
    """name without its n leading directories, or None if it has fewer.
    Runs of slashes count as one, so stripping one from /u/src/x leaves
    u/src/x."""
    for _ in range(n):
        slash = name.find(b"/")
        if slash < 0:
            return None
        name = name[slash + 1:].lstrip(b"/")
    return name


def git_names(rest: bytes, strip: int) -> tuple[bytes, bytes] | None:
    """The two names of a ``diff --git A B`` line, given what follows
    "diff --git ". Unquoted names may hold spaces, so the line is split
    where both halves name the same file once strip leading directories
    are gone, which is the case whenever the header has no other lines
    naming them. None when no such split is found."""
    rest = _chomp(rest)
    try:
        if rest[:1] == b'"':
            a, end = read_quoted(rest)
            tail = rest[end:].lstrip(b" ")
            if tail[:1] == b'"':
                b, end = read_quoted(tail)
                return (a, b) if not tail[end:].strip() else None
            return a, tail
        if rest.endswith(b'"'):
            at = rest.find(b' "')
            while at >= 0:
                try:
                    b, end = read_quoted(rest, at + 1)
                except BadName:
                    end = -1
                if end == len(rest):
                    return rest[:at], b
                at = rest.find(b' "', at + 1)
            return None
    except BadName:
        return None
    at = rest.find(b" ")
    while at >= 0:
        a, b = rest[:at], rest[at + 1:]
        same = strip_components(a, strip)
        if same and same == strip_components(b, strip):
            return a, b
        at = rest.find(b" ", at + 1)
    return None
