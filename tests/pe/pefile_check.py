#!/usr/bin/python3
"""What the packer wrote, read by an independent PE reader (Debian's
python3-pefile), not by the project's own PE code: the header's checksum,
time stamp and system versions, the alignment of every section, the sections and their flags, the
slots and what they point at (the stored payload, the texts), the resource tree (version, manifest, icon group and its icons) and the version
texts.

Usage: pefile_check.py GUI_EXE CONSOLE_EXE VERSIONED_EXE LARGE_EXE (with 5 MiB of files)"""
import struct
import sys

import pefile

failures = []


def check(condition, text):
    print(("ok: " if condition else "FAILED: ") + text)
    if not condition:
        failures.append(text)


gui, console, versioned, large = (pefile.PE(path) for path in sys.argv[1:5])
S = pefile.SECTION_CHARACTERISTICS

for name, pe in (("GUI", gui), ("console", console), ("versioned", versioned), ("large", large)):
    check(pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum(),
          "%s: the optional header's checksum is the file's (%#x)" % (name, pe.OPTIONAL_HEADER.CheckSum))
    check(pe.FILE_HEADER.TimeDateStamp == 0, "%s: no time stamp" % name)
    opt = pe.OPTIONAL_HEADER
    versions = (opt.MajorOperatingSystemVersion, opt.MinorOperatingSystemVersion,
                opt.MajorSubsystemVersion, opt.MinorSubsystemVersion)
    check(versions == (6, 0, 6, 0), "%s: marked for Windows 6.0, OS and subsystem (%s)" % (name, versions))
    align = pe.OPTIONAL_HEADER.FileAlignment
    check(align in (512, 4096) and pe.OPTIONAL_HEADER.SectionAlignment == 4096
          and pe.OPTIONAL_HEADER.SizeOfHeaders % align == 0
          and all(s.PointerToRawData % align == 0 and s.SizeOfRawData % align == 0 for s in pe.sections),
          "%s: sections at file alignment %d, section alignment 4096" % (name, align))
    sections = {s.Name.rstrip(b"\0").decode(): s for s in pe.sections}
    text, slots, payload = sections.get(".text"), sections.get(".tarven"), sections.get(".payload")
    check(text is not None and text.Characteristics & S["IMAGE_SCN_MEM_EXECUTE"]
          and not text.Characteristics & S["IMAGE_SCN_MEM_WRITE"], "%s: .text executable, not writable" % name)
    for section, what in ((slots, ".tarven"), (payload, ".payload")):
        check(section is not None and section.Characteristics & S["IMAGE_SCN_CNT_INITIALIZED_DATA"]
              and section.Characteristics & S["IMAGE_SCN_MEM_READ"]
              and not section.Characteristics & (S["IMAGE_SCN_MEM_WRITE"] | S["IMAGE_SCN_MEM_EXECUTE"]),
              "%s: %s is read-only data" % (name, what))
    fields = struct.unpack_from("<8sQ8I", slots.get_data()) if slots else (b"",) + (0,) * 9
    magic, size, payload_rva, template_rva = fields[0], fields[1], fields[2], fields[3]
    stored = pe.get_data(payload_rva, 3) if payload_rva else b""
    check(magic == b"TVNSLOT2" and payload and payload_rva == payload.VirtualAddress and stored == b"WEQ"
          and size <= payload.Misc_VirtualSize,
          "%s: the slots point at the stored payload at the start of .payload (%d bytes)" % (name, size))
    template = pe.get_data(template_rva, 512).decode("utf-16-le", "replace").split("\0")[0] if template_rva else ""
    check(template.startswith("{TEMP}\\") and template.endswith("{RANDOM}"),
          "%s: the slots point at the template (%s)" % (name, template))
    check(pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].VirtualAddress == sections[".rsrc"].VirtualAddress,
          "%s: the resource directory is the .rsrc section" % name)
    last = max(pe.sections, key=lambda s: s.VirtualAddress)
    image_end = last.VirtualAddress + ((last.Misc_VirtualSize + 4095) & ~4095)
    check(pe.OPTIONAL_HEADER.SizeOfImage == image_end, "%s: SizeOfImage ends with the last section" % name)
    types = {e.id: e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries}
    RT = pefile.RESOURCE_TYPE
    check(all(t in types for t in (RT["RT_VERSION"], RT["RT_MANIFEST"], RT["RT_GROUP_ICON"], RT["RT_ICON"])),
          "%s: version, manifest, icon group and icons in the resource tree" % name)
    icons = types[RT["RT_ICON"]].directory.entries if RT["RT_ICON"] in types else []
    group = types[RT["RT_GROUP_ICON"]].directory.entries[0].directory.entries[0].data.struct \
        if RT["RT_GROUP_ICON"] in types else None
    if group is not None:
        raw = pe.get_data(group.OffsetToData, group.Size)
        count = struct.unpack_from("<H", raw, 4)[0]
        ids = sorted(struct.unpack_from("<H", raw, 6 + 14 * i + 12)[0] for i in range(count))
        check(count == 7 and ids == sorted(e.id for e in icons), "%s: the icon group names its 7 icons" % name)
    manifest = types[RT["RT_MANIFEST"]].directory.entries[0].directory.entries[0].data.struct \
        if RT["RT_MANIFEST"] in types else None
    text_of = pe.get_data(manifest.OffsetToData, manifest.Size) if manifest else b""
    check(b"longPathAware" in text_of and b"asInvoker" in text_of, "%s: the manifest" % name)

check(gui.OPTIONAL_HEADER.FileAlignment == 512 and large.OPTIONAL_HEADER.FileAlignment == 4096,
      "small payloads at file alignment 512, large ones at 4096 (pages)")
check(gui.OPTIONAL_HEADER.Subsystem == 2, "a GUI program by default")
check(console.OPTIONAL_HEADER.Subsystem == 3, "a console program with --console")
strings = {}
for info in getattr(versioned, "FileInfo", [[]])[0] if hasattr(versioned, "FileInfo") else []:
    for table in getattr(info, "StringTable", []):
        strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
check(strings.get("CompanyName") == "Tarven Tests Éditions" and strings.get("ProductName") == "Probe Product"
      and strings.get("FileVersion") == "1.2.3.4", "the version texts (%s)" % strings)
fixed = versioned.VS_FIXEDFILEINFO[0]
check((fixed.FileVersionMS, fixed.FileVersionLS) == ((1 << 16) | 2, (3 << 16) | 4), "the fixed version 1.2.3.4")

print("%d failed" % len(failures))
sys.exit(1 if failures else 0)
