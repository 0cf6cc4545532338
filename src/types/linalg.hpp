#pragma once

#include <Eigen/Dense>
#include <vector>

namespace pelmora {

// Dense storage used across the core (column-major).
using Matrix = Eigen::MatrixXd;
using Vector = Eigen::VectorXd;

// Exogenous regressors: one vector of n doubles per regressor, in column order.
using Columns = std::vector<std::vector<double>>;

}  // namespace pelmora
