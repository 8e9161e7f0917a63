"""The real event MOA-2008-BLG-310 (Janczak et al. 2010): its seven IPAC
tables read as the archive describes them, and the example's fit with no
start."""

import importlib.util
import os
import re

import pytest

np = pytest.importorskip("numpy")

from _support import EXAMPLES, run_example  # noqa: E402
from kelvora_fspl import Dataset  # noqa: E402

DATA = EXAMPLES / "data" / "MOA-2008-BLG-310"


def needs(*modules):
    """Skip unless these modules are installed, without importing them here:
    the examples import them in their own processes (and pyerfa, scipy and
    jax make ufuncs at import that LeakSanitizer would report in this one)."""
    missing = [m for m in modules if importlib.util.find_spec(m) is None]
    if missing:
        pytest.skip(f"the example needs {', '.join(missing)} (pip install '.[examples,jax]')")


def keyword(path, name):
    for line in path.read_text().splitlines():
        if line.startswith("\\" + name):
            return line.split("=", 1)[1].strip().strip('"')
    raise KeyError(name)


@pytest.mark.parametrize("path", sorted(DATA.glob("*.tbl")), ids=lambda p: p.name.split("_")[0])
def test_the_tables_read_as_their_headers_describe_them(path):
    data = Dataset.from_file(path)
    assert len(data) == int(keyword(path, "NUMBER_OF_POINTS"))
    assert data.band == keyword(path, "TIME_SERIES_DATA_FILTER")
    assert data.time.min() == pytest.approx(float(keyword(path, "MINIMUM_DATE")), abs=1e-6)
    assert data.time.max() == pytest.approx(float(keyword(path, "MAXIMUM_DATE")), abs=1e-6)


@pytest.mark.no_refleak_repeat("work done in a child process")
def test_the_example_fits_a_source_crossing_event_with_no_start():
    pytest.importorskip("scipy")
    out = run_example("fit_moa_2008_blg_310.py", "--quick")
    values = dict(re.findall(r"^  (u0|rho|tE) += (\S+)", out, re.M))
    # Janczak et al. 2010: the lens crossed the source (u0 < rho), and the
    # finite-source fit is better than the point source's by far.
    assert float(values["u0"]) < float(values["rho"])
    delta = float(re.search(r"delta chi2 \(point - finite source\) = (\S+)", out).group(1))
    assert delta > 1e4


@pytest.mark.skipif(bool(os.environ.get("KELVORA_SANITIZER")),
                    reason="scipy under LeakSanitizer: its import-time ufuncs are reported")
def test_a_rough_start_does_not_fall_into_the_point_source_minimum():
    # rho ten times too small and u0 seven times too large: an unscaled
    # least-squares fit (x_scale=1) stops in the point-source-like minimum,
    # chi2 six times too large; the fit's own scaling (ln rho, x_scale='jac')
    # reaches the minimum that a fit with no start finds.
    pytest.importorskip("scipy")
    from kelvora_fspl import Event

    datasets = [Dataset.from_file(p) for p in sorted(DATA.glob("*.tbl"))]
    u1 = {"I": 0.55, "R": 0.63, "H": 0.36, "unfiltered": 0.60}
    event = Event(datasets, "linear", {band: (value,) for band, value in u1.items()})
    best = event.fit()
    rough = event.fit({"t0": 2454656.4, "u0": 0.02, "tE": 20.0, "rho": 0.0005})
    assert rough.chi2 == pytest.approx(best.chi2, abs=0.5)
    assert rough.params["rho"] == pytest.approx(best.params["rho"], rel=1e-3)
    trapped = event.fit({"t0": 2454656.4, "u0": 0.02, "tE": 20.0, "rho": 0.0005}, x_scale=1.0)
    assert trapped.chi2 > 5 * best.chi2  # the minimum this fit avoids


@pytest.mark.no_refleak_repeat("work done in a child process")
def test_the_parallax_example_finds_the_published_parallax():
    # OGLE-2005-BLG-086 (OGLE-III, Wyrzykowski et al. 2015): annual parallax
    # improves the fit by about 400 in chi2; the parallax vector found is
    # (pi_EN, pi_EE) = (-0.30 +- 0.03, 0.110 +- 0.008), u0 < 0, tE = 110 d.
    needs("scipy", "erfa")
    out = run_example("fit_ogle_2005_blg_086.py", "--quick")
    chi2 = [float(x) for x in re.findall(r"chi2 = (\S+) for", out)]
    assert len(chi2) == 2 and chi2[0] - chi2[1] > 300
    parallax = out.split("annual parallax", 1)[1]
    found = {name: (float(v), float(e)) for name, v, e in
             re.findall(r"^  (u0|tE|pi_EN|pi_EE) += (\S+) \+- (\S+)", parallax, re.M)}
    assert found["u0"][0] < 0 and abs(found["tE"][0] - 110) < 3 * found["tE"][1]
    assert abs(found["pi_EN"][0] + 0.30) < 0.05 and abs(found["pi_EE"][0] - 0.11) < 0.02
    assert 0.01 < found["pi_EN"][1] < 0.05 and 0.004 < found["pi_EE"][1] < 0.015


@pytest.mark.no_refleak_repeat("work done in a child process")
def test_the_sampling_example_runs_a_short_chain():
    # Smoke run (30 warm-up, 30 samples): the chain stays near the
    # least-squares optimum, within its errors.
    needs("scipy", "jax", "numpyro")
    out = run_example("sample_moa_2008_blg_310.py", "--quick", timeout=300)
    assert "effective samples per second" in out
    rows = {m[0]: [float(x) for x in m[1:]] for m in
            re.findall(r"^(t0|u0|tE|rho)\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)$", out, re.M)}
    assert set(rows) == {"t0", "u0", "tE", "rho"}
    for name, (mean, sd, ls, error) in rows.items():
        assert abs(mean - ls) < 5 * error, name
