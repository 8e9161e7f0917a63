#!/usr/bin/env python3
"""Accuracy of kelvora_fspl.magnification_and_gradient over the mpmath table.

Reads tests/data/fspl_gradient_reference.csv (tools/gen_fspl_gradient_reference.py:
every derivative computed along two independent routes that agree far below
the errors printed here) and prints, per law, the largest relative error of
dA/du, dA/drho and the coefficient derivatives over the sources up to ten
Einstein radii, with where it occurs (u/rho, rho); then the same for each of
the sources of 30, 60 and 100 Einstein radii, column by column, with the
u/rho of each worst error, over the lens inside, on and near the limb
(u <= 1.05 rho, 4 Einstein radii outside the limb included) and, apart,
outside (1.1 to 5 source radii: the sums of fspl/core/distant_lens.hpp up to
3, the far-field series from there).  For the largest sources (rho > 100),
where A - 1 ~ 2/rho^2 and the derivatives are small differences of terms of
size one, the error is given in units of A/rho (u, rho) and of A
(coefficients): the change of A over a step of the source's size.

Where the table gives an infinite derivative (the lens on a bright limb)
the error is 0 if the result is the same infinity, inf otherwise.

Usage:  .venv/bin/python tools/fspl_gradient_accuracy.py
"""

import csv
import math
from pathlib import Path

import kelvora_fspl

TABLE = Path(__file__).resolve().parents[1] / "tests/data/fspl_gradient_reference.csv"
SMALL = 10.0   # up to this source radius: one table of relative errors
LARGE = 100.0  # up to this one: a table of relative errors per source radius; beyond, other units
COLUMNS = ("dA/du", "dA/drho", "dA/dc")


def coefficients(row: dict[str, str]):
    if row["law"] == "tabulated":
        return [float(x) for x in row["mu_nodes"].split()], [float(x) for x in row["intensities"].split()]
    return tuple(float(row[c]) for c in ("c1", "c2") if row[c])


def law_label(row: dict[str, str]) -> str:
    if row["law"] in ("uniform", "tabulated"):
        return row["law"]
    return row["law"] + " " + " ".join(row[c] for c in ("c1", "c2") if row[c])


def relative(got: float, want: float) -> float | None:
    if math.isinf(want):
        return 0.0 if got == want else math.inf
    if want == 0:
        return None
    return abs(got / want - 1.0)


def main() -> None:
    rows = list(csv.DictReader(line for line in TABLE.open() if not line.startswith("#") and line.strip()))
    laws: list[str] = []
    large_rhos: list[float] = []
    worst: dict[tuple, tuple[float, str]] = {}

    def record(key: tuple, error: float, where: str) -> None:
        if error > worst.get(key, (-1.0, ""))[0]:
            worst[key] = (error, where)

    for row in rows:
        law = law_label(row)
        if law not in laws:
            laws.append(law)
        u, rho = float(row["u"]), float(row["rho"])
        if SMALL < rho <= LARGE and rho not in large_rhos:
            large_rhos.append(rho)
        got = [float(x) for x in kelvora_fspl.magnification_and_gradient(
            u, rho, row["law"], coefficients(row), coefficients_gradient=True)]
        want = [float(row["dA_du"]), float(row["dA_drho"])] + [float(x) for x in row["dA_dcoefficients"].split()]
        l = u / rho
        for k, (g, w) in enumerate(zip(got[1:], want)):
            column = COLUMNS[min(k, 2)]
            if rho <= LARGE:
                error = relative(g, w)
                if error is None:
                    if k != 0:
                        continue
                    error = 0.0 if g == 0 else math.inf  # u = 0: dA/du is exactly 0
                if rho <= SMALL:
                    record((law, column), error, f"u/rho = {l:.8g}, rho = {rho:g}")
                else:
                    record((law, column, rho, l <= 1.05), error, f"{l:.8g}")
            else:
                scale = got[0] / rho if k < 2 else got[0]
                record((law, column, "large"), abs(g - w) / scale, "")

    print(f"kelvora_fspl.magnification_and_gradient against {TABLE.name} ({len(rows)} rows)")
    print()
    print(f"Relative error, rho <= {SMALL:g}:")
    print()
    print("| law | dA/du | dA/drho | dA/dc | worst at |")
    print("|---|---|---|---|---|")
    for law in laws:
        cells = [worst.get((law, c), (0.0, "")) for c in COLUMNS]
        at = max(cells)[1]
        print(f"| {law} | " + " | ".join(f"{e:.1e}" for e, _ in cells) + f" | {at} |")
    for rho in sorted(large_rhos):
        for near, where in ((True, "u/rho <= 1.05"), (False, "u/rho > 1.05")):
            print()
            print(f"Relative error, rho = {rho:g}, {where} (largest over u/rho, and the u/rho where it occurs):")
            print()
            print("| law | dA/du | at u/rho | dA/drho | at u/rho | dA/dc | at u/rho |")
            print("|---|---|---|---|---|---|---|")
            for law in laws:
                cells = [worst.get((law, c, rho, near), (0.0, "")) for c in COLUMNS]
                print(f"| {law} | " + " | ".join(f"{e:.1e} | {at}" for e, at in cells) + " |")
    print()
    print(f"rho > {LARGE:g}: error in units of A/rho (dA/du, dA/drho) and of A (dA/dc):")
    print()
    print("| law | dA/du | dA/drho | dA/dc |")
    print("|---|---|---|---|")
    for law in laws:
        cells = [worst.get((law, c, "large"), (0.0, ""))[0] for c in COLUMNS]
        print(f"| {law} | " + " | ".join(f"{e:.1e}" for e in cells) + " |")


if __name__ == "__main__":
    main()
