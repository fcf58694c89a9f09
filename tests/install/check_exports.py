#!/usr/bin/env python3
"""Checks the shared library's exported names against what the project promises.

The library must export every function its public headers declare and every name listed in
exports/documented.txt (the internal functions and globals the system's documents name, which
applications and tools may reach). Everything else it exports must be listed in exports/other.txt,
so that a new exported name shows up in review. Names are compared demangled, with their full
parameter types.

Only the library's own definitions count: weak definitions (template and inline instantiations
from the standard library and the queue headers), type information and virtual tables depend on
the compiler and the optimisation level and are not part of the interface.

    check_exports.py --library libtarn_c_sdk.so --headers include \\
        --documented exports/documented.txt --other exports/other.txt [--update]

With --update, exports/other.txt is rewritten from the library instead of checked.
"""
import argparse
import pathlib
import re
import subprocess
import sys

# nm's letters for strong definitions: text, initialised and zeroed data, read-only data, ifunc.
STRONG_TYPES = set("TDBRi")
CLASS_COMPANIONS = ("typeinfo for ", "typeinfo name for ", "vtable for ", "VTT for ",
                    "construction vtable for ")
C_KEYWORDS = {"void", "int", "char", "short", "long", "unsigned", "signed", "float", "double",
              "bool", "const", "volatile", "struct", "enum", "union", "sizeof", "return",
              "__attribute__", "alignas", "alignof", "decltype", "static_assert",
              "_Static_assert", "noexcept"}
SKIPPED_STATEMENTS = ("typedef", "using", "template", "static_assert", "_Static_assert",
                      "class", "namespace")


def exported_names(library, nm, cxxfilt):
    listing = subprocess.run([nm, "-D", "--defined-only", library], check=True,
                             capture_output=True, text=True).stdout
    mangled = [fields[2] for fields in (line.split() for line in listing.splitlines())
               if len(fields) == 3 and fields[1] in STRONG_TYPES]
    demangled = subprocess.run([cxxfilt], input="\n".join(mangled), check=True,
                               capture_output=True, text=True).stdout
    # The C++11 string ABI tag follows a name's type, not its meaning: leave it out. Type
    # information and virtual tables follow their class, and compilers differ on whether they are
    # weak: leave them out too.
    names = {re.sub(r"\[abi:\w+\]", "", name) for name in demangled.splitlines() if name}
    return {name for name in names if not name.startswith(CLASS_COMPANIONS)}


def declared_functions(header_text):
    """Names of the functions a header declares at file scope (or in extern "C" blocks)."""
    text = re.sub(r"/\*.*?\*/", " ", header_text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    text = re.sub(r"^\s*#(?:[^\n]*\\\n)*[^\n]*", " ", text, flags=re.M)
    text = re.sub(r'extern\s+"C"\s*\{', " ", text)
    statements, current, depth = [], [], 0
    for char in text:
        if char == "{":
            depth += 1
        elif char == "}":
            if depth == 0:  # the end of an extern "C" block
                continue
            depth -= 1
        current.append(char)
        if depth == 0 and char in ";}":
            statements.append("".join(current).strip())
            current = []
    names = set()
    for statement in statements:
        if "{" in statement or statement.startswith(SKIPPED_STATEMENTS):
            continue
        for name in re.findall(r"([A-Za-z_]\w*)\s*\(", statement):
            if name not in C_KEYWORDS:
                names.add(name)
                break
    return names


def read_list(path):
    if not path.exists():
        return set()
    return {line.strip() for line in path.read_text().splitlines()
            if line.strip() and not line.startswith("#")}


def exports(name, exported):
    """The exported names that define the header function `name`."""
    return [e for e in exported if e == name or e.startswith(name + "(")]


OTHER_HEADER = """\
# Names libtarn_c_sdk exports beyond its public headers and exports/documented.txt: the library's
# own helpers. Review every change here: each line is a name an application can reach or clash
# with. Regenerate after a deliberate change with
#   cmake --build <build> --target update_export_list
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--library", required=True)
    parser.add_argument("--headers", required=True, type=pathlib.Path)
    parser.add_argument("--skip", action="append", default=[],
                        help="a header below --headers that belongs to another library")
    parser.add_argument("--documented", required=True, type=pathlib.Path)
    parser.add_argument("--other", required=True, type=pathlib.Path)
    parser.add_argument("--nm", default="nm")
    parser.add_argument("--cxxfilt", default="c++filt")
    parser.add_argument("--update", action="store_true")
    args = parser.parse_args()

    exported = exported_names(args.library, args.nm, args.cxxfilt)
    documented = read_list(args.documented)
    problems = []

    header_exports = set()
    for header in sorted(args.headers.rglob("*.h")):
        if str(header.relative_to(args.headers)) in args.skip:
            continue
        for name in sorted(declared_functions(header.read_text())):
            found = exports(name, exported)
            if not found:
                problems.append(f"{header.relative_to(args.headers)} declares {name}, "
                                "which the library does not export")
            header_exports.update(found)
    for name in sorted(documented - exported):
        problems.append(f"documented name not exported: {name}")

    expected_other = exported - documented - header_exports
    if args.update:
        args.other.write_text(OTHER_HEADER + "".join(n + "\n" for n in sorted(expected_other)))
        print(f"wrote {len(expected_other)} names to {args.other}")
        return 1 if problems else 0

    other = read_list(args.other)
    for name in sorted(expected_other - other):
        problems.append(f"exported but not listed: {name}\n"
                        f"    add it to {args.other.name} (or give it internal linkage)")
    for name in sorted(other - expected_other):
        reason = "is no longer exported" if name not in exported else "is already required"
        problems.append(f"listed in {args.other.name} but {reason}: {name}\n"
                        f"    remove it from {args.other.name}")

    for problem in problems:
        print(problem)
    if problems:
        print(f"\n{len(problems)} difference(s); after a deliberate change regenerate the list "
              "with: cmake --build <build> --target update_export_list")
        return 1
    print(f"{len(exported)} exported names: {len(header_exports)} from the public headers, "
          f"{len(documented)} documented, {len(other)} others, all as listed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
