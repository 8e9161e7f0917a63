#!/usr/bin/env python3
"""Accuracy of kelvora_fspl.magnification_and_gradient over the mpmath table.

Reads tests/data/fspl_gradient_reference.csv (tools/gen_fspl_gradient_reference.py:
every derivative computed along two independent routes that agree far below
the errors printed here) and prints, per law, the largest relative error of
dA/du, dA/drho and the coefficient derivatives over the sources up to ten
Einstein radii, with where it occurs (u/rho, rho).  For larger sources,
where A - 1 ~ 2/rho^2 and the derivatives are small differences of terms of
size one, the error is given in units of A/rho (u, rho) and of A
(coefficients): the change of A over a step of the source's size.

Usage:  .venv/bin/python tools/fspl_gradient_accuracy.py
"""

import csv
import math
from pathlib import Path

import kelvora_fspl

TABLE = Path(__file__).resolve().parents[1] / "tests/data/fspl_gradient_reference.csv"
LARGE = 10.0  # above this source radius the errors are given in units of A/rho or A


def coefficients(row: dict[str, str]):
    if row["law"] == "tabulated":
        return [float(x) for x in row["mu_nodes"].split()], [float(x) for x in row["intensities"].split()]
    return tuple(float(row[c]) for c in ("c1", "c2") if row[c])


def main() -> None:
    rows = list(csv.DictReader(line for line in TABLE.open() if not line.startswith("#") and line.strip()))
    laws: list[str] = []
    worst: dict[tuple[str, str], tuple[float, str]] = {}

    def record(law: str, column: str, error: float, where: str) -> None:
        if error > worst.get((law, column), (-1.0, ""))[0]:
            worst[(law, column)] = (error, where)

    for row in rows:
        law = row["law"]
        if law not in laws:
            laws.append(law)
        u, rho = float(row["u"]), float(row["rho"])
        got = [float(x) for x in kelvora_fspl.magnification_and_gradient(
            u, rho, law, coefficients(row), coefficients_gradient=True)]
        want = [float(row["dA_du"]), float(row["dA_drho"])] + [float(x) for x in row["dA_dcoefficients"].split()]
        where = f"u/rho = {u / rho:.7g}, rho = {rho:g}"
        for k, (g, w) in enumerate(zip(got[1:], want)):
            column = "dA/du" if k == 0 else "dA/drho" if k == 1 else "dA/dc"
            if rho <= LARGE:
                if w != 0:
                    record(law, column, abs(g / w - 1.0), where)
                elif k == 0:  # u = 0: dA/du is exactly 0
                    record(law, column, 0.0 if g == 0 else math.inf, where)
            else:
                scale = got[0] / rho if k < 2 else got[0]
                record(law, column + " large", abs(g - w) / scale, where)

    print(f"kelvora_fspl.magnification_and_gradient against {TABLE.name} ({len(rows)} rows)")
    print()
    print(f"Relative error, rho <= {LARGE:g}:")
    print()
    print("| law | dA/du | dA/drho | dA/dc | worst at |")
    print("|---|---|---|---|---|")
    for law in laws:
        cells = [worst.get((law, c), (0.0, "")) for c in ("dA/du", "dA/drho", "dA/dc")]
        at = max(cells)[1]
        print(f"| {law} | " + " | ".join(f"{e:.1e}" for e, _ in cells) + f" | {at} |")
    print()
    print(f"rho > {LARGE:g}: error in units of A/rho (dA/du, dA/drho) and of A (dA/dc):")
    print()
    print("| law | dA/du | dA/drho | dA/dc |")
    print("|---|---|---|---|")
    for law in laws:
        cells = [worst.get((law, c + " large"), (0.0, ""))[0] for c in ("dA/du", "dA/drho", "dA/dc")]
        print(f"| {law} | " + " | ".join(f"{e:.1e}" for e in cells) + " |")


if __name__ == "__main__":
    main()
