"""Checks a built serhubpp.dll: a GUI-subsystem DLL without C run-time code
whose entry point is its LibMain export, that exports EnumPropPages and LibMain
by the agreed ordinals, imports only from the five system DLLs it uses, and
carries the "Ports" and "Change port" dialog templates.

usage: check_propdll.py --arch i386|amd64 --image serhubpp.dll
Run with /usr/bin/python3 (python3-pefile)."""

import argparse
import os
import sys

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pecheck  # noqa: E402

EXPORTS = {"EnumPropPages": 1, "LibMain": 2}
ALLOWED_IMPORTS = {"setupapi.dll", "comctl32.dll", "user32.dll", "advapi32.dll", "kernel32.dll"}
LANG_EN_US = 0x0409

BUTTON, EDIT, STATIC, LISTBOX, SCROLLBAR, COMBOBOX = 0x80, 0x81, 0x82, 0x83, 0x84, 0x85
NO_ID = 0xFFFF  # a control id of -1 in a 16-bit field

FONT = (8, "MS Shell Dlg")

# Control: (id, class atom, text, x, y, cx, cy, style), in template order.
DIALOGS = {
    101: {
        "caption": "Ports", "cx": 219, "cy": 143, "style": 0x90C800C0,
        "items": [
            (NO_ID, STATIC, "COM ports:   ", 9, 6, 54, 9, 0x50020000),
            (1000, LISTBOX, "", 9, 17, 155, 117, 0x50A10101),
            (1001, BUTTON, "C&hange", 172, 17, 39, 14, 0x58010000),
        ],
    },
    102: {
        "caption": "Change port", "cx": 211, "cy": 71, "style": 0x90C800C4,
        "items": [
            (1, BUTTON, "OK", 160, 7, 42, 14, 0x50010001),
            (2, BUTTON, "Cancel", 160, 25, 42, 14, 0x50010000),
            (NO_ID, BUTTON, "COM port", 10, 3, 60, 61, 0x50000007),
            (1002, COMBOBOX, "", 17, 15, 48, 58, 0x50210003),
            (1005, BUTTON, "Auto enum", 17, 41, 51, 10, 0x50010003),
            (NO_ID, BUTTON, "MODE", 77, 3, 78, 61, 0x50000007),
            (1007, BUTTON, "RS232", 90, 17, 37, 10, 0x50000009),
            (1008, BUTTON, "RS485 HALF", 90, 29, 60, 8, 0x50000009),
            (1009, BUTTON, "RS485 FULL", 90, 39, 58, 10, 0x50000009),
            (1010, BUTTON, "RS422", 90, 51, 45, 9, 0x50000009),
        ],
    },
}


def check_headers(c, pe, machine):
    fh = pe.FILE_HEADER
    oh = pe.OPTIONAL_HEADER
    c.equal(fh.Machine, machine, "machine type")
    c.equal(oh.Subsystem, pecheck.IMAGE_SUBSYSTEM_WINDOWS_GUI, "subsystem")
    c.expect(fh.Characteristics & pecheck.IMAGE_FILE_DLL, "IMAGE_FILE_DLL is not set")
    c.expect(not fh.Characteristics & pecheck.IMAGE_FILE_RELOCS_STRIPPED,
             "relocations are stripped: the DLL cannot be loaded at another address")
    relocations = pecheck.check_relocations(c, pe)
    if machine == pecheck.IMAGE_FILE_MACHINE_I386:
        # x86 code addresses its data absolutely: no relocations means lost ones.
        c.expect(relocations > 0, "no base relocations")
    c.equal(pecheck.directory(pe, pecheck.DIRECTORY_TLS), (0, 0),
            "TLS directory (run-time library start-up code)")
    c.expect(oh.CheckSum != 0, "image checksum is 0")
    c.equal(oh.CheckSum, pe.generate_checksum(), "image checksum")
    for name, s in pecheck.sections(pe):
        flags = s.Characteristics
        c.expect(not name.startswith(".eh_fram"), "image has section %s" % name)
        c.expect(not name.startswith(".CRT"), "image has run-time library section %s" % name)
        c.expect(not (flags & pecheck.IMAGE_SCN_MEM_WRITE and flags & pecheck.IMAGE_SCN_MEM_EXECUTE),
                 "section %s is both writable and executable" % name)


def check_exports_and_entry(c, pe):
    table = pecheck.exports(pe)
    found = {name: ordinal for name, ordinal, _, _ in table}
    c.equal(found, EXPORTS, "exports by name and ordinal")
    c.equal(len(table), len(EXPORTS), "number of exported functions")
    for name, _, rva, forwarder in table:
        c.expect(forwarder is None, "export %s is forwarded to %s" % (name, forwarder))
        if forwarder is None:
            c.equal(pecheck.section_of_rva(pe, rva), ".text", "section of export %s" % name)
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    lib_main = [rva for name, _, rva, _ in table if name == "LibMain"]
    c.expect(lib_main == [entry], "entry point RVA 0x%X is not LibMain's address %s"
             % (entry, ["0x%X" % r for r in lib_main]))


def check_imports(c, pe):
    dlls = pecheck.imported_dlls(pe)
    for dll in dlls:
        c.expect(dll.lower() in ALLOWED_IMPORTS, "imports from %s" % dll)
    c.expect(len({d.lower() for d in dlls}) == len(dlls), "a DLL is imported twice: %s" % dlls)
    for dll, name in pecheck.imported_names(pe):
        c.expect(not name.startswith("#"), "imports %s from %s by ordinal" % (name, dll))


def check_dialogs(c, pe):
    found = pecheck.resources(pe, pecheck.RT_DIALOG)
    c.equal(sorted(found), sorted((ident, LANG_EN_US) for ident in DIALOGS),
            "dialog resources (id, language)")
    for ident, want in DIALOGS.items():
        data = found.get((ident, LANG_EN_US))
        if data is None:
            continue
        what = "dialog %d" % ident
        try:
            got = pecheck.parse_dialog(data)
        except pecheck.TemplateError as error:
            c.expect(False, "%s: %s" % (what, error))
            continue
        c.equal(got["form"], "DLGTEMPLATE", what + " template form")
        c.equal(got["style"], want["style"], what + " style")
        c.equal(got["exstyle"], 0, what + " extended style")
        c.equal((got["cx"], got["cy"]), (want["cx"], want["cy"]), what + " size")
        c.equal(got["menu"], 0, what + " menu")
        c.equal(got["class"], 0, what + " window class")
        c.equal(got["caption"], want["caption"], what + " caption")
        c.equal(got["font"], FONT, what + " font")
        c.equal(len(got["items"]), len(want["items"]), what + " number of controls")
        for index, (item, expected) in enumerate(zip(got["items"], want["items"])):
            ident_, atom, text, x, y, cx, cy, style = expected
            where = "%s control %d" % (what, index)
            c.equal(item["id"], ident_, where + " id")
            # The dialog manager takes a predefined class by atom or by name.
            c.equal(pecheck.class_atom(item["class"]), atom, where + " class")
            c.equal(item["text"], text, where + " text")
            c.equal((item["x"], item["y"], item["cx"], item["cy"]), (x, y, cx, cy),
                    where + " position and size")
            c.equal(item["style"], style, where + " style")
            c.equal(item["exstyle"], 0, where + " extended style")
            c.equal(item["extra"], 0, where + " creation data")
        c.expect(got["trailing"] < 4, "%s has %d bytes after its last control"
                 % (what, got["trailing"]))


def run():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=sorted(pecheck.MACHINES), required=True)
    parser.add_argument("--image", required=True)
    args = parser.parse_args()
    c = pecheck.Checker("serhubpp.dll (%s)" % args.arch)
    pe = pecheck.load(args.image)
    check_headers(c, pe, pecheck.MACHINES[args.arch])
    check_exports_and_entry(c, pe)
    check_imports(c, pe)
    check_dialogs(c, pe)
    pecheck.check_version_resource(c, pe, 2)  # VFT_DLL
    return c.finish()


if __name__ == "__main__":
    pecheck.main_guard(run)
