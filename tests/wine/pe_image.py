"""Reads what the tests check in a Windows executable or library: its
imports, exports and resources (PE32 and PE32+)."""

import struct
from dataclasses import dataclass
from pathlib import Path

_IMPORT_ORDINAL_FLAG = {0x10B: 1 << 31, 0x20B: 1 << 63}
_FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD


@dataclass(frozen=True)
class Resource:
    type: int
    name: int
    language: int
    data: bytes


@dataclass(frozen=True)
class FixedFileVersion:
    file_version: tuple
    product_version: tuple


class PeImage:
    def __init__(self, path):
        self.data = Path(path).read_bytes()
        if self.data[:2] != b"MZ":
            raise ValueError(f"{path} is not a PE image")
        header = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[header:header + 4] != b"PE\0\0":
            raise ValueError(f"{path} is not a PE image")
        self.machine, section_count = struct.unpack_from("<HH", self.data, header + 4)
        optional_size = struct.unpack_from("<H", self.data, header + 20)[0]
        optional = header + 24
        self.magic = struct.unpack_from("<H", self.data, optional)[0]
        directories = optional + (96 if self.magic == 0x10B else 112)
        directory_count = struct.unpack_from("<I", self.data, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", self.data, directories + 8 * i) for i in range(directory_count)]
        sections = optional + optional_size
        self.sections = []
        for i in range(section_count):
            virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from(
                "<IIII", self.data, sections + 40 * i + 8)
            self.sections.append((virtual_address, max(virtual_size, raw_size), raw_pointer))

    def _offset(self, rva):
        for virtual_address, size, raw_pointer in self.sections:
            if virtual_address <= rva < virtual_address + size:
                return raw_pointer + rva - virtual_address
        raise ValueError(f"RVA 0x{rva:x} is in no section")

    def _string(self, rva):
        start = self._offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """{dll name in lower case: [function name or ordinal number]}"""
        rva, _ = self.directories[1]
        result = {}
        descriptor = self._offset(rva)
        thunk_format, thunk_size = ("<I", 4) if self.magic == 0x10B else ("<Q", 8)
        ordinal_flag = _IMPORT_ORDINAL_FLAG[self.magic]
        while True:
            lookup, _, _, name, address = struct.unpack_from("<IIIII", self.data, descriptor)
            if name == 0:
                return result
            entries = result.setdefault(self._string(name).lower(), [])
            thunk = self._offset(lookup or address)
            while True:
                value = struct.unpack_from(thunk_format, self.data, thunk)[0]
                if value == 0:
                    break
                entries.append(value & 0xFFFF if value & ordinal_flag else self._string(value + 2))
                thunk += thunk_size
            descriptor += 20

    def exports(self):
        """The exported names."""
        rva, _ = self.directories[0]
        if rva == 0:
            return []
        directory = self._offset(rva)
        name_count, _, names = struct.unpack_from("<III", self.data, directory + 24)
        return [self._string(struct.unpack_from("<I", self.data, self._offset(names) + 4 * i)[0])
                for i in range(name_count)]

    def resources(self):
        rva, _ = self.directories[2]
        root = self._offset(rva)
        found = []
        for type_id, names in self._resource_entries(root, root):
            for name_id, languages in self._resource_entries(root, names):
                for language_id, leaf in self._resource_entries(root, languages):
                    data_rva, size = struct.unpack_from("<II", self.data, leaf)
                    start = self._offset(data_rva)
                    found.append(Resource(type_id, name_id, language_id, self.data[start:start + size]))
        return found

    def _resource_entries(self, root, directory):
        named, numbered = struct.unpack_from("<HH", self.data, directory + 12)
        for i in range(named + numbered):
            name, offset = struct.unpack_from("<II", self.data, directory + 16 + 8 * i)
            # Named entries are given as -1: the tool's resources are all numbered.
            yield (-1 if name & 0x80000000 else name), root + (offset & 0x7FFFFFFF)


def fixed_file_version(version_resource):
    """The file and product versions of a VS_VERSIONINFO block, as
    (major, minor, build, revision)."""
    position = version_resource.index(struct.pack("<I", _FIXED_FILE_INFO_SIGNATURE))
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", version_resource, position + 8)

    def split(most, least):
        return most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF

    return FixedFileVersion(split(file_ms, file_ls), split(product_ms, product_ls))
