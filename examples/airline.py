"""The classic airline model, (0,1,1)(0,1,1,12) on the log of the monthly airline passengers.

Fits the model by exact maximum likelihood and prints the result.
"""
import pathlib
import pprint

import numpy as np

import pelmora

here = pathlib.Path(__file__).resolve().parent
passengers = np.loadtxt(here / "air_passengers.csv", delimiter=",", skiprows=2, usecols=1)
y = np.log(passengers)

print(f"pelmora {pelmora.version()}")
print(f"airline model (0,1,1)(0,1,1,12) on log passengers, {len(y)} months 1949-1960\n")
fit = pelmora.sarimax_fit(y, (0, 1, 1), (0, 1, 1, 12))
pprint.pprint(fit, sort_dicts=False)

theta, seasonal_theta, sigma2 = fit["params"]
print(f"\ntheta={theta:.4f}  Theta={seasonal_theta:.4f}  sigma2={sigma2:.6f}")
print(f"log-likelihood {fit['loglike']:.4f}, AIC {fit['aic']:.2f}, BIC {fit['bic']:.2f}")
