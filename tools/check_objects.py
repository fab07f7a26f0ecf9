"""The built lumora module against the arithmetic its sources promise.

    check_objects.py --module lumora.so [--objdump objdump] [--nm nm] OBJECT...

The kernels' bits rest on IEEE operations in the order the source writes
them, each rounded once: a fused multiply-add rounds a·b + c once instead
of twice, and the compiler emits one wherever contraction is allowed and
the instruction set has it (-mfma, or AVX-512F even without it).  The check
fails, naming the object, function and instruction, on

- any fused multiply-add instruction in the module (FMA3 and FMA4 on
  x86-64: vfmadd*, vfmsub*, vfnmadd*, vfnmsub*, vfmaddsub*, vfmsubadd*;
  fmadd, fmsub, fnmadd, fnmsub, fmla, fmls on AArch64);
- a 256- or 512-bit register (ymm, zmm) in an object that is not a vector
  unit (batch_avx2): code the baseline build reaches without a CPU check;
- a global or weak text symbol of a vector unit other than its entry
  points (disk_lanes_<set>, ring_lanes_<set>): an inline function compiled
  there is a COMDAT copy the linker may keep for baseline callers.

Run by ctest (CMakeLists.txt) on the objects of every target of the module.
"""

import argparse
import os
import re
import subprocess
import sys

FUSED = re.compile(r"^(v?fn?m(add|sub)\w*|fml[as]\w*)$")
WIDE = re.compile(r"%?\b[yz]mm\d+\b")
VECTOR_UNIT = re.compile(r"batch_(avx2)\.cpp\.o(bj)?$")


def disassemble(objdump, path):
    """Yields (function, mnemonic, operands) for every instruction."""
    out = subprocess.run([objdump, "-d", "--no-show-raw-insn", "-w", path], check=True, capture_output=True,
                         text=True).stdout
    function = "?"
    for line in out.splitlines():
        head = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if head:
            function = head.group(1)
            continue
        instruction = re.match(r"^\s+[0-9a-f]+:\s+(\S+)\s*(.*)$", line)
        if instruction:
            yield function, instruction.group(1), instruction.group(2)


def text_symbols(nm, path):
    """The global and weak symbols the object defines in a text section."""
    out = subprocess.run([nm, "--defined-only", path], check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[1] in "TWi":
            yield fields[2]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--module", required=True)
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--nm", default="nm")
    parser.add_argument("objects", nargs="+")
    args = parser.parse_args()
    faults = []
    for function, mnemonic, _ in disassemble(args.objdump, args.module):
        if FUSED.match(mnemonic):
            faults.append(f"{os.path.basename(args.module)}: fused multiply-add {mnemonic} in {function}")
    units = 0
    for path in args.objects:
        name = os.path.basename(path)
        vector = VECTOR_UNIT.search(name)
        if vector:
            units += 1
            entry = re.compile(rf"(disk|ring)_lanes_{vector.group(1)}\w*$")
            for symbol in text_symbols(args.nm, path):
                if not entry.search(symbol):
                    faults.append(f"{name}: defines {symbol}, not an entry point")
            continue
        for function, mnemonic, operands in disassemble(args.objdump, path):
            if WIDE.search(operands):
                faults.append(f"{name}: {mnemonic} {operands} in {function}, outside the vector units")
    for fault in faults[:40]:
        print(fault)
    if len(faults) > 40:
        print(f"... and {len(faults) - 40} more")
    print(f"{len(args.objects)} objects ({units} vector units) and {os.path.basename(args.module)}: "
          f"{len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
