"""Post-link fix-up of the PE images that GNU ld produces.

GNU ld gives a section named INIT the ordinary code flags; the kernel frees a
driver's initialisation code only when the section is marked discardable. This
step sets IMAGE_SCN_MEM_DISCARDABLE on the named sections and then writes the
image checksum, which the loader verifies for drivers.

usage: postlink.py [--discardable NAME]... IMAGE...
Run with /usr/bin/python3 (python3-pefile)."""

import argparse
import sys

import pefile

IMAGE_SCN_MEM_DISCARDABLE = 0x02000000


def section_name(section):
    return section.Name.rstrip(b"\0").decode("latin-1")


def fix(path, discardable):
    pe = pefile.PE(path)
    names = [section_name(s) for s in pe.sections]
    for wanted in discardable:
        matches = [s for s in pe.sections if section_name(s) == wanted]
        if len(matches) != 1:
            raise SystemExit("%s: expected one section %s, found sections %s"
                             % (path, wanted, ", ".join(names)))
        matches[0].Characteristics |= IMAGE_SCN_MEM_DISCARDABLE
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
    parser.add_argument("images", nargs="+")
    args = parser.parse_args()
    for path in args.images:
        fix(path, args.discardable)
    return 0


if __name__ == "__main__":
    sys.exit(main())
