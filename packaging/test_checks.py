"""The binary checks must reject faulty images. Each case alters a copy of a
built serhub.sys or serhubpp.dll the way a real fault would (INIT left
non-discardable, a wrong checksum, a C run-time import, a moved entry point, a
changed dialog control...) and requires the check to fail with the matching
message, which the unaltered image must not produce. Also tests the symbol-name
decoding and the dialog template parser on hand-made inputs.

usage: test_checks.py --driver-check check_driver.py --dll-check check_propdll.py
       [--driver ARCH SHIPPED UNSTRIPPED]... [--dll ARCH DLL]...
Run with /usr/bin/python3 (python3-pefile)."""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pecheck  # noqa: E402
import postlink  # noqa: E402

import pefile  # noqa: E402

OTHER_ARCH = {"i386": "amd64", "amd64": "i386"}


class Suite:
    def __init__(self):
        self.failures = []
        self.cases = 0

    def expect(self, condition, message):
        self.cases += 1
        if not condition:
            self.failures.append(message)
            print("FAIL " + message)

    def finish(self):
        if self.failures:
            print("%d of %d cases failed" % (len(self.failures), self.cases))
            return 1
        print("all %d cases passed" % self.cases)
        return 0


def run(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            universal_newlines=True)
    return result.returncode, result.stdout


# ---------------------------------------------------------------------------
# Altering copies

def rewrite(path, change):
    """Applies change(pe) to the parsed image, writes it back with a valid
    checksum, so that only the intended fault is present."""
    pe = pefile.PE(path)
    change(pe)
    data = pe.write()
    pe.close()
    with open(path, "wb") as handle:
        handle.write(data)
    postlink.fix(path, [])


def patch_bytes(path, offset, new, checksum=True):
    with open(path, "r+b") as handle:
        handle.seek(offset)
        handle.write(new)
    if checksum:
        postlink.fix(path, [])


def section_by_name(pe, name):
    return [s for s in pe.sections if s.Name.rstrip(b"\0").decode("latin-1") == name][0]


def set_flags(name, set_mask=0, clear_mask=0):
    def change(pe):
        s = section_by_name(pe, name)
        s.Characteristics = (s.Characteristics | set_mask) & ~clear_mask
    return change


def rename_section(old, new):
    def change(pe):
        section_by_name(pe, old).Name = new.encode("latin-1").ljust(8, b"\0")
    return change


def header_field(header, field, value):
    def change(pe):
        setattr(getattr(pe, header), field, value(getattr(getattr(pe, header), field)))
    return change


def import_name_offset(path, dll_name):
    pe = pefile.PE(path)
    for entry in pe.DIRECTORY_ENTRY_IMPORT:
        if entry.dll.decode("latin-1").lower() == dll_name.lower():
            offset = pe.get_offset_from_rva(entry.struct.Name)
            pe.close()
            return offset, len(entry.dll)
    pe.close()
    return None, 0


class Case:
    def __init__(self, title, alter, message, extra_args=None):
        self.title = title
        self.alter = alter
        self.message = message
        self.extra_args = extra_args or []


def run_cases(suite, what, base_command, image, image_arg_index, cases, workdir):
    """base_command has the image path at image_arg_index."""
    _, baseline = run(base_command)
    for case in cases:
        copy = os.path.join(workdir, "%s-%d%s" % (what.replace(" ", "_"), cases.index(case),
                                                  os.path.splitext(image)[1]))
        shutil.copyfile(image, copy)
        try:
            if case.alter:
                case.alter(copy)
        except Exception as error:  # an alteration that cannot be made is a failed case
            suite.expect(False, "%s, %s: cannot alter the copy: %s" % (what, case.title, error))
            continue
        command = list(base_command)
        command[image_arg_index] = copy
        command += case.extra_args
        got_code, output = run(command)
        suite.expect(case.message not in baseline,
                     "%s, %s: the unaltered image already reports %r" % (what, case.title,
                                                                        case.message))
        suite.expect(got_code != 0 and case.message in output,
                     "%s, %s: the check did not report %r (exit %d):\n%s"
                     % (what, case.title, case.message, got_code, output))


# ---------------------------------------------------------------------------
# serhub.sys

def driver_cases(arch, shipped, full, workdir):
    pe = pefile.PE(shipped)
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    rdata = section_by_name(pe, ".rdata")
    rdata_rva = rdata.VirtualAddress
    text_size = section_by_name(pe, ".text").Misc_VirtualSize
    pe.close()
    full_pe = pecheck.load(full)
    power = pecheck.symbols_named(full_pe, "DispatchPower")
    other_rva = power[0].rva if power else entry + 16
    full_pe.close()
    ntoskrnl_offset, ntoskrnl_length = import_name_offset(shipped, "ntoskrnl.exe")

    def rename_import(path):
        if ntoskrnl_offset is None:
            raise ValueError("no ntoskrnl.exe import to rename")
        patch_bytes(path, ntoskrnl_offset, b"msvcrt.dll".ljust(ntoskrnl_length, b"\0"))

    def export_directory(pe):
        pe.OPTIONAL_HEADER.DATA_DIRECTORY[pecheck.DIRECTORY_EXPORT].VirtualAddress = rdata_rva
        pe.OPTIONAL_HEADER.DATA_DIRECTORY[pecheck.DIRECTORY_EXPORT].Size = 0x28

    def wrong_relocation_type(path):
        pe = pefile.PE(path)
        entries = [e for b in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []) for e in b.entries
                   if e.type != 0]
        if not entries:
            pe.close()
            raise ValueError("the image has no base relocation to alter")
        offset = entries[0].struct.get_file_offset()
        value = entries[0].struct.Data
        pe.close()
        new_type = 10 if arch == "i386" else 3
        patch_bytes(path, offset, struct.pack("<H", (value & 0x0FFF) | (new_type << 12)))

    cases = [
        Case("relocation of the wrong width", wrong_relocation_type, "base relocation at RVA"),
        # The inverse of the post-link step.
        Case("INIT not discardable",
             lambda p: rewrite(p, set_flags("INIT", clear_mask=pecheck.IMAGE_SCN_MEM_DISCARDABLE)),
             "INIT is not discardable"),
        Case("PAGE discardable",
             lambda p: rewrite(p, set_flags("PAGE", set_mask=pecheck.IMAGE_SCN_MEM_DISCARDABLE)),
             "section PAGE is discardable"),
        Case("no INIT section", lambda p: rewrite(p, rename_section("INIT", "INITX")),
             "no single INIT section"),
        Case("stale checksum",
             lambda p: patch_bytes(p, pefile.PE(p, fast_load=True).OPTIONAL_HEADER.get_file_offset()
                                   + 64, b"\x01\x00\x00\x00", checksum=False),
             "image checksum"),
        Case("wrong machine", None, "machine type", ["--arch", OTHER_ARCH[arch]]),
        Case("GUI subsystem",
             lambda p: rewrite(p, header_field("OPTIONAL_HEADER", "Subsystem", lambda v: 2)),
             "subsystem"),
        Case("not a WDM driver",
             lambda p: rewrite(p, header_field("OPTIONAL_HEADER", "DllCharacteristics",
                                               lambda v: v & ~0x2000)),
             "lacks IMAGE_DLLCHARACTERISTICS_WDM_DRIVER"),
        Case("C run-time import", rename_import, "imports from msvcrt.dll"),
        Case("entry point moved",
             lambda p: rewrite(p, header_field("OPTIONAL_HEADER", "AddressOfEntryPoint",
                                               lambda v: other_rva)),
             "entry point"),
        Case("export table", lambda p: rewrite(p, export_directory), "export directory"),
        Case("unwind tables", lambda p: rewrite(p, rename_section(".rdata", ".eh_fram")),
             "image has section .eh_fram"),
        Case("routine in the wrong section", None, "expected PAGE",
             ["--expect", "DispatchPower=PAGE"]),
        Case("routine missing", None, "routine NoSuchRoutine not found",
             ["--expect", "NoSuchRoutine=PAGE"]),
    ]
    # Footprint: a copy that grew past the shipped file's size, resident code
    # grown past the shipped .text, and a frame over the stack limit.
    size = os.path.getsize(shipped)

    def padded(path):
        with open(path, "ab") as handle:
            handle.write(b"\0" * 512)
        postlink.fix(path, [])

    def grow_text(pe):
        section_by_name(pe, ".text").Misc_VirtualSize += 300

    su_dir = os.path.join(workdir, "stack-usage-%s" % arch)
    os.makedirs(su_dir)
    with open(os.path.join(su_dir, "power.su"), "w") as handle:
        handle.write("power.cpp:10:28:NTSTATUS BusPower(PBUS_EXTENSION, PIRP)\t96\tstatic\n"
                     "power.cpp:40:28:NTSTATUS PortPower(PPORT_EXTENSION, PIRP)\t300\tstatic\n")
    def no_resources(pe):
        pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].VirtualAddress = 0
        pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].Size = 0

    cases += [
        Case("no version resource", lambda p: rewrite(p, no_resources),
             "no version resource 1"),
        Case("file over its size limit", padded, "file size", ["--max-file", str(size)]),
        Case("resident code over its limit", lambda p: rewrite(p, grow_text),
             "resident code", ["--max-resident", str(text_size)]),
        Case("a stack frame over the limit", None, "stack frame of NTSTATUS PortPower",
             ["--stack-usage", su_dir, "--max-frame", "256"]),
    ]
    if arch == "i386":
        def kernel_as_hal(path):
            if ntoskrnl_offset is None:
                raise ValueError("no ntoskrnl.exe import to rename")
            patch_bytes(path, ntoskrnl_offset, b"HAL.dll".ljust(ntoskrnl_length, b"\0"))
        cases.append(Case("kernel routines taken from the HAL", kernel_as_hal,
                          "which the x86 kernel exports"))
    if arch == "amd64":
        def no_pdata(pe):
            pe.OPTIONAL_HEADER.DATA_DIRECTORY[pecheck.DIRECTORY_EXCEPTION].VirtualAddress = 0
            pe.OPTIONAL_HEADER.DATA_DIRECTORY[pecheck.DIRECTORY_EXCEPTION].Size = 0
        cases.append(Case("no unwind information", lambda p: rewrite(p, no_pdata),
                          "has no unwind information"))
    return cases


def check_driver(suite, check, arch, shipped, full, workdir):
    base = [sys.executable, check, "--arch", arch, "--image", shipped, "--symbols", full]
    run_cases(suite, "serhub.sys %s" % arch, base, shipped, 5,
              driver_cases(arch, shipped, full, workdir), workdir)
    # The unstripped image in place of the shipped one: symbols would ship.
    code, output = run([sys.executable, check, "--arch", arch, "--image", full,
                        "--symbols", full])
    suite.expect(code != 0 and "symbol table of the shipped image" in output,
                 "serhub.sys %s: an image with symbols is accepted as shipped:\n%s" % (arch, output))
    # Symbols of another link: the placement cannot be trusted.
    other = [a for a in ARGS.driver if a[0] != arch]
    if other:
        code, output = run([sys.executable, check, "--arch", arch, "--image", shipped,
                            "--symbols", other[0][2]])
        suite.expect(code != 0 and "shipped and the unstripped image" in output,
                     "serhub.sys %s: symbols of another image are accepted:\n%s" % (arch, output))


# ---------------------------------------------------------------------------
# serhubpp.dll

def dialog_offsets(path):
    """{dialog id: (file offset of the template, parsed template)}."""
    pe = pefile.PE(path)
    result = {}
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if type_entry.id != pecheck.RT_DIALOG:
            continue
        for name_entry in type_entry.directory.entries:
            for lang_entry in name_entry.directory.entries:
                data = lang_entry.data.struct
                offset = pe.get_offset_from_rva(data.OffsetToData)
                result[name_entry.id] = (offset, pecheck.parse_dialog(
                    pe.get_data(data.OffsetToData, data.Size)), lang_entry.struct.get_file_offset())
    pe.close()
    return result


def dll_cases(arch, image):
    dialogs = dialog_offsets(image)
    pe = pefile.PE(image)
    exports = {s.name.decode(): s for s in pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name}
    enum_rva = exports["EnumPropPages"].address if "EnumPropPages" in exports else 0
    # pefile gives the file offset of each export's name.
    lib_main_name = exports["LibMain"].name_offset if "LibMain" in exports else None
    pe.close()
    user32_offset, user32_length = import_name_offset(image, "user32.dll")

    def change_item(dialog, index, field_offset, value):
        def alter(path):
            offset, parsed, _ = dialogs[dialog]
            item = parsed["items"][index]
            patch_bytes(path, offset + item["offset"] + field_offset, value)
        return alter

    def change_style(dialog):
        def alter(path):
            offset, parsed, _ = dialogs[dialog]
            style = parsed["style"] & ~0x00080000  # without WS_SYSMENU
            patch_bytes(path, offset + (12 if parsed["form"] == "DLGTEMPLATEEX" else 0),
                        struct.pack("<I", style))
        return alter

    def change_language(dialog):
        def alter(path):
            patch_bytes(path, dialogs[dialog][2], struct.pack("<I", 0x0407))
        return alter

    def rename_user32(path):
        if user32_offset is None:
            raise ValueError("no USER32.dll import to rename")
        patch_bytes(path, user32_offset, b"MSVCRT.dll".ljust(user32_length, b"\0"))

    def rename_lib_main(path):
        if lib_main_name is None or lib_main_name < 0:
            raise ValueError("no LibMain export name")
        patch_bytes(path, lib_main_name, b"LibMaim")

    # Offsets inside a DLGITEMTEMPLATE: style 0, x 8, id 16.
    ex = dialogs.get(102, (0, {"form": ""}, 0))[1]["form"] == "DLGTEMPLATEEX"
    x_offset, style_offset = (12, 8) if ex else (8, 0)
    return [
        Case("dialog style", change_style(101), "dialog 101 style"),
        Case("control moved", change_item(102, 6, x_offset, struct.pack("<h", 91)),
             "dialog 102 control 6 position and size"),
        Case("control style", change_item(101, 2, style_offset, struct.pack("<I", 0x50010000)),
             "dialog 101 control 2 style"),
        Case("dialog language", change_language(102), "dialog resources (id, language)"),
        Case("C run-time import", rename_user32, "imports from MSVCRT.dll"),
        Case("export renamed", rename_lib_main, "exports by name and ordinal"),
        Case("entry point moved",
             lambda p: rewrite(p, header_field("OPTIONAL_HEADER", "AddressOfEntryPoint",
                                               lambda v: enum_rva)),
             "is not LibMain's address"),
        Case("console subsystem",
             lambda p: rewrite(p, header_field("OPTIONAL_HEADER", "Subsystem", lambda v: 3)),
             "subsystem"),
        Case("not a DLL",
             lambda p: rewrite(p, header_field("FILE_HEADER", "Characteristics",
                                               lambda v: v & ~pecheck.IMAGE_FILE_DLL)),
             "IMAGE_FILE_DLL is not set"),
        Case("stale checksum",
             lambda p: patch_bytes(p, pefile.PE(p, fast_load=True).OPTIONAL_HEADER.get_file_offset()
                                   + 64, b"\x01\x00\x00\x00", checksum=False),
             "image checksum"),
        Case("wrong machine", None, "machine type", ["--arch", OTHER_ARCH[arch]]),
    ]


def check_dll(suite, check, arch, image, workdir):
    base = [sys.executable, check, "--arch", arch, "--image", image]
    try:
        cases = dll_cases(arch, image)
    except (KeyError, AttributeError, pefile.PEFormatError) as error:
        suite.expect(False, "serhubpp.dll %s: cannot prepare the altered copies: %r"
                     % (arch, error))
        return
    run_cases(suite, "serhubpp.dll %s" % arch, base, image, 5, cases, workdir)


# ---------------------------------------------------------------------------
# Self-tests of the decoding helpers

def check_helpers(suite):
    i386, amd64 = pecheck.IMAGE_FILE_MACHINE_I386, pecheck.IMAGE_FILE_MACHINE_AMD64
    names = [
        ("__Z11DispatchPnpP14_DEVICE_OBJECTP4_IRP@8", i386, "DispatchPnp"),
        ("_Z11DispatchPnpP14_DEVICE_OBJECTP4_IRP", amd64, "DispatchPnp"),
        ("_DriverEntry@8", i386, "DriverEntry"),
        ("DriverEntry", amd64, "DriverEntry"),
        ("DriverEntry", i386, None),
        ("_Z14ForwardAndWaitP14_DEVICE_OBJECTP4_IRP.constprop.0", amd64, "ForwardAndWait"),
        ("__Z6BusPnpP14_DEVICE_OBJECTP4_IRPP18_IO_STACK_LOCATIONP14_BUS_EXTENSION.part.0",
         i386, "BusPnp"),
        ("_ZN4misc11DispatchPnpEv", amd64, None),
        ("_Z99Short", amd64, None),
        ("_GUID_SERIAL_CARD_BUS", i386, "GUID_SERIAL_CARD_BUS"),
        (".refptr.GUID_SERIAL_CARD_BUS", amd64, None),
    ]
    for symbol, machine, want in names:
        got = pecheck.base_name(symbol, machine)
        suite.expect(got == want, "base_name(%r) = %r, expected %r" % (symbol, got, want))

    def utf16(text):
        return text.encode("utf-16-le") + b"\0\0"

    # A DLGTEMPLATE with a font and two controls, the second aligned.
    template = struct.pack("<IIHhhhh", 0x90C800C0, 0, 2, 0, 0, 219, 143)
    template += b"\0\0" + b"\0\0" + utf16("Ports") + struct.pack("<H", 8) + utf16("MS Shell Dlg")
    template += b"\0" * (-len(template) % 4)
    template += struct.pack("<IIhhhhH", 0x50020000, 0, 9, 6, 54, 9, 0xFFFF)
    template += b"\xff\xff\x82\x00" + utf16("COM ports:   ") + b"\0\0"
    template += b"\0" * (-len(template) % 4)
    template += struct.pack("<IIhhhhH", 0x50A10101, 0, 9, 17, 155, 117, 1000)
    template += utf16("ListBox") + b"\0\0" + b"\0\0"
    parsed = pecheck.parse_dialog(template)
    suite.expect(parsed["form"] == "DLGTEMPLATE" and parsed["caption"] == "Ports"
                 and parsed["font"] == (8, "MS Shell Dlg") and parsed["cx"] == 219
                 and len(parsed["items"]) == 2, "parse_dialog header: %r" % parsed)
    if len(parsed["items"]) == 2:
        first, second = parsed["items"]
        suite.expect(first["id"] == 0xFFFF and first["class"] == 0x82
                     and first["text"] == "COM ports:   " and first["x"] == 9,
                     "parse_dialog first control: %r" % first)
        suite.expect(second["id"] == 1000 and pecheck.class_atom(second["class"]) == 0x83
                     and second["text"] == "" and second["cy"] == 117,
                     "parse_dialog second control: %r" % second)
    try:
        pecheck.parse_dialog(template[:-10])
        suite.expect(False, "parse_dialog accepts a cut-off template")
    except pecheck.TemplateError:
        suite.expect(True, "")
    # The same dialog as a DLGTEMPLATEEX is told apart.
    ex = struct.pack("<HHIIIHhhhh", 1, 0xFFFF, 0, 0, 0x90C800C0, 0, 0, 0, 219, 143)
    ex += b"\0\0" + b"\0\0" + utf16("Ports") + struct.pack("<HHBB", 8, 400, 0, 1) + utf16("MS Shell Dlg")
    parsed = pecheck.parse_dialog(ex)
    suite.expect(parsed["form"] == "DLGTEMPLATEEX" and parsed["style"] == 0x90C800C0
                 and parsed["font"] == (8, "MS Shell Dlg") and parsed["items"] == [],
                 "parse_dialog DLGTEMPLATEEX: %r" % parsed)


ARGS = None


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--driver-check", required=True)
    parser.add_argument("--dll-check", required=True)
    parser.add_argument("--driver", nargs=3, action="append", default=[],
                        metavar=("ARCH", "SHIPPED", "UNSTRIPPED"))
    parser.add_argument("--dll", nargs=2, action="append", default=[], metavar=("ARCH", "DLL"))
    ARGS = parser.parse_args()
    suite = Suite()
    check_helpers(suite)
    workdir = tempfile.mkdtemp(prefix="serhub-checks-")
    try:
        for arch, shipped, full in ARGS.driver:
            if not (os.path.exists(shipped) and os.path.exists(full)):
                suite.expect(False, "serhub.sys %s is not built" % arch)
                continue
            check_driver(suite, ARGS.driver_check, arch, shipped, full, workdir)
        for arch, image in ARGS.dll:
            if not os.path.exists(image):
                suite.expect(False, "serhubpp.dll %s is not built" % arch)
                continue
            check_dll(suite, ARGS.dll_check, arch, image, workdir)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return suite.finish()


if __name__ == "__main__":
    sys.exit(main())
