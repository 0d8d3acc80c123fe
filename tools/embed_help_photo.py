#!/usr/bin/env python3
"""Writes the help photo as PNG into a C++ source for pelvoran-server.

    embed_help_photo.py bitmap100.bmp help_photo.png help_photo.cpp
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bmp_to_png import convert  # noqa: E402

bmp, png, cpp = sys.argv[1:4]
convert(bmp, png)
data = open(png, "rb").read()
lines = [", ".join(str(b) for b in data[i:i + 24]) for i in range(0, len(data), 24)]
with open(cpp, "w") as out:
    out.write("// Generated from the program's help bitmap; do not edit.\n"
              "#include <cstddef>\n\nnamespace pelvoran::server {\n\n"
              "extern const unsigned char kHelpPhotoPng[] = {\n    " +
              ",\n    ".join(lines) + "};\n"
              "extern const std::size_t kHelpPhotoPngSize = %d;\n\n"
              "} // namespace pelvoran::server\n" % len(data))
