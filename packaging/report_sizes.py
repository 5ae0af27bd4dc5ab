"""Prints the sizes of the shipped Windows binaries, section by section, and
which members of libgcc each link pulled in (from the linker map).

usage: report_sizes.py [--output FILE] (--image IMAGE --map MAP)...
Run with /usr/bin/python3 (python3-pefile)."""

import argparse
import os
import re
import sys

import pefile

MACHINE_NAMES = {0x014C: "i386", 0x8664: "amd64"}


def libgcc_members(map_path):
    """Archive members of libgcc that the link included."""
    members = []
    try:
        with open(map_path, encoding="latin-1") as handle:
            for line in handle:
                if line.startswith(("Discarded input sections", "Memory Configuration")):
                    break
                match = re.match(r"^\S*libgcc\.a\(([^)]+)\)", line)
                if match and match.group(1) not in members:
                    members.append(match.group(1))
    except OSError:
        return None
    return members


def describe(image, map_path):
    if not os.path.exists(image):
        return ["%s: not built" % image]
    pe = pefile.PE(image, fast_load=True)
    arch = MACHINE_NAMES.get(pe.FILE_HEADER.Machine, "machine 0x%X" % pe.FILE_HEADER.Machine)
    lines = ["%-12s %-6s %7d bytes  %s" % (os.path.basename(image), arch,
                                           os.path.getsize(image), image)]
    parts = ["%s %d" % (s.Name.rstrip(b"\0").decode("latin-1"), s.Misc_VirtualSize)
             for s in pe.sections]
    lines.append("    sections: " + ", ".join(parts))
    members = libgcc_members(map_path)
    if members is not None:
        lines.append("    libgcc members linked: " + (", ".join(members) if members else "none"))
    pe.close()
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--image", action="append", default=[])
    parser.add_argument("--map", action="append", default=[])
    parser.add_argument("--output")
    args = parser.parse_args()
    if len(args.image) != len(args.map):
        parser.error("give one --map for every --image")
    lines = []
    for image, map_path in zip(args.image, args.map):
        lines.extend(describe(image, map_path))
    text = "\n".join(lines) + "\n"
    sys.stdout.write(text)
    if args.output:
        with open(args.output, "w") as handle:
            handle.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
