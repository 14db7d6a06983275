"""A component store for the Wine suite: the COMPONENTS hive in Wine's own
registry file format, the file record names the servicing stack gives, and
the expected console text.

Record names are derived here independently of the tool: four 32-bit
accumulators take the down-cased UTF-16 units in turn (unit i goes to
accumulator i mod 4, acc = acc * 0x1003F + unit) and are folded into 64 bits.
"""

import struct
from dataclasses import dataclass

RECORDED_NAME_LENGTH = 25
SUPPORT_GROUP = "736519284"


@dataclass(frozen=True)
class Dword:
    value: int


@dataclass(frozen=True)
class Binary:
    data: bytes


@dataclass(frozen=True)
class String:
    text: str


def _downcase(unit):
    lower = chr(unit).lower()
    return ord(lower) if len(lower) == 1 and ord(lower) < 0x10000 else unit


def servicing_hash(relative_path):
    encoded = relative_path.encode("utf-16-le")
    units = struct.unpack("<%dH" % (len(encoded) // 2), encoded)
    accumulators = [0, 0, 0, 0]
    for index, unit in enumerate(units):
        accumulators[index % 4] = (accumulators[index % 4] * 0x1003F + _downcase(unit)) & 0xFFFFFFFF
    folded = (accumulators[0] * 0x1E5FFFFFD27 + accumulators[1] * 0xFFFFFFDC00000051
              + accumulators[2] * 0x1FFFFFFF7 + accumulators[3])
    return folded & 0xFFFFFFFFFFFFFFFF


def record_name(relative_path):
    """The "f!" record name of a file, from its path relative to the
    component directory (backslash separated, BMP characters only)."""
    needs_hash = len(relative_path) > RECORDED_NAME_LENGTH
    mapped = []
    for character in relative_path[:RECORDED_NAME_LENGTH]:
        if ord(character) <= ord("A"):
            mapped.append(chr(ord(character) | 0x20))
        elif character in "\\_":
            mapped.append("_")
            needs_hash = True
        else:
            mapped.append(character)
    name = "f!" + "".join(mapped)
    if needs_hash:
        name += "_%016x" % servicing_hash(relative_path)
    return name


def _escape(text):
    escaped = []
    for character in text:
        if character in '\\"':
            escaped.append("\\" + character)
        elif " " <= character <= "~":
            escaped.append(character)
        else:
            escaped.append("\\x%04x" % ord(character))
    return "".join(escaped)


def _value_line(name, value):
    if isinstance(value, Dword):
        data = "dword:%08x" % value.value
    elif isinstance(value, Binary):
        data = "hex:" + ",".join("%02x" % byte for byte in value.data)
    elif isinstance(value, String):
        data = '"%s"' % _escape(value.text)
    else:
        raise TypeError(value)
    return '"%s"=%s' % (_escape(name), data)


def hive_text(keys):
    """A hive file in Wine's registry format. keys maps key paths relative to
    the hive root (backslash separated) to {value name: value}; a key with no
    values is still created."""
    lines = ["WINE REGISTRY Version 2", ""]
    for path, values in keys.items():
        lines.append("[%s] 1700000000" % _escape(path))
        lines.extend(_value_line(name, value) for name, value in values.items())
        lines.append("")
    return "\n".join(lines)


def banner(version="1.0.0.1001"):
    return f"\nTessaly\n版本：{version}\n\n"


def repaired_message(path):
    return f"发现 {path} 存在异常，执行修复成功！\n"


SUMMARY_NOTHING_FOUND = f"没有发现任何问题，程序不会对系统进行任何更改！如有疑问，请反馈到 QQ群：{SUPPORT_GROUP}\n"
SUMMARY_REPAIRED = f"修复完成！请确认相关问题是否已经修复。如有疑问，请反馈到 QQ群：{SUPPORT_GROUP}\n"


def console_bytes(text):
    """What the tool writes for text: code page 936, and standard output in
    the C runtime's text mode, which writes each line feed as CR LF."""
    return text.replace("\n", "\r\n").encode("gbk")
