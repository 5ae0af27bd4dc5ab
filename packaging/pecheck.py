"""PE image inspection shared by the binary checks of serhub.sys and
serhubpp.dll: headers, sections, imports, exports, the COFF symbol table of
the unstripped images, C++ symbol names and dialog templates.

Run with /usr/bin/python3 (python3-pefile)."""

import re
import struct
import sys

import pefile

IMAGE_FILE_MACHINE_I386 = 0x014C
IMAGE_FILE_MACHINE_AMD64 = 0x8664
MACHINES = {"i386": IMAGE_FILE_MACHINE_I386, "amd64": IMAGE_FILE_MACHINE_AMD64}

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000

IMAGE_SUBSYSTEM_NATIVE = 1
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2

IMAGE_DLLCHARACTERISTICS_WDM_DRIVER = 0x2000

IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_CNT_INITIALIZED_DATA = 0x00000040
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_READ = 0x40000000
IMAGE_SCN_MEM_WRITE = 0x80000000

DIRECTORY_EXPORT = 0
DIRECTORY_IMPORT = 1
DIRECTORY_RESOURCE = 2
DIRECTORY_EXCEPTION = 3
DIRECTORY_BASERELOC = 5
DIRECTORY_TLS = 9

RT_DIALOG = 5

DS_SETFONT = 0x40
DS_SHELLFONT = 0x48

COFF_FUNCTION_TYPE = 0x20


class Checker:
    """Collects failed expectations; each check reports all of them."""

    def __init__(self, title):
        self.title = title
        self.failures = []
        self.passed = 0

    def expect(self, condition, message):
        if condition:
            self.passed += 1
        else:
            self.failures.append(message)
        return condition

    def equal(self, actual, expected, what):
        return self.expect(actual == expected,
                           "%s: %s, expected %s" % (what, show(actual), show(expected)))

    def finish(self):
        for failure in self.failures:
            print("FAIL %s: %s" % (self.title, failure))
        if self.failures:
            print("%s: %d of %d expectations failed"
                  % (self.title, len(self.failures), len(self.failures) + self.passed))
            return 1
        print("%s: all %d expectations hold" % (self.title, self.passed))
        return 0


def show(value):
    if isinstance(value, int) and not isinstance(value, bool):
        return "0x%X" % value
    return repr(value)


def load(path):
    return pefile.PE(path, fast_load=False)


def directory(pe, index):
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[index]
    return entry.VirtualAddress, entry.Size


# ---------------------------------------------------------------------------
# Sections

def string_table_offset(pe):
    fh = pe.FILE_HEADER
    if not fh.PointerToSymbolTable:
        return None
    return fh.PointerToSymbolTable + 18 * fh.NumberOfSymbols


def read_cstring(data, offset):
    end = data.find(b"\0", offset)
    if end < 0:
        end = len(data)
    return bytes(data[offset:end]).decode("latin-1")


def section_name(pe, section):
    """The section's name; "/n" names are looked up in the COFF string table."""
    name = section.Name.rstrip(b"\0").decode("latin-1")
    if name.startswith("/") and name[1:].isdigit():
        strtab = string_table_offset(pe)
        if strtab is not None:
            return read_cstring(pe.__data__, strtab + int(name[1:]))
    return name


def sections(pe):
    return [(section_name(pe, s), s) for s in pe.sections]


def find_section(pe, name):
    found = [s for n, s in sections(pe) if n == name]
    return found[0] if len(found) == 1 else None


def section_of_rva(pe, rva):
    for name, s in sections(pe):
        size = max(s.Misc_VirtualSize, s.SizeOfRawData)
        if s.VirtualAddress <= rva < s.VirtualAddress + size:
            return name
    return None


# ---------------------------------------------------------------------------
# Base relocations

IMAGE_REL_BASED_ABSOLUTE = 0
IMAGE_REL_BASED_HIGHLOW = 3
IMAGE_REL_BASED_DIR64 = 10


def check_relocations(c, pe):
    """Every base relocation has the machine's full-pointer type and patches
    a location inside a section."""
    if pe.FILE_HEADER.Machine == IMAGE_FILE_MACHINE_AMD64:
        wanted = IMAGE_REL_BASED_DIR64
    else:
        wanted = IMAGE_REL_BASED_HIGHLOW
    count = 0
    for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
        for entry in block.entries:
            if entry.type == IMAGE_REL_BASED_ABSOLUTE:
                continue
            count += 1
            c.expect(entry.type == wanted, "base relocation at RVA 0x%X has type %d, expected %d"
                     % (entry.rva, entry.type, wanted))
            c.expect(section_of_rva(pe, entry.rva) is not None,
                     "base relocation at RVA 0x%X lies outside every section" % entry.rva)
    return count


# ---------------------------------------------------------------------------
# Imports and exports

def imported_dlls(pe):
    return [entry.dll.decode("latin-1") for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]


def imported_names(pe):
    result = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        for imp in entry.imports:
            name = imp.name.decode("latin-1") if imp.name else "#%d" % imp.ordinal
            result.append((entry.dll.decode("latin-1"), name))
    return result


def exports(pe):
    """(name, ordinal, rva, forwarder) of every exported function."""
    result = []
    table = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    if table is None:
        return result
    for symbol in table.symbols:
        result.append((symbol.name.decode("latin-1") if symbol.name else None,
                       symbol.ordinal, symbol.address,
                       symbol.forwarder.decode("latin-1") if symbol.forwarder else None))
    return result


# ---------------------------------------------------------------------------
# COFF symbols of an unstripped image, and C++ names

class Symbol:
    def __init__(self, name, rva, section, is_function, storage_class):
        self.name = name
        self.rva = rva
        self.section = section
        self.is_function = is_function
        self.storage_class = storage_class

    def __repr__(self):
        return "%s@0x%X(%s)" % (self.name, self.rva, self.section)


def coff_symbols(pe):
    """Every symbol of the image's COFF symbol table that lies in a section."""
    fh = pe.FILE_HEADER
    data = pe.__data__
    if not fh.PointerToSymbolTable or not fh.NumberOfSymbols:
        return []
    table = fh.PointerToSymbolTable
    strtab = table + 18 * fh.NumberOfSymbols
    image_sections = sections(pe)
    result = []
    index = 0
    while index < fh.NumberOfSymbols:
        raw = bytes(data[table + 18 * index:table + 18 * index + 18])
        short, value, number, kind, storage, aux = struct.unpack("<8sIhHBB", raw)
        if short[:4] == b"\0\0\0\0":
            name = read_cstring(data, strtab + struct.unpack("<I", short[4:])[0])
        else:
            name = short.rstrip(b"\0").decode("latin-1")
        if 1 <= number <= len(image_sections):
            sec_name, sec = image_sections[number - 1]
            result.append(Symbol(name, sec.VirtualAddress + value, sec_name,
                                 (kind & 0x30) == COFF_FUNCTION_TYPE, storage))
        index += 1 + aux
    return result


_CLONE_SUFFIX = re.compile(r"\.(?:constprop|isra|part|cold|lto_priv|localalias)\b.*$")


def base_name(symbol_name, machine):
    """The source-level name of a global-namespace routine or variable.

    Strips the i386 leading underscore and stdcall "@n" suffix, the suffixes
    GCC gives to clones, and decodes "_Z<len><name>" / "_ZL<len><name>".
    Names inside namespaces or classes give None."""
    name = symbol_name
    if machine == IMAGE_FILE_MACHINE_I386:
        if not name.startswith("_"):
            return None
        name = name[1:]
    name = _CLONE_SUFFIX.sub("", name)
    name = re.sub(r"@\d+$", "", name)
    if name.startswith("_Z"):
        match = re.match(r"_ZL?(\d+)", name)
        if not match:
            return None
        length = int(match.group(1))
        start = match.end()
        if len(name) < start + length:
            return None
        return name[start:start + length]
    if not re.match(r"^[A-Za-z_][A-Za-z0-9_]*$", name):
        return None
    return name


def symbols_named(pe, wanted, functions_only=True):
    machine = pe.FILE_HEADER.Machine
    return [s for s in coff_symbols(pe)
            if (s.is_function or not functions_only) and base_name(s.name, machine) == wanted]


def runtime_function_starts(pe):
    """Begin addresses of the x64 exception directory's RUNTIME_FUNCTIONs."""
    rva, size = directory(pe, DIRECTORY_EXCEPTION)
    starts = set()
    if not rva or not size:
        return starts
    data = pe.get_data(rva, size)
    for offset in range(0, len(data) - 11, 12):
        begin, end, _unwind = struct.unpack_from("<III", data, offset)
        if begin or end:
            starts.add(begin)
    return starts


# ---------------------------------------------------------------------------
# Resources and dialog templates

def resources(pe, type_id):
    """{(name_or_id, language): bytes} of one resource type."""
    result = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None:
        return result
    for type_entry in root.entries:
        if type_entry.id != type_id:
            continue
        for name_entry in type_entry.directory.entries:
            key = name_entry.id if name_entry.name is None else str(name_entry.name)
            for lang_entry in name_entry.directory.entries:
                data = lang_entry.data.struct
                result[(key, lang_entry.id)] = pe.get_data(data.OffsetToData, data.Size)
    return result


RT_VERSION = 16
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


def check_version_resource(c, pe, file_type):
    """A version resource 1 in English (United States) whose fixed part says
    the file's type (VFT_DLL 2, VFT_DRV 3)."""
    found = resources(pe, RT_VERSION)
    data = found.get((1, 0x0409))
    if not c.expect(data is not None, "no version resource 1 in language 0x0409 (found %s)"
                    % sorted(found)):
        return
    # VS_VERSIONINFO: three words, "VS_VERSION_INFO" and its NUL, padded to
    # 40 bytes, then VS_FIXEDFILEINFO.
    key = data[6:38].decode("utf-16-le", "replace")
    fixed = struct.unpack_from("<13I", data, 40) if len(data) >= 92 else None
    c.expect(key == "VS_VERSION_INFO\0" and fixed is not None
             and fixed[0] == VS_FIXEDFILEINFO_SIGNATURE, "version resource has no fixed file info")
    if fixed is not None:
        c.equal(fixed[9], file_type, "version resource file type")


class TemplateError(Exception):
    pass


class _Reader:
    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def take(self, fmt):
        size = struct.calcsize(fmt)
        if self.pos + size > len(self.data):
            raise TemplateError("template ends inside a field at byte %d" % self.pos)
        values = struct.unpack_from(fmt, self.data, self.pos)
        self.pos += size
        return values if len(values) > 1 else values[0]

    def align(self, boundary):
        self.pos = (self.pos + boundary - 1) // boundary * boundary

    def string(self):
        chars = []
        while True:
            ch = self.take("<H")
            if ch == 0:
                return "".join(chars)
            chars.append(chr(ch))

    def sz_or_ord(self):
        """0 for none, an int for an ordinal, a str for a name."""
        first = self.take("<H")
        if first == 0x0000:
            return 0
        if first == 0xFFFF:
            return self.take("<H")
        self.pos -= 2
        return self.string()


def parse_dialog(data):
    """Decodes a DLGTEMPLATE or DLGTEMPLATEEX into a dict; items in order."""
    r = _Reader(data)
    if len(r.data) >= 4 and struct.unpack_from("<HH", r.data, 0) == (1, 0xFFFF):
        return _parse_dialog_ex(r)
    d = {"form": "DLGTEMPLATE"}
    d["style"], d["exstyle"], count = r.take("<IIH")
    d["x"], d["y"], d["cx"], d["cy"] = r.take("<hhhh")
    d["menu"] = r.sz_or_ord()
    d["class"] = r.sz_or_ord()
    d["caption"] = r.string()
    d["font"] = None
    if d["style"] & DS_SETFONT:
        size = r.take("<H")
        d["font"] = (size, r.string())
    d["items"] = []
    for _ in range(count):
        r.align(4)
        item = {"offset": r.pos}
        item["style"], item["exstyle"] = r.take("<II")
        item["x"], item["y"], item["cx"], item["cy"] = r.take("<hhhh")
        item["id"] = r.take("<H")
        item["class"] = r.sz_or_ord()
        item["text"] = _text(r.sz_or_ord())
        item["extra"] = r.take("<H")
        r.pos += item["extra"]
        d["items"].append(item)
    d["trailing"] = len(r.data) - r.pos
    return d


def _text(value):
    # A control without text and one with an empty text are the same bytes.
    return "" if value == 0 else value


def _parse_dialog_ex(r):
    d = {"form": "DLGTEMPLATEEX"}
    _version, _signature, _help, d["exstyle"], d["style"], count = r.take("<HHIIIH")
    d["x"], d["y"], d["cx"], d["cy"] = r.take("<hhhh")
    d["menu"] = r.sz_or_ord()
    d["class"] = r.sz_or_ord()
    d["caption"] = r.string()
    d["font"] = None
    if d["style"] & DS_SETFONT:
        size, _weight, _italic, _charset = r.take("<HHBB")
        d["font"] = (size, r.string())
    d["items"] = []
    for _ in range(count):
        r.align(4)
        item = {"offset": r.pos}
        _help, item["exstyle"], item["style"] = r.take("<III")
        item["x"], item["y"], item["cx"], item["cy"] = r.take("<hhhh")
        item["id"] = r.take("<I") & 0xFFFF
        item["class"] = r.sz_or_ord()
        item["text"] = _text(r.sz_or_ord())
        item["extra"] = r.take("<H")
        r.pos += item["extra"]
        d["items"].append(item)
    d["trailing"] = len(r.data) - r.pos
    return d


# The predefined control classes, by atom and by name.
CLASS_ATOMS = {"BUTTON": 0x80, "EDIT": 0x81, "STATIC": 0x82, "LISTBOX": 0x83,
               "SCROLLBAR": 0x84, "COMBOBOX": 0x85}


def class_atom(value):
    """The atom of a control class given as an atom or by a predefined name;
    other names are returned unchanged."""
    if isinstance(value, str):
        return CLASS_ATOMS.get(value.upper(), value)
    return value


def main_guard(run):
    """Runs a check's main and turns unexpected errors into a failure."""
    try:
        code = run()
    except (pefile.PEFormatError, OSError, TemplateError) as error:
        print("FAIL: %s" % error)
        code = 1
    sys.exit(code)
