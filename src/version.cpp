// SPDX-License-Identifier: MIT
// The release version, carried in the binary for whoever holds it but cannot
// run it (the daemon has no option that prints it): an ELF note of owner
// "minder" whose text "minder version X" readelf -n, strings and minder-tool
// check show. The linker keeps note sections when it drops unused ones, and
// strip keeps what is loaded, so the note survives --gc-sections, -s and the
// board image's strip. It costs one note of 44 bytes.
asm(".pushsection .note.minder, \"a\"\n"
    ".balign 4\n"
    ".long 2f - 1f\n"  // name size
    ".long 4f - 3f\n"  // text size
    ".long 1\n"        // type: a version
    "1: .asciz \"minder\"\n"
    "2: .balign 4\n"
    "3: .asciz \"minder version " MINDER_VERSION
    "\"\n"
    "4: .balign 4\n"
    ".popsection\n");
