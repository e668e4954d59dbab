#!/usr/bin/env python3
"""Throughput estimates of the kernel's inner loops by llvm-mca, from the compiler's own assembly.

    python3 tools/mca_loops.py neon  [--cxx aarch64-linux-gnu-g++] [--mca llvm-mca-19]
    python3 tools/mca_loops.py avx2  [--cxx g++]

Compiles the instruction-set unit (src/core/fused_kernel_neon.cpp or fused_kernel_avx2.cpp) to
assembly with the build's optimisation and floating-point flags, takes the innermost loops of the
block functions for a gray guidance and a three-channel image (8-bit output), and runs llvm-mca
on each loop body for the CPUs named below. It prints the model's cycles per loop iteration and
per pixel-offset (an iteration handles `pixels` pixels of one window offset).

The loops, found by the instructions they hold:
  exact pass 1   exact_block: table lookups, products with the spatial weight, the weight sum
  exact pass 2   exact_block: each weight divided by the sum, times three channels, summed
  double cheap   cheap_block (K = 3): pass 1 with the three weighted sums (FMA) beside it
  single pass    float_block: the float32 weights (exp2 by table and polynomial) and sums
A loop the compiler split or unrolled differently is reported as missing rather than guessed.
"""
import argparse
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FLAGS = ["-O3", "-DNDEBUG", "-std=c++17", "-ffp-contract=off", "-fno-fast-math", f"-I{ROOT / 'src'}"]

# unit: (source, pixels per iteration of pass 1 and 2 and the double pass, of the single pass,
# floats per vector register, the CPUs to model, the target)
UNITS = {
    "neon": ("src/core/fused_kernel_neon.cpp", 4, 16, 4, ["neoverse-v1", "apple-m1"], "aarch64"),
    "avx2": ("src/core/fused_kernel_avx2.cpp", 8, 16, 8, ["znver4", "skylake"], "x86_64"),
    "avx512": ("src/core/fused_kernel_avx512.cpp", 16, 16, 16, ["znver4", "skylake-avx512"], "x86_64"),
}


def functions(asm):
    """{demangled name: [lines]} of the assembly's functions."""
    names = re.findall(r"^(_Z\S+):$", asm, re.M)
    demangled = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True,
                               check=True).stdout.splitlines()
    out, current = {}, None
    mangled_to_name = dict(zip(names, demangled))
    for line in asm.splitlines():
        m = re.match(r"^(_Z\S+):$", line)
        if m:
            current = mangled_to_name[m.group(1)]
            out[current] = []
        elif current is not None:
            out[current].append(line)
            if line.strip().startswith(".size"):
                current = None
    return out


def innermost_loops(lines, comment):
    """Loop bodies (label to backward branch) that hold no other loop, as instruction lines;
    `comment` starts a comment in this assembly ("#" on x86, where AArch64 writes immediates
    with it)."""
    labels, body = {}, []
    for line in lines:
        m = re.match(r"^(\.L\w+):", line)
        if m:
            labels[m.group(1)] = len(body)
            continue
        text = line.split(comment)[0].strip()
        if text and not text.startswith("."):
            body.append(text)
    loops = []
    for j, ins in enumerate(body):
        target = re.search(r"(\.L\w+)\s*$", ins)
        if target and target.group(1) in labels and labels[target.group(1)] <= j and re.match(r"(b|j)", ins):
            loops.append((labels[target.group(1)], j))
    inner = [(i, j) for i, j in loops if not any(i <= a and b <= j and (a, b) != (i, j) for a, b in loops)]
    return [body[i:j + 1] for i, j in inner]


def mnemonics(loop):
    return [ins.split()[0] for ins in loop]


def pick(loops, want, avoid=()):
    """The largest loop whose instructions include every pattern of `want` and none of `avoid`."""
    fits = [lp for lp in loops
            if all(any(re.match(w, m) for m in mnemonics(lp)) for w in want)
            and not any(re.match(a, m) for a in avoid for m in mnemonics(lp))]
    return max(fits, key=len) if fits else None


def mca(loop, triple, cpu, tool):
    with tempfile.NamedTemporaryFile("w", suffix=".s") as f:
        f.write("\n".join(loop) + "\n")
        f.flush()
        args = [tool, f"-mtriple={triple}", f"-mcpu={cpu}", "-iterations=200", f.name]
        if triple == "x86_64":
            args.insert(1, "--x86-asm-syntax=att")
        out = subprocess.run(args, capture_output=True, text=True)
    if out.returncode != 0:
        return None, out.stderr.strip().splitlines()[0]
    total = int(re.search(r"Total Cycles:\s+(\d+)", out.stdout).group(1))
    return total / 200, ""


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("unit", choices=UNITS)
    p.add_argument("--cxx", help="compiler (default: aarch64-linux-gnu-g++ for neon, g++ for avx2)")
    p.add_argument("--mca", default="llvm-mca-19", help="llvm-mca to run (default: llvm-mca-19)")
    p.add_argument("--cpu", action="append", help="CPU models (default: the unit's two)")
    p.add_argument("--show", action="store_true", help="print each loop's instructions")
    p.add_argument("--split", action="store_true",
                   help="NEON's pass 2 with the AVX2 path's split quotients (Pair::quotient_in_fma_domain)")
    a = p.parse_args()
    source, block_pixels, single_pixels, float_lanes, cpus, triple = UNITS[a.unit]
    cxx = a.cxx or ("aarch64-linux-gnu-g++" if a.unit == "neon" else "g++")
    comment = "//" if a.unit == "neon" else "#"
    code = (ROOT / source).read_text()
    if a.unit != "avx2":
        # Paired rows are off on these paths, so their loops are compiled only for the estimate.
        code = code.replace("static constexpr bool pairs = false;", "static constexpr bool pairs = true;")
    asm = subprocess.run([cxx, *FLAGS, "-x", "c++", "-S", "-o", "-", "-"], input=code, capture_output=True,
                         text=True, check=True).stdout
    funcs = functions(asm)
    vec = {"neon": "Pair<NeonVec>", "avx2": "Pair<Avx2Vec>", "avx512": "Pair<Avx512Vec>"}[a.unit]

    def find(pattern):
        """The innermost loops of the function whose name, without namespaces, matches."""
        for name, lines in funcs.items():
            short = name.replace("sovelk::fused::detail::", "").replace("(anonymous namespace)::", "")
            if re.match(pattern, short):
                return innermost_loops(lines, comment)
        return []

    v = re.escape(vec)
    exact = find(rf"void exact_block<{v}, 1, \(Weigh\)0>")
    # Pass 2 as the path runs it on typical weights: the AVX2 path splits its quotients between
    # the divider and the FMA units (Quotient 1), the others divide (Quotient 0).
    quotient = "1" if a.unit == "avx2" or a.split else "0"
    pass2 = find(rf"void accumulate_group<{v}, \(Quotient\){quotient}>")
    cheap = find(rf"unsigned int cheap_block<{v}, 1, \(Weigh\)0, 3, false>")
    single = find(rf"FloatOutcome float_block<{v}, [^,]+(<[^>]*>)?, 1, \(Weigh\)0, 3>")
    pair_weights = find(r"void paired_weights<[^,]+(<[^>]*>)?, 1>")
    paired_rows = find(rf"void paired_row<{v}, [^,]+(<[^>]*>)?, 1, \(Weigh\)0, 3>")
    div = r"(fdiv|vdivpd)"
    fma = r"(fmla|vfmadd\w*pd)"
    loops = [
        ("exact pass 1", pick(exact, [r"(ld1|vmovhpd|vmovsd)", r"(fmul|vmulpd)", r"(fadd|vaddpd)"], [div]), block_pixels),
        # Three channels: six products (seven where half of the quotients take a reciprocal).
        ("exact pass 2", pick([lp for lp in pass2 if sum(re.match(r"(fmul|vmulpd)", m) is not None
                                                       for m in mnemonics(lp)) in (6, 7)], [div]), block_pixels),
        ("double cheap", pick(cheap, [fma, r"(fmul|vmulpd)", r"(fadd|vaddpd)"], [div]), block_pixels),
        ("single pass", pick(single, [r"(fmla|vfmadd\w*ps)", r"(tbl|vpermps)"]), single_pixels),
        # Paired rows: a pair's weight serves two pixels, so a pixel-offset costs half a weight
        # and one run step (the pair's weight added to the sums, three channels' products).
        ("pair weights", pick(pair_weights, [r"(tbl|vpermps)"]), 2 * single_pixels),
        ("paired runs", pick([lp for lp in paired_rows if sum(re.match(r"(fmla|vfmadd\w*ps)", m) is not None
                                                          for m in mnemonics(lp)) == 3 * single_pixels // float_lanes],
                             [r"(fadd|vaddps)"], [r"(tbl|vpermps)"]), single_pixels),
    ]
    print(f"{a.unit}: {cxx} {' '.join(FLAGS[:-1])}; {a.mca} -mtriple={triple}")
    print(f"{'loop':14} {'instr':>5} " + " ".join(f"{c + ' cyc/it':>18} {'cyc/po':>7}" for c in cpus))
    per_offset = {}
    for name, loop, pixels in loops:
        if loop is None:
            print(f"{name:14} missing")
            continue
        cells = []
        for cpu in cpus:
            cycles, error = mca(loop, triple, cpu, a.mca)
            per_offset[name, cpu] = cycles / pixels if cycles is not None else None
            cells.append(f"{cycles:18.2f} {cycles / pixels:7.3f}" if cycles is not None else f"{error[:26]:>26}")
        print(f"{name:14} {len(loop):5} " + " ".join(cells))
        if a.show:
            print("    " + "\n    ".join(loop))
    for what, parts in (("exact (1 + 2)", ("exact pass 1", "exact pass 2")),
                        ("single paired", ("pair weights", "paired runs"))):
        sums = [sum(per_offset.get((part, cpu)) or float("nan") for part in parts) for cpu in cpus]
        print(f"{what:14} {'':5} " + " ".join(f"{'':18} {x:7.3f}" for x in sums))


if __name__ == "__main__":
    sys.exit(main())
