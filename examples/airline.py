"""The classic airline model, (0,1,1)(0,1,1,12) on the log of the monthly airline passengers.

Fits the model by exact maximum likelihood, prints the fit, forecasts 24 months ahead with 95%
intervals, and saves a plot of the history, the forecast and its band as airline_forecast.png in
the current directory.
"""
import pathlib

import numpy as np

import pelmora

here = pathlib.Path(__file__).resolve().parent
data = np.loadtxt(here / "air_passengers.csv", delimiter=",", skiprows=2)
time, passengers = data[:, 0], data[:, 1]
y = np.log(passengers)
order, seasonal = (0, 1, 1), (0, 1, 1, 12)

print(f"pelmora {pelmora.version()}: airline model {order}{seasonal} on log passengers, "
      f"{len(y)} months 1949-1960\n")
fit = pelmora.sarimax_fit(y, order, seasonal)
theta, seasonal_theta, sigma2 = fit["params"]
print("Fitted parameters")
print(f"  ma.L1     theta   {theta: .4f}")
print(f"  ma.S.L12  Theta   {seasonal_theta: .4f}")
print(f"  sigma2            {sigma2: .6f}")
print(f"log-likelihood {fit['loglike']:.3f}   AIC {fit['aic']:.3f}   BIC {fit['bic']:.3f}")
print(f"n_obs {fit['n_obs']}   iterations {fit['n_iter']}   converged {fit['converged']}   "
      f"method {fit['method']}\n")

steps = 24
forecast = pelmora.sarimax_forecast(y, order, seasonal, np.array(fit["params"]), steps=steps, alpha=0.05)
future = time[-1] + np.arange(1, steps + 1) / 12.0
mean = np.exp(forecast["mean"])
lower, upper = np.exp(forecast["ci_lower"]), np.exp(forecast["ci_upper"])
print("Forecast (thousands of passengers, 95% interval)")
print("  month      mean     lower     upper")
for t, m, lo, hi in zip(future, mean, lower, upper):
    year, month = int(t + 1e-9), int(round((t - int(t + 1e-9)) * 12)) + 1
    print(f"  {year}-{month:02d}  {m:8.1f}  {lo:8.1f}  {hi:8.1f}")

import matplotlib  # noqa: E402  (only the example plots)

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

fig, ax = plt.subplots(figsize=(10, 5))
ax.plot(time, passengers, color="black", lw=1.2, label="passengers 1949-1960")
ax.fill_between(future, lower, upper, color="tab:blue", alpha=0.25, label="95% interval")
ax.plot(future, mean, color="tab:blue", lw=1.6, label="forecast")
ax.set_title("Airline passengers: SARIMA(0,1,1)(0,1,1,12) on the log scale, 24-month forecast")
ax.set_xlabel("year")
ax.set_ylabel("passengers (thousands)")
ax.legend(loc="upper left")
ax.grid(alpha=0.3)
fig.tight_layout()
out = pathlib.Path.cwd() / "airline_forecast.png"
fig.savefig(out, dpi=110)
print(f"\nplot saved to {out}")
