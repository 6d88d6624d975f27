"""Kingham curves of tungsten: the charge-state fractions against the field.

    python3 examples/kingham_curves.py [output.png]
"""

import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import veltrane  # noqa: E402

E = np.arange(12.0, 95.0, 0.5)
result = veltrane.fractions("Tungsten", 4, E)
fig, ax = plt.subplots(figsize=(7, 4.5))
for k, f in enumerate(result["f"], start=1):
    ax.plot(E, np.log10(np.where(f > 0, f, np.nan)), label=f"W{k}+")
for row in veltrane.equal_abundance("Tungsten", 4):
    ax.axvline(row["F"], color="0.6", linestyle="--", linewidth=0.8)
ax.set_ylim(-4, 0)
ax.set_xlabel("E [V/nm]")
ax.set_ylabel("log10 f")
ax.set_title("Tungsten: charge-state fractions after Kingham")
ax.legend()
fig.tight_layout()
fig.savefig(sys.argv[1] if len(sys.argv) > 1 else "kingham_curves.png", dpi=120)
