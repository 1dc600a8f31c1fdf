"""Usage: python tools/compare_pvalues.py REFERENCE OTHER

Compares two tables of p-values (one 64-bit pattern in hex per line), such
as a build against glibc and one against Windows' C library: prints how many
differ and by how much, and fails when any differs at all."""
import struct
import sys


def read(path):
    with open(path) as f:
        return [struct.unpack("<d", struct.pack("<Q", int(line.strip(), 16)))[0] for line in f if line.strip()]


def main(reference_path, other_path):
    reference, other = read(reference_path), read(other_path)
    assert len(reference) == len(other), (len(reference), len(other))
    differences = [abs(a - b) for a, b in zip(reference, other) if a != b]
    worst = max(differences, default=0.0)
    print(f"p-values: {len(differences)} of {len(reference)} differ, at most by {worst:.3g}")
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
