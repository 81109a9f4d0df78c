"""The C++ standard the installed torch headers demand: the code is C++17,
but torch 2.10 and later refuse to compile their headers below C++20
(ATen/ATen.h says so). One definition for setup.py and the C++ test suite.

    python3 tools/cxx_standard.py INCLUDE_DIR...   prints 17 or 20
"""
import os
import sys


def cxx_standard(include_dirs):
    for d in include_dirs:
        header = os.path.join(d, "ATen", "ATen.h")
        if os.path.isfile(header):
            with open(header, encoding="utf-8", errors="replace") as f:
                return 20 if "202002L" in f.read() else 17
    return 17


if __name__ == "__main__":
    print(cxx_standard(sys.argv[1:]))
