"""Reading a little-endian ELF64 shared library: its sections by name, its
dynamic symbols, and the bytes at a symbol's address.

Just enough for termloom's interface records and generated files; the library
is read as a file, never loaded.
"""
import struct

SHT_NOBITS = 8
SHT_DYNSYM = 11
SHT_GNU_VERNEED = 0x6FFFFFFE
SHF_WRITE = 1
SHF_ALLOC = 2


class ElfFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:4] != b"\x7fELF" or self.data[4] != 2 or self.data[5] != 1:
            raise ValueError(f"{path} is not a little-endian ELF64 file")
        (shoff,) = struct.unpack_from("<Q", self.data, 0x28)
        shentsize, shnum, shstrndx = struct.unpack_from("<HHH", self.data, 0x3A)
        self.sections = []
        for i in range(shnum):
            (name, kind, flags, addr, offset, size, link, info, align, entsize) = struct.unpack_from(
                "<IIQQQQIIQQ", self.data, shoff + i * shentsize)
            self.sections.append(dict(name=name, kind=kind, flags=flags, addr=addr, offset=offset,
                                      size=size, link=link, entsize=entsize))
        names = self.sections[shstrndx]
        for section in self.sections:
            section["name"] = self._string(names, section["name"])

    def _string(self, table, offset):
        start = table["offset"] + offset
        return self.data[start:self.data.index(b"\0", start)].decode()

    def section(self, name):
        """The bytes of the section called `name`."""
        for s in self.sections:
            if s["name"] == name:
                return self.data[s["offset"]:s["offset"] + s["size"]]
        raise KeyError(f"no section {name}")

    def dynamic_symbols(self):
        """(name, address, size) of every defined dynamic symbol."""
        symbols = []
        for table in (s for s in self.sections if s["kind"] == SHT_DYNSYM):
            strings = self.sections[table["link"]]
            for at in range(table["offset"], table["offset"] + table["size"], table["entsize"]):
                name, info, other, shndx, value, size = struct.unpack_from("<IBBHQQ", self.data, at)
                if shndx != 0:
                    symbols.append((self._string(strings, name), value, size))
        return symbols

    def required_versions(self):
        """{library: [version names]} that the file needs from each library."""
        needed = {}
        for table in (s for s in self.sections if s["kind"] == SHT_GNU_VERNEED):
            strings = self.sections[table["link"]]
            at = table["offset"]
            while True:
                _, count, file, aux, next_entry = struct.unpack_from("<HHIII", self.data, at)
                names = needed.setdefault(self._string(strings, file), [])
                aux_at = at + aux
                for _ in range(count):
                    _, _, _, name, next_aux = struct.unpack_from("<IHHII", self.data, aux_at)
                    names.append(self._string(strings, name))
                    aux_at += next_aux
                if next_entry == 0:
                    break
                at += next_entry
        return needed

    def section_at(self, address, size):
        """The loaded section that holds `size` bytes at `address`."""
        for s in self.sections:
            loaded = s["flags"] & SHF_ALLOC and s["kind"] != SHT_NOBITS
            if loaded and s["addr"] <= address and address + size <= s["addr"] + s["size"]:
                return s
        raise ValueError(f"no section holds {size} bytes at {address:#x}")

    def read(self, address, size):
        """`size` bytes of the file's image at `address`."""
        s = self.section_at(address, size)
        start = s["offset"] + address - s["addr"]
        return self.data[start:start + size]
