"""The classic airline model, (0,1,1)(0,1,1,12) on the log of the monthly airline passengers.

Evaluates the exact Gaussian log-likelihood at the textbook estimates of Box & Jenkins.
"""
import pathlib

import numpy as np

import pelmora

here = pathlib.Path(__file__).resolve().parent
passengers = np.loadtxt(here / "air_passengers.csv", delimiter=",", skiprows=2, usecols=1)
y = np.log(passengers)

# theta, Theta, sigma2
params = np.array([-0.4018, -0.5569, 0.001348])
loglike = pelmora.sarimax_loglike(y, (0, 1, 1), (0, 1, 1, 12), params)

print(f"pelmora {pelmora.version()}")
print(f"airline model (0,1,1)(0,1,1,12) on log passengers, {len(y)} months 1949-1960")
print(f"parameters: theta={params[0]}, Theta={params[1]}, sigma2={params[2]}")
print(f"exact log-likelihood: {loglike:.6f}")
