#include "kalman/sliding_covariance.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace pelmora {

namespace {

// out = sum of the terms' values times their columns of C, in one pass (terms in order, so the
// sums round as successive additions would).
void combine(std::size_t n, const auto* terms, std::size_t count, const double* C, double* __restrict out) {
  if (count == 0) {
    std::fill(out, out + n, 0.0);
    return;
  }
  const double* __restrict c0 = C + terms[0].slot * n;
  const double v0 = terms[0].value;
  if (count == 1) {
    for (std::size_t i = 0; i < n; ++i) out[i] = v0 * c0[i];
    return;
  }
  const double* __restrict c1 = C + terms[1].slot * n;
  const double v1 = terms[1].value;
  if (count == 2) {
    for (std::size_t i = 0; i < n; ++i) out[i] = v0 * c0[i] + v1 * c1[i];
    return;
  }
  const double* __restrict c2 = C + terms[2].slot * n;
  const double v2 = terms[2].value;
  for (std::size_t i = 0; i < n; ++i) out[i] = v0 * c0[i] + v1 * c1[i] + v2 * c2[i];
  for (std::size_t t = 3; t < count; ++t) {
    const double* __restrict ct = C + terms[t].slot * n;
    const double vt = terms[t].value;
    for (std::size_t i = 0; i < n; ++i) out[i] += vt * ct[i];
  }
}

// out = g - c pz over n values.
inline void shifted_difference(std::size_t n, const double* __restrict g, double c, const double* __restrict pz,
                               double* __restrict out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = g[i] - c * pz[i];
}

// y -= a x. Only one triangle is stored, so no rounding order is needed for symmetry.
inline void subtract_scaled(std::size_t n, double a, const double* __restrict x, double* __restrict y) {
  for (std::size_t i = 0; i < n; ++i) y[i] -= a * x[i];
}

// The per-step kernels are plain loops over short columns; on x86-64 a second copy compiled for
// AVX2 is chosen at load time where the processor has it. No FMA: both copies round alike.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define PELMORA_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define PELMORA_WIDE_VECTORS
#endif

// Steps between two moves of the matrix back to the end of its buffer.
constexpr std::size_t kSlideSteps = 32;

}  // namespace

std::optional<ChainOrder> ChainOrder::find(const SparseT& T) {
  const std::size_t k = T.k;
  const std::size_t none = k;
  std::vector<std::size_t> count(k, 0), source(k, none), next(k, none);
  for (const auto& e : T.entries) ++count[e.row];
  for (const auto& e : T.entries) {
    if (count[e.row] == 1 && e.value == 1.0) source[e.row] = e.col;
  }
  for (std::size_t i = 0; i < k; ++i) {
    if (source[i] == none) continue;
    if (next[source[i]] != none) return std::nullopt;  // one state copied into two rows
    next[source[i]] = i;
  }
  ChainOrder order;
  order.position.assign(k, none);
  order.copies_previous.assign(k, 0);
  std::size_t placed = 0;
  for (std::size_t head = 0; head < k; ++head) {
    if (source[head] != none) continue;
    for (std::size_t j = head; j != none; j = next[j]) order.position[j] = placed++;
  }
  if (placed != k) return std::nullopt;  // the remaining copy rows form cycles
  for (std::size_t i = 0; i < k; ++i) order.copies_previous[order.position[i]] = source[i] != none ? 1 : 0;
  return order;
}

SparseT ChainOrder::permute(const SparseT& T) const {
  SparseT out;
  out.k = T.k;
  out.entries.reserve(T.entries.size());
  for (const auto& e : T.entries) out.entries.push_back({position[e.row], position[e.col], e.value});
  std::sort(out.entries.begin(), out.entries.end(),
            [](const auto& a, const auto& b) { return a.row != b.row ? a.row < b.row : a.col < b.col; });
  return out;
}

SparseZ ChainOrder::permute(const SparseZ& Z) const {
  SparseZ out;
  out.entries.reserve(Z.entries.size());
  for (const auto& e : Z.entries) out.entries.push_back({position[e.index], e.value});
  std::sort(out.entries.begin(), out.entries.end(), [](const auto& a, const auto& b) { return a.index < b.index; });
  return out;
}

Vector ChainOrder::permute(const Vector& x) const {
  Vector out(x.size());
  for (std::size_t i = 0; i < position.size(); ++i) {
    out[static_cast<Eigen::Index>(position[i])] = x[static_cast<Eigen::Index>(i)];
  }
  return out;
}

void ChainOrder::restore(const Vector& x, Vector& out) const {
  out.resize(x.size());
  for (std::size_t i = 0; i < position.size(); ++i) {
    out[static_cast<Eigen::Index>(i)] = x[static_cast<Eigen::Index>(position[i])];
  }
}

SlidingCovariance::SlidingCovariance(const SparseT& T, const SparseZ& Z, const ChainOrder& order,
                                     const Matrix& R, const Matrix& Q, const Matrix& P0)
    : k_(T.k), copies_previous_(order.copies_previous), entries_(T.entries) {
  const std::size_t k = k_;
  row_begin_.assign(k + 1, 0);
  for (const auto& e : entries_) ++row_begin_[e.row + 1];
  for (std::size_t i = 0; i < k; ++i) row_begin_[i + 1] += row_begin_[i];
  // Sized up front: the set-up runs on every filter call, and growth would reallocate.
  general_.reserve(k);
  moving_.reserve(k);
  read_.reserve(k);
  z_terms_.reserve(Z.entries.size());
  g_begin_.reserve(k + 1);
  g_terms_.reserve(entries_.size());
  g_equals_pz_.reserve(k);
  std::vector<std::size_t> slot(k, k);
  for (std::size_t i = 0; i < k; ++i) {
    if (copies_previous_[i]) continue;
    general_.push_back(i);
    for (std::size_t e = row_begin_[i]; e < row_begin_[i + 1]; ++e) slot[entries_[e].col] = 0;
  }
  for (const auto& e : Z.entries) slot[e.index] = 0;
  for (std::size_t j = 0; j < k; ++j) {
    if (slot[j] == k) continue;
    slot[j] = read_.size();
    read_.push_back(j);
  }
  for (const auto& e : Z.entries) z_terms_.push_back({slot[e.index], e.value});
  for (std::size_t m = 0; m + 1 < k; ++m) {
    if (copies_previous_[m + 1]) moving_.push_back(m);
  }
  g_begin_.push_back(0);
  for (const std::size_t i : general_) {
    for (std::size_t e = row_begin_[i]; e < row_begin_[i + 1]; ++e) {
      g_terms_.push_back({slot[entries_[e].col], entries_[e].value});
    }
    g_begin_.push_back(g_terms_.size());
    // A differencing row of T often equals Z; its row of T P is then P Z itself.
    const std::size_t b = g_begin_[g_begin_.size() - 2], count = g_terms_.size() - b;
    bool same = count == z_terms_.size();
    for (std::size_t t = 0; same && t < count; ++t) {
      same = g_terms_[b + t].slot == z_terms_[t].slot && g_terms_[b + t].value == z_terms_[t].value;
    }
    g_equals_pz_.push_back(same ? 1 : 0);
  }
  // RQR' from the rows of R that are not zero, each product formed as (R Q) R'. With a NaN or
  // Inf in R or Q every row takes part, as in the dense product (0 * Inf is NaN there too).
  const Matrix RQ = R * Q;
  const bool all_rows = !R.allFinite() || !Q.allFinite();
  std::vector<std::size_t> rows;
  rows.reserve(k);
  for (std::size_t i = 0; i < k; ++i) {
    if (all_rows || !R.row(static_cast<Eigen::Index>(i)).isZero(0.0)) rows.push_back(i);
  }
  rqr_.reserve(rows.size() * (rows.size() + 1) / 2);
  for (const std::size_t l : rows) {
    for (const std::size_t i : rows) {
      const std::size_t pi = order.position[i], pl = order.position[l];
      if (pi < pl) continue;
      double v = 0.0;
      for (Eigen::Index a = 0; a < R.cols(); ++a) {
        v += RQ(static_cast<Eigen::Index>(i), a) * R(static_cast<Eigen::Index>(l), a);
      }
      if (v != 0.0) rqr_.push_back({pi, pl, v});  // NaN included
    }
  }
  top_ = kSlideSteps * (k + 1);
  base_ = top_;
  buffer_.resize(top_ + k * k);
  const std::size_t* position = order.position.data();
  for (std::size_t l = 0; l < k; ++l) {
    double* dst = col(position[l]);
    const double* src = P0.data() + l * k;
    for (std::size_t i = 0; i < k; ++i) dst[position[i]] = src[i];
  }
  const Eigen::Index kk = static_cast<Eigen::Index>(k);
  C_.resize(kk, static_cast<Eigen::Index>(read_.size()));
  G_.resize(kk, static_cast<Eigen::Index>(general_.size()));
  scratch_.resize(kk);
}

PELMORA_WIDE_VECTORS void SlidingCovariance::products(double* pz) const {
  const std::size_t k = k_;
  for (std::size_t r = 0; r < read_.size(); ++r) {
    const std::size_t c = read_[r];
    double* out = C_.data() + r * k;
    for (std::size_t j = 0; j < c; ++j) out[j] = col(j)[c];  // the upper part, from row c
    std::memcpy(out + c, col(c) + c, (k - c) * sizeof(double));
  }
  combine(k, z_terms_.data(), z_terms_.size(), C_.data(), pz);
  for (std::size_t g = 0; g < general_.size(); ++g) {
    double* gi = G_.data() + g * k;
    if (g_equals_pz_[g]) {
      std::copy(pz, pz + k, gi);
    } else {
      combine(k, g_terms_.data() + g_begin_[g], g_begin_[g + 1] - g_begin_[g], C_.data(), gi);
    }
  }
  ready_ = true;
}

double SlidingCovariance::pz_and_f(const SparseZ& Z, Vector& PZ) const {
  products(PZ.data());
  double F = 0.0;
  for (const auto& e : Z.entries) F += e.value * PZ[static_cast<Eigen::Index>(e.index)];
  return F;
}

void SlidingCovariance::rebase() {
  std::memmove(buffer_.data() + top_, buffer_.data() + base_, k_ * k_ * sizeof(double));
  base_ = top_;
}

PELMORA_WIDE_VECTORS void SlidingCovariance::predict(const Vector& PZ, double s) {
  const std::size_t k = k_;
  const double* pz = PZ.data();
  if (!ready_) products(scratch_.data());
  ready_ = false;

  // The copy block: entry (i, l) of the result is entry (i-1, l-1) of P_f = P - s PZ PZ', in
  // place. Only the columns that move into copy columns are updated; the other entries are
  // overwritten below or fall outside the new matrix.
  if (s != 0.0) {
    for (const std::size_t m : moving_) subtract_scaled(k - m, pz[m] * s, pz + m, col(m) + m);
  }
  if (base_ < k + 1) rebase();
  base_ -= k + 1;

  // General rows against every column. Row i of T P_f is g_i - c PZ with c = s (T PZ)_i, and
  // (T P_f T')_il is its entry l-1 for a copy row l, else the sum over row l of T. The copies
  // are written first, below the diagonal as one run and above it strided; the general columns
  // then get their sums. Where both rows are general the later one's value stands, in the one
  // stored entry.
  for (std::size_t g = 0; g < general_.size(); ++g) {
    const std::size_t i = general_[g];
    // With the update skipped (s = 0) P Z plays no part: a NaN or Inf in it must not get in.
    double c = 0.0;
    if (s != 0.0) {
      for (std::size_t e = row_begin_[i]; e < row_begin_[i + 1]; ++e) c += entries_[e].value * pz[entries_[e].col];
      c *= s;
    }
    const double* gi = G_.data() + g * k;
    double* ci = col(i);
    const std::size_t first = std::max<std::size_t>(i, 1);
    if (c != 0.0) {
      for (std::size_t l = 1; l < i; ++l) col(l)[i] = gi[l - 1] - c * pz[l - 1];
      shifted_difference(k - first, gi + first - 1, c, pz + first - 1, ci + first);
    } else {
      for (std::size_t l = 1; l < i; ++l) col(l)[i] = gi[l - 1];
      std::memcpy(ci + first, gi + first - 1, (k - first) * sizeof(double));
    }
    for (const std::size_t l : general_) {
      double v = 0.0;
      for (std::size_t e = row_begin_[l]; e < row_begin_[l + 1]; ++e) {
        const std::size_t m = entries_[e].col;
        v += entries_[e].value * (c != 0.0 ? gi[m] - c * pz[m] : gi[m]);
      }
      if (l >= i) {
        ci[l] = v;
      } else {
        col(l)[i] = v;
      }
    }
  }
  for (const Entry& e : rqr_) col(e.col)[e.row] += e.value;
}

void SlidingCovariance::downdate(const Vector& PZ, double s) {
  const double* pz = PZ.data();
  for (std::size_t m = 0; m < k_; ++m) subtract_scaled(k_ - m, pz[m] * s, pz + m, col(m) + m);
  ready_ = false;
}

void SlidingCovariance::apply_transition(const Vector& x, Vector& out) const {
  const std::size_t k = k_;
  const double* xp = x.data();
  double* o = out.data();
  std::memcpy(o + 1, xp, (k - 1) * sizeof(double));
  for (const std::size_t i : general_) {
    double v = 0.0;
    for (std::size_t e = row_begin_[i]; e < row_begin_[i + 1]; ++e) v += entries_[e].value * xp[entries_[e].col];
    o[i] = v;
  }
}

void SlidingCovariance::copy_to(Matrix& out, const ChainOrder* order) const {
  const std::size_t k = k_;
  out.resize(static_cast<Eigen::Index>(k), static_cast<Eigen::Index>(k));
  for (std::size_t l = 0; l < k; ++l) {
    const std::size_t pl = order != nullptr ? order->position[l] : l;
    for (std::size_t i = l; i < k; ++i) {
      const std::size_t pi = order != nullptr ? order->position[i] : i;
      const double v = pi >= pl ? col(pl)[pi] : col(pi)[pl];  // the stored lower triangle
      out(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(l)) = v;
      out(static_cast<Eigen::Index>(l), static_cast<Eigen::Index>(i)) = v;
    }
  }
}

}  // namespace pelmora
