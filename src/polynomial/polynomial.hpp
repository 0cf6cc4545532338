#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "params/params.hpp"
#include "types/types.hpp"

namespace pelmora {

// Lag polynomials as coefficient vectors in increasing powers of L, element 0 being 1.
// AR signs are negated ([1, -phi_1, ...]); MA signs are kept ([1, theta_1, ...]).
std::vector<double> make_ar_poly(std::span<const double> ar, std::size_t p);
std::vector<double> make_ma_poly(std::span<const double> ma, std::size_t q);
std::vector<double> make_seasonal_ar_poly(std::span<const double> seasonal_ar, std::size_t s);
std::vector<double> make_seasonal_ma_poly(std::span<const double> seasonal_ma, std::size_t s);
std::vector<double> polymul(std::span<const double> a, std::span<const double> b);

// phi(L) * Phi(L^s), p + P*s + 1 coefficients.
std::vector<double> reduced_ar(const SarimaxParams& params, const SarimaxOrder& order);
// theta(L) * Theta(L^s), q + Q*s + 1 coefficients.
std::vector<double> reduced_ma(const SarimaxParams& params, const SarimaxOrder& order);

}  // namespace pelmora
