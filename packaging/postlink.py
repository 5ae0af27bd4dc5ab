"""Post-link fix-up of the PE images that GNU ld produces.

GNU ld gives a section named INIT the ordinary code flags; the kernel frees a
driver's initialisation code only when the section is marked discardable. This
step sets IMAGE_SCN_MEM_DISCARDABLE on the named sections and then writes the
image checksum, which the loader verifies for drivers.

With --imports NAME, the image's import descriptors open section NAME (the
driver's linker script puts them at the start of its discardable INIT
section, as DDK-built drivers have them): the import directory is pointed at
them, since GNU ld fills it in only for a section named .idata, and the
section loses the write permission that the import tables' input sections
bring; the loader writes only the import address table, which lies elsewhere.

With --resources SYMBOLS-IMAGE, the resource directory is pointed at the
range from __serhub_resources_start to __serhub_resources_end, symbols of
the unstripped image SYMBOLS-IMAGE (the driver's linker script puts the
version resource into INIT); every image given has that image's layout.

usage: postlink.py [--discardable NAME]... [--imports NAME]
                   [--resources SYMBOLS-IMAGE] IMAGE...
Run with /usr/bin/python3 (python3-pefile)."""

import argparse
import os
import struct
import sys

import pefile

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pecheck  # noqa: E402

IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_WRITE = 0x80000000
IMPORT_DESCRIPTOR_SIZE = 20
DIRECTORY_IMPORT = 1
DIRECTORY_RESOURCE = 2
DIRECTORY_IAT = 12


def section_name(section):
    return section.Name.rstrip(b"\0").decode("latin-1")


def one_section(path, pe, wanted):
    matches = [s for s in pe.sections if section_name(s) == wanted]
    if len(matches) != 1:
        raise SystemExit("%s: expected one section %s, found sections %s"
                         % (path, wanted, ", ".join(section_name(s) for s in pe.sections)))
    return matches[0]


def point_import_directory(path, pe, section):
    """Counts the descriptors at the start of section up to the empty one;
    each must name its DLL and have its address table inside the IAT."""
    data = section.get_data()
    iat = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DIRECTORY_IAT]
    count = 0
    while True:
        entry = data[count * IMPORT_DESCRIPTOR_SIZE:(count + 1) * IMPORT_DESCRIPTOR_SIZE]
        if len(entry) < IMPORT_DESCRIPTOR_SIZE:
            raise SystemExit("%s: no empty import descriptor in %s" % (path, section_name(section)))
        lookup, _, _, name, thunks = struct.unpack("<IIIII", entry)
        if entry == bytes(IMPORT_DESCRIPTOR_SIZE):
            break
        if not (name and lookup and iat.VirtualAddress <= thunks < iat.VirtualAddress + iat.Size):
            raise SystemExit("%s: %s does not start with import descriptors"
                             % (path, section_name(section)))
        count += 1
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DIRECTORY_IMPORT]
    directory.VirtualAddress = section.VirtualAddress
    directory.Size = (count + 1) * IMPORT_DESCRIPTOR_SIZE
    section.Characteristics &= ~IMAGE_SCN_MEM_WRITE


def resource_range(path):
    """(RVA, size) of the resources, from the symbols of the image at path."""
    pe = pefile.PE(path)
    found = {s.name: s.rva for s in pecheck.coff_symbols(pe)
             if s.name in ("__serhub_resources_start", "__serhub_resources_end")}
    pe.close()
    if len(found) != 2 or found["__serhub_resources_end"] <= found["__serhub_resources_start"]:
        raise SystemExit("%s: no resources between __serhub_resources_start and "
                         "__serhub_resources_end (%s)" % (path, found))
    start = found["__serhub_resources_start"]
    return start, found["__serhub_resources_end"] - start


def fix(path, discardable, imports=None, resources=None):
    pe = pefile.PE(path)
    for wanted in discardable:
        one_section(path, pe, wanted).Characteristics |= IMAGE_SCN_MEM_DISCARDABLE
    if imports:
        point_import_directory(path, pe, one_section(path, pe, imports))
    if resources:
        directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DIRECTORY_RESOURCE]
        directory.VirtualAddress, directory.Size = resources
    image = pe.write()
    pe.close()
    # The checksum covers the headers as just rewritten.
    pe = pefile.PE(data=bytes(image))
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    image = pe.write()
    pe.close()
    with open(path, "wb") as out:
        out.write(image)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--discardable", action="append", default=[],
                        help="section to mark IMAGE_SCN_MEM_DISCARDABLE")
    parser.add_argument("--imports", help="section that opens with the import descriptors")
    parser.add_argument("--resources", metavar="SYMBOLS-IMAGE",
                        help="unstripped image whose symbols delimit the resources")
    parser.add_argument("images", nargs="+")
    args = parser.parse_args()
    resources = resource_range(args.resources) if args.resources else None
    for path in args.images:
        fix(path, args.discardable, args.imports, resources)
    return 0


if __name__ == "__main__":
    sys.exit(main())
