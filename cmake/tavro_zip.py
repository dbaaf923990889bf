#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes a zip of the files under a folder, reproducibly: the files in
sorted order, each with the one given time, mode 644 (755 for .dll and
.exe), no other metadata, deflated.

    tavro_zip.py ZIP FOLDER "Fri, 11 Dec 2026 12:00:00 +0000"
"""

import email.utils
import os
import sys
import zipfile


def main():
    out, folder, when = sys.argv[1], sys.argv[2], sys.argv[3]
    stamp = email.utils.parsedate_to_datetime(when).utctimetuple()[:6]
    names = []
    for top, dirs, files in os.walk(folder):
        for f in files:
            names.append(os.path.relpath(os.path.join(top, f), folder).replace(os.sep, "/"))
    with zipfile.ZipFile(out, "w") as z:
        for name in sorted(names):
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.create_system = 3  # Unix, for the mode below
            mode = 0o755 if name.endswith((".dll", ".exe")) else 0o644
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(folder, name), "rb") as f:
                z.writestr(info, f.read(), compresslevel=9)


if __name__ == "__main__":
    main()
