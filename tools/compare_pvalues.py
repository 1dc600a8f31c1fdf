"""Usage: python tools/compare_pvalues.py REFERENCE OTHER [--exact]

Compares two tables of p-values (one 64-bit pattern in hex per line), such
as glibc's and Windows' C library's: prints how many differ and by how much,
and fails when any differs by more than 2**-52 in absolute terms, or at all
with --exact."""
import struct
import sys

TOLERANCE = 2.0**-52


def read(path):
    with open(path) as f:
        return [struct.unpack("<d", struct.pack("<Q", int(line.strip(), 16)))[0] for line in f if line.strip()]


def main(reference_path, other_path, *options):
    tolerance = 0.0 if "--exact" in options else TOLERANCE
    reference, other = read(reference_path), read(other_path)
    assert len(reference) == len(other), (len(reference), len(other))
    differences = [abs(a - b) for a, b in zip(reference, other) if a != b]
    worst = max(differences, default=0.0)
    print(f"p-values: {len(differences)} of {len(reference)} differ, at most by {worst:.3g} (allowed {tolerance:.3g})")
    return 0 if worst <= tolerance else 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
