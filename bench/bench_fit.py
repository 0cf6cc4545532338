"""Default fits against statsmodels' SARIMAX(...).fit(), side by side in one process.

For each model: the best of several timed runs of each, the speed ratio, and both
log-likelihoods (ours must be equal or better).
"""
import pathlib
import time
import warnings

import numpy as np
import statsmodels.api as sm

import pelmora

root = pathlib.Path(__file__).resolve().parent.parent
y = np.log(np.loadtxt(root / "examples" / "air_passengers.csv", delimiter=",", skiprows=2, usecols=1))

MODELS = [((0, 1, 1), (0, 1, 1, 12)), ((2, 1, 2), (0, 0, 0, 0)), ((1, 1, 1), (1, 1, 1, 12))]


def best_seconds(fn, repeat):
    best = np.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


for order, seasonal in MODELS:
    t_ours, ours = best_seconds(lambda: pelmora.sarimax_fit(y, order, seasonal), 10)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = sm.tsa.SARIMAX(y, order=order, seasonal_order=seasonal, trend_offset=0)
        t_peer, peer = best_seconds(lambda: model.fit(disp=False), 3)
    print(f"{order}{seasonal}: pelmora {t_ours * 1e3:8.2f} ms (loglike {ours['loglike']:.4f}), "
          f"statsmodels {t_peer * 1e3:8.2f} ms (loglike {peer.llf:.4f}), speed ratio {t_peer / t_ours:.0f}x")
