#pragma once

// Shipped real series for the C++ tests.
#include <cmath>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace pelmora::testing {

// A CSV of tests/data: a comment naming the source, a header, then time,value rows.
inline std::vector<double> load_series(const std::string& name) {
  std::ifstream in(std::string(PELMORA_TEST_DATA_DIR) + "/" + name + ".csv");
  std::string line;
  std::getline(in, line);
  std::getline(in, line);
  std::vector<double> values;
  while (std::getline(in, line)) values.push_back(std::stod(line.substr(line.find(',') + 1)));
  return values;
}

// n independent N(0, sd^2) draws from a fixed seed.
inline std::vector<double> gaussian_noise(std::size_t n, unsigned seed, double sd = 1.0) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, sd);
  std::vector<double> x(n);
  for (double& v : x) v = normal(rng);
  return x;
}

inline std::vector<double> log_airline() {
  std::vector<double> y = load_series("air_passengers");
  for (double& v : y) v = std::log(v);
  return y;
}

}  // namespace pelmora::testing
