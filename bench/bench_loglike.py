"""sarimax_loglike against statsmodels' SARIMAX.loglike, side by side in one process.

Prints the time per evaluation of each and the speed ratio, for the airline model on the log
airline passengers (144 months) at fixed parameters. Model construction is outside both timings.
"""
import pathlib
import timeit
import warnings

import numpy as np
import statsmodels.api as sm

import pelmora

root = pathlib.Path(__file__).resolve().parent.parent
y = np.log(np.loadtxt(root / "examples" / "air_passengers.csv", delimiter=",", skiprows=2, usecols=1))
order, seasonal = (0, 1, 1), (0, 1, 1, 12)
params = np.array([-0.4018, -0.5569, 0.001348])

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    model = sm.tsa.SARIMAX(y, order=order, seasonal_order=seasonal, trend_offset=0)
    ref = model.loglike(params)
ours = pelmora.sarimax_loglike(y, order, seasonal, params)
assert abs(ours - ref) <= 1e-8 * abs(ref), (ours, ref)


def best_per_call(fns, numbers, rounds=15):
    """Best time per call of each function, the rounds interleaved so both see the same machine."""
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, (fn, number) in enumerate(zip(fns, numbers)):
            best[i] = min(best[i], timeit.timeit(fn, number=number) / number)
    return best


with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    t_ours, t_peer = best_per_call(
        [lambda: pelmora.sarimax_loglike(y, order, seasonal, params), lambda: model.loglike(params)], [200, 20]
    )

print(f"airline (0,1,1)(0,1,1,12), n={len(y)}: loglike {ours:.6f} (statsmodels {ref:.6f})")
print(f"pelmora     {t_ours * 1e6:9.1f} us per call")
print(f"statsmodels {t_peer * 1e6:9.1f} us per call")
print(f"speed ratio {t_peer / t_ours:.1f}x")
