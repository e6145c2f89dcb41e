#!/usr/bin/env python3
"""Replaces each file of a Wine prefix that is a byte-for-byte copy of a file
of Wine's own installation (the PE libraries and programs that wineboot
copies into C:\\windows) with a symbolic link to that file. A fresh prefix
holds over a gigabyte of such copies; linked, it is a few megabytes to keep
and to unpack, and Wine reads the same bytes through the links.

usage: link_wine_files.py PREFIX
"""
import filecmp
import glob
import os
import sys


def wine_files():
    """Wine's own files by name: the folders of its PE builds."""
    by_name = {}
    for folder in glob.glob("/usr/lib/*/wine/*-windows"):
        for entry in os.scandir(folder):
            if entry.is_file(follow_symlinks=False):
                by_name.setdefault(entry.name.lower(), []).append(entry.path)
    return by_name


def main():
    prefix = sys.argv[1]
    originals = wine_files()
    linked = saved = 0
    for folder, _, names in os.walk(os.path.join(prefix, "drive_c", "windows")):
        for name in names:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                continue
            size = os.path.getsize(path)
            for original in originals.get(name.lower(), []):
                if os.path.getsize(original) == size and filecmp.cmp(path, original, shallow=False):
                    os.remove(path)
                    os.symlink(original, path)
                    linked += 1
                    saved += size
                    break
    print(f"run32 (guest): linked {linked} files of the prefix to Wine's own "
          f"({saved // (1024 * 1024)} MiB)")


if __name__ == "__main__":
    main()
