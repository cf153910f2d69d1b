#!/usr/bin/env python3
"""Writes a zip whose bytes depend only on the files given and the time.

    make_zip.py OUT.zip EPOCH FOLDER NAME=PATH...

Every NAME is stored as FOLDER/NAME, in sorted order, dated EPOCH (seconds;
zip dates start in 1980), with no extra fields, so that two runs over the
same files give the same archive. Each records the Unix mode 0644 (readable
by all, writable by the owner), so that unzip on Linux or macOS does not
make the files readable by their owner alone; Windows needs no mode to run
a program, and Wine none either.
"""

import stat
import sys
import time
import zipfile


def main():
    out, epoch, folder, *pairs = sys.argv[1:]
    date = time.gmtime(max(int(epoch), 315532800))[:6]
    entries = sorted(pair.split("=", 1) for pair in pairs)
    with zipfile.ZipFile(out, "w") as archive:
        for name, path in entries:
            info = zipfile.ZipInfo(f"{folder}/{name}", date_time=date)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # Unix: unzip applies the mode below
            info.external_attr = (stat.S_IFREG | 0o644) << 16
            with open(path, "rb") as source:
                archive.writestr(info, source.read(), compresslevel=9)


if __name__ == "__main__":
    main()
