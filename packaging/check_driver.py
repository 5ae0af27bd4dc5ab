"""Checks a built serhub.sys: a native WDM driver image that imports only from
the kernel and the HAL, with every routine in the section its execution level
needs.

usage: check_driver.py --arch i386|amd64 --image SHIPPED.sys --symbols UNSTRIPPED.sys
       [--expect ROUTINE=SECTION]... [--max-file BYTES] [--max-resident BYTES]
       [--stack-usage DIR --max-frame BYTES]
The footprint options print the file size, the size of the resident code
(.text: neither pageable nor discardable) and the largest stack frame that
-fstack-usage recorded in DIR's .su files, and fail when one passes its limit.
The shipped image carries no symbols; the unstripped image from the same link
gives the routines' addresses, which the check maps onto the shipped image.
Run with /usr/bin/python3 (python3-pefile)."""

import argparse
import os
import sys

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pecheck  # noqa: E402

# The initialisation code runs once and is freed; Plug and Play code runs at
# PASSIVE_LEVEL and may be paged; power code, the request counter and the
# completion routines can run at DISPATCH_LEVEL and must stay resident.
PLACEMENT = [
    ("DriverEntry", "INIT"),
] + [(name, "PAGE") for name in (
    "DispatchPnp", "DriverUnload", "AddDevice", "ReadCardLocation", "BusPnp",
    "ForwardAndWait", "EnableBusInterface", "DisableBusInterface", "AccessPciConfig",
    "IdentifyCard", "ParseCardResources", "SetUpCard", "ShutDownCard", "EnumeratePorts",
    "ProbeModule", "CreatePortDevice", "BuildInstancePrefix", "PortDevicePnp",
    "QueryPortRelations", "QueryPortCapabilities", "QueryPortText", "QueryPortId",
    "QueryPortBusInformation", "GetParentCapabilities", "PublishPortParameters",
    "WriteRegistryValue", "EnterPnpState", "CancelPnpState", "ReadCardRegister",
    "WriteCardRegister",
)] + [(name, ".text") for name in (
    "DispatchPower", "BusPower", "PortPower", "IncrementOutstandingIo",
    "DecrementOutstandingIo", "ForwardCompletion", "FilterCompletion",
    "CompletePowerDeletePending",
)]

# Data that is used from non-paged code.
NONPAGED_DATA = ["GUID_SERIAL_CARD_BUS"]

ALLOWED_IMPORTS = {"ntoskrnl.exe", "hal.dll"}

# On x86 these routines are exported by the HAL and not by the kernel; an
# import of one of them from the wrong module stops the driver from loading.
HAL_ROUTINES_I386 = {
    "ExAcquireFastMutex", "ExReleaseFastMutex", "ExTryToAcquireFastMutex",
    "KfAcquireSpinLock", "KfReleaseSpinLock", "KeAcquireSpinLockRaiseToSynch",
    "KeAcquireQueuedSpinLock", "KeReleaseQueuedSpinLock", "KfRaiseIrql", "KfLowerIrql",
    "KeRaiseIrqlToDpcLevel", "KeRaiseIrqlToSynchLevel", "KeGetCurrentIrql",
    "KeStallExecutionProcessor", "KeQueryPerformanceCounter", "HalGetInterruptVector",
    "HalTranslateBusAddress", "HalGetBusData", "HalGetBusDataByOffset", "HalSetBusData",
    "HalSetBusDataByOffset", "HalGetAdapter",
    "READ_PORT_UCHAR", "READ_PORT_USHORT", "READ_PORT_ULONG",
    "READ_PORT_BUFFER_UCHAR", "READ_PORT_BUFFER_USHORT", "READ_PORT_BUFFER_ULONG",
    "WRITE_PORT_UCHAR", "WRITE_PORT_USHORT", "WRITE_PORT_ULONG",
    "WRITE_PORT_BUFFER_UCHAR", "WRITE_PORT_BUFFER_USHORT", "WRITE_PORT_BUFFER_ULONG",
}


def check_headers(c, pe, machine):
    fh = pe.FILE_HEADER
    oh = pe.OPTIONAL_HEADER
    c.equal(fh.Machine, machine, "machine type")
    c.equal(oh.Subsystem, pecheck.IMAGE_SUBSYSTEM_NATIVE, "subsystem")
    c.expect(oh.DllCharacteristics & pecheck.IMAGE_DLLCHARACTERISTICS_WDM_DRIVER,
             "DllCharacteristics 0x%X lacks IMAGE_DLLCHARACTERISTICS_WDM_DRIVER"
             % oh.DllCharacteristics)
    c.expect(fh.Characteristics & pecheck.IMAGE_FILE_EXECUTABLE_IMAGE,
             "IMAGE_FILE_EXECUTABLE_IMAGE is not set")
    c.expect(not fh.Characteristics & pecheck.IMAGE_FILE_RELOCS_STRIPPED,
             "relocations are stripped: the kernel cannot load the driver at another address")
    relocations = pecheck.check_relocations(c, pe)
    if machine == pecheck.IMAGE_FILE_MACHINE_I386:
        # x86 code addresses its data absolutely: no relocations means lost ones.
        c.expect(relocations > 0, "no base relocations")
    c.equal(pecheck.directory(pe, pecheck.DIRECTORY_EXPORT), (0, 0), "export directory")
    c.expect(pecheck.find_section(pe, ".edata") is None, "image has an .edata section")
    c.equal(pecheck.directory(pe, pecheck.DIRECTORY_TLS), (0, 0), "TLS directory")
    c.expect(oh.CheckSum != 0, "image checksum is 0")
    c.equal(oh.CheckSum, pe.generate_checksum(), "image checksum")
    c.equal(fh.PointerToSymbolTable, 0, "symbol table of the shipped image")


def check_sections(c, pe):
    names = [n for n, _ in pecheck.sections(pe)]
    for name, s in pecheck.sections(pe):
        flags = s.Characteristics
        c.expect(not name.startswith(".eh_fram"), "image has section %s" % name)
        c.expect(not (flags & pecheck.IMAGE_SCN_MEM_WRITE and flags & pecheck.IMAGE_SCN_MEM_EXECUTE),
                 "section %s is both writable and executable" % name)
        if name not in ("INIT", ".reloc"):
            c.expect(not flags & pecheck.IMAGE_SCN_MEM_DISCARDABLE,
                     "section %s is discardable" % name)
    init = pecheck.find_section(pe, "INIT")
    page = pecheck.find_section(pe, "PAGE")
    if c.expect(init is not None, "no single INIT section among %s" % names):
        c.expect(init.Characteristics & pecheck.IMAGE_SCN_MEM_DISCARDABLE,
                 "INIT is not discardable (flags 0x%X)" % init.Characteristics)
        c.expect(init.Characteristics & pecheck.IMAGE_SCN_CNT_CODE
                 and init.Characteristics & pecheck.IMAGE_SCN_MEM_EXECUTE,
                 "INIT is not an executable code section (flags 0x%X)" % init.Characteristics)
    if c.expect(page is not None, "no single PAGE section among %s" % names):
        c.expect(page.Characteristics & pecheck.IMAGE_SCN_CNT_CODE
                 and page.Characteristics & pecheck.IMAGE_SCN_MEM_EXECUTE,
                 "PAGE is not an executable code section (flags 0x%X)" % page.Characteristics)


def check_imports(c, pe):
    dlls = pecheck.imported_dlls(pe)
    c.expect(any(d.lower() == "ntoskrnl.exe" for d in dlls), "does not import from ntoskrnl.exe")
    for dll in dlls:
        c.expect(dll.lower() in ALLOWED_IMPORTS, "imports from %s" % dll)
    x86 = pe.FILE_HEADER.Machine == pecheck.IMAGE_FILE_MACHINE_I386
    for dll, name in pecheck.imported_names(pe):
        c.expect(not name.startswith("#"), "imports %s from %s by ordinal" % (name, dll))
        if x86 and dll.lower() in ALLOWED_IMPORTS:
            wanted = "hal.dll" if name in HAL_ROUTINES_I386 else "ntoskrnl.exe"
            c.expect(dll.lower() == wanted, "imports %s from %s, which the x86 %s exports"
                     % (name, dll, "HAL" if wanted == "hal.dll" else "kernel"))


def check_same_layout(c, shipped, full):
    """The unstripped image must have the shipped image's layout and code."""
    mine = [(n, s.VirtualAddress, s.Misc_VirtualSize) for n, s in pecheck.sections(shipped)
            if not n.startswith(".debug")]
    theirs = [(n, s.VirtualAddress, s.Misc_VirtualSize) for n, s in pecheck.sections(full)
              if not n.startswith(".debug")]
    if not c.equal(mine, theirs, "sections of the shipped and the unstripped image"):
        return False
    for name, s in pecheck.sections(shipped):
        if s.Characteristics & pecheck.IMAGE_SCN_CNT_CODE:
            other = pecheck.find_section(full, name)
            c.expect(other is not None and s.get_data() == other.get_data(),
                     "code of section %s differs between the shipped and the unstripped image"
                     % name)
    c.equal(shipped.OPTIONAL_HEADER.AddressOfEntryPoint, full.OPTIONAL_HEADER.AddressOfEntryPoint,
            "entry point of the unstripped image")
    return True


def check_placement(c, pe, full, placement):
    pdata = None
    if pe.FILE_HEADER.Machine == pecheck.IMAGE_FILE_MACHINE_AMD64:
        pdata = pecheck.runtime_function_starts(pe)
    for routine, wanted in placement:
        found = pecheck.symbols_named(full, routine)
        if not c.expect(found, "routine %s not found in the image" % routine):
            continue
        for symbol in found:
            where = pecheck.section_of_rva(pe, symbol.rva)
            c.expect(where == wanted, "%s (%s at RVA 0x%X) is in %s, expected %s"
                     % (routine, symbol.name, symbol.rva, where, wanted))
            if pdata is not None:
                c.expect(symbol.rva in pdata, "%s (%s) has no unwind information in .pdata"
                         % (routine, symbol.name))
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    driver_entry = pecheck.symbols_named(full, "DriverEntry")
    c.expect([s.rva for s in driver_entry] == [entry],
             "entry point RVA 0x%X is not DriverEntry (%s)" % (entry, driver_entry))
    for name in NONPAGED_DATA:
        found = pecheck.symbols_named(full, name, functions_only=False)
        if not c.expect(found, "data %s not found in the image" % name):
            continue
        for symbol in found:
            where = pecheck.section_of_rva(pe, symbol.rva)
            section = pecheck.find_section(pe, where) if where else None
            c.expect(section is not None and where not in ("INIT", "PAGE")
                     and not section.Characteristics & pecheck.IMAGE_SCN_MEM_DISCARDABLE
                     and not section.Characteristics & pecheck.IMAGE_SCN_MEM_EXECUTE,
                     "%s lies in %s, not in non-paged data" % (name, where))


def largest_frame(directory):
    """(bytes, routine) of the largest frame in the .su files under directory."""
    largest = (0, None)
    names = sorted(n for n in os.listdir(directory) if n.endswith(".su"))
    for name in names:
        with open(os.path.join(directory, name)) as handle:
            for line in handle:
                # file:line:column:signature <TAB> bytes <TAB> qualifiers
                fields = line.rstrip("\n").split("\t")
                if len(fields) >= 2 and fields[1].isdigit():
                    largest = max(largest, (int(fields[1]), fields[0].split(":", 3)[-1]))
    return largest, len(names)


def check_footprint(c, image, pe, args):
    figures = []
    if args.max_file is not None:
        size = os.path.getsize(image)
        figures.append("file %d bytes (limit %d)" % (size, args.max_file))
        c.expect(size <= args.max_file, "file size %d bytes exceeds %d" % (size, args.max_file))
    if args.max_resident is not None:
        text = pecheck.find_section(pe, ".text")
        resident = text.Misc_VirtualSize if text is not None else 0
        figures.append("resident code %d bytes (limit %d)" % (resident, args.max_resident))
        c.expect(resident <= args.max_resident, "resident code %d bytes exceeds %d"
                 % (resident, args.max_resident))
    if args.stack_usage is not None:
        (frame, routine), files = largest_frame(args.stack_usage)
        c.expect(files > 0, "no .su files in %s" % args.stack_usage)
        figures.append("largest stack frame %d bytes in %s (limit %d)"
                       % (frame, routine, args.max_frame))
        c.expect(frame <= args.max_frame, "stack frame of %s is %d bytes, over %d"
                 % (routine, frame, args.max_frame))
    if figures:
        print("%s: %s" % (c.title, "; ".join(figures)))


def parse_expectations(items):
    placement = list(PLACEMENT)
    for item in items:
        routine, _, section = item.partition("=")
        if not routine or not section:
            raise SystemExit("--expect wants ROUTINE=SECTION, not %r" % item)
        placement = [(r, s) for r, s in placement if r != routine] + [(routine, section)]
    return placement


def run():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=sorted(pecheck.MACHINES), required=True)
    parser.add_argument("--image", required=True, help="the shipped serhub.sys")
    parser.add_argument("--symbols", required=True, help="the unstripped serhub.sys")
    parser.add_argument("--expect", action="append", default=[],
                        help="ROUTINE=SECTION, replacing or adding to the placement table")
    parser.add_argument("--max-file", type=int, help="largest file size in bytes")
    parser.add_argument("--max-resident", type=int, help="largest .text size in bytes")
    parser.add_argument("--stack-usage", help="directory of the driver's .su files")
    parser.add_argument("--max-frame", type=int, default=256, help="largest stack frame in bytes")
    args = parser.parse_args()
    placement = parse_expectations(args.expect)
    c = pecheck.Checker("serhub.sys (%s)" % args.arch)
    pe = pecheck.load(args.image)
    full = pecheck.load(args.symbols)
    check_headers(c, pe, pecheck.MACHINES[args.arch])
    check_sections(c, pe)
    check_imports(c, pe)
    pecheck.check_version_resource(c, pe, 3)  # VFT_DRV
    if check_same_layout(c, pe, full):
        check_placement(c, pe, full, placement)
    check_footprint(c, args.image, pe, args)
    return c.finish()


if __name__ == "__main__":
    pecheck.main_guard(run)
