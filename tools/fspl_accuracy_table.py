#!/usr/bin/env python3
"""Accuracy of kelvora_fspl.magnification over the mpmath reference grid.

Reads tests/data/fspl_reference.csv (tools/gen_fspl_reference.py: every row
computed by two independent mpmath routes that agree to 1e-18, so an error
against the table is the error against either route) and prints, per law, the
largest relative error over the whole grid and over its regions: the lens
inside the source, within 1e-4 of the limb (u/rho = 1 +- 1e-7, 1e-4 and 1
itself), outside it, and the far field (u >= 8 rho, the series).

With --tolerance T the magnification is computed at that tolerance; with
--tolerances, one line per tolerance of the largest error over every law
(the limb-darkened ones; the uniform disk is a closed form at any
tolerance), against the tolerance itself.

Usage:  .venv/bin/python tools/fspl_accuracy_table.py [--tolerance T | --tolerances]
"""

import argparse

import csv
import math
from collections import defaultdict
from pathlib import Path

import numpy as np

import kelvora_fspl

TABLE = Path(__file__).resolve().parents[1] / "tests/data/fspl_reference.csv"


def region(u: float, rho: float) -> str:
    x = u / rho
    if abs(x - 1) <= 1.5e-4:
        return "limb"
    if x < 1:
        return "inside"
    if x < 8:
        return "outside"
    return "far field"


def coefficients_of(r: dict[str, str]):
    if r["law"] == "tabulated":
        return [float(x) for x in r["mu_nodes"].split()], [float(x) for x in r["intensities"].split()]
    return tuple(float(r[c]) for c in ("c1", "c2") if r[c])


def tolerance_lines(rows: list[dict[str, str]]) -> None:
    print(f"kelvora_fspl against {TABLE.name} ({len(rows)} rows), limb-darkened laws")
    print()
    print("| tolerance | largest error | at (law, u/rho, rho) |")
    print("|--:|--:|:--|")
    for tolerance in (1e-9, 1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3):
        worst, where = 0.0, ""
        for r in rows:
            if r["law"] == "uniform":
                continue
            u, rho = float(r["u"]), float(r["rho"])
            value = float(kelvora_fspl.magnification(u, rho, r["law"], coefficients_of(r), tolerance=tolerance))
            error = abs(value / float(r["magnification"]) - 1.0)
            if error > worst:
                worst, where = error, f"{r['law']}, {u / rho:.7g}, {rho:g}"
        print(f"| {tolerance:.0e} | {worst:.1e} | {where} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tolerance", type=float, default=kelvora_fspl.DEFAULT_TOLERANCE)
    parser.add_argument("--tolerances", action="store_true")
    args = parser.parse_args()
    rows = [r for r in csv.DictReader(line for line in TABLE.open() if not line.startswith("#"))]
    if args.tolerances:
        tolerance_lines(rows)
        return
    worst: dict[str, dict[str, float]] = defaultdict(lambda: defaultdict(float))
    count: dict[str, int] = defaultdict(int)
    rhos: dict[str, set[float]] = defaultdict(set)
    for r in rows:
        law = r["law"]
        if law == "tabulated":
            coefficients = ([float(x) for x in r["mu_nodes"].split()], [float(x) for x in r["intensities"].split()])
            key = law
        else:
            coefficients = tuple(float(r[c]) for c in ("c1", "c2") if r[c])
            key = f"{law} {coefficients}" if coefficients else law
        u, rho, reference = float(r["u"]), float(r["rho"]), float(r["magnification"])
        value = float(kelvora_fspl.magnification(u, rho, law, coefficients, tolerance=args.tolerance))
        error = abs(value / reference - 1.0) if math.isfinite(value) else math.inf
        for name in ("all", region(u, rho)):
            worst[key][name] = max(worst[key][name], error)
        count[key] += 1
        rhos[key].add(rho)
    regions = ["all", "inside", "limb", "outside", "far field"]
    print(f"kelvora_fspl against {TABLE.name} ({len(rows)} rows), tolerance {args.tolerance:g}")
    print()
    print("| law (coefficients) | rows | rho | " + " | ".join(regions) + " |")
    print("|---|---|---|" + "---|" * len(regions))
    for key in worst:
        span = f"{min(rhos[key]):g} ... {max(rhos[key]):g}"
        print(f"| {key} | {count[key]} | {span} | " + " | ".join(f"{worst[key][g]:.1e}" for g in regions) + " |")


if __name__ == "__main__":
    np.seterr(all="raise")
    main()
