#include "framework/exact_sum.h"

#include <mpi.h>

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <limits>

namespace tolvo {

namespace {

constexpr int kLowestExponent = -1074;  // weight of digit 0: the smallest subnormal

}  // namespace

void ExactSum::AddNonFinite(double x) {
  if (std::isnan(x)) {
    ++counters_[2];
  } else if (x > 0) {
    ++counters_[0];
  } else {
    ++counters_[1];
  }
}

void ExactSum::Normalize() {
  for (std::size_t i = 0; i + 1 < digits_.size(); ++i) {
    const std::int64_t v = digits_[i];
    // The low 32 bits read as a signed number: v - low is a multiple of 2^32.
    const auto low = static_cast<std::int64_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(v)));
    digits_[i] = low;
    digits_[i + 1] += (v - low) / (std::int64_t{1} << 32);
  }
  pending_ = 0;
}

void ExactSum::Merge(const ExactSum& other) {
  if (pending_ + other.pending_ + 1 >= kMaxPending) Normalize();
  for (std::size_t i = 0; i < digits_.size(); ++i) digits_[i] += other.digits_[i];
  for (std::size_t k = 0; k < counters_.size(); ++k) counters_[k] += other.counters_[k];
  pending_ += other.pending_ + 1;
  if (pending_ >= kMaxPending) Normalize();
}

bool ExactSum::IsZero() const {
  ExactSum copy = *this;
  copy.Normalize();
  return copy.UsedDigits()[1] < 0 && counters_ == std::array<std::int64_t, kCounters>{};
}

std::array<int, 2> ExactSum::UsedDigits() const {
  int first = kDigits;
  int last = -1;
  for (int i = 0; i < kDigits; ++i) {
    if (digits_[static_cast<std::size_t>(i)] == 0) continue;
    if (first == kDigits) first = i;
    last = i;
  }
  return {first, last};
}

void ExactSum::Pack(int first, int last, std::span<std::int64_t> out) const {
  assert(out.size() == static_cast<std::size_t>(last - first + 1 + kCounters));
  std::size_t k = 0;
  for (int i = first; i <= last; ++i) out[k++] = digits_[static_cast<std::size_t>(i)];
  for (const std::int64_t counter : counters_) out[k++] = counter;
}

void ExactSum::Unpack(int first, int last, std::span<const std::int64_t> in) {
  assert(in.size() == static_cast<std::size_t>(last - first + 1 + kCounters));
  digits_.fill(0);
  std::size_t k = 0;
  for (int i = first; i <= last; ++i) digits_[static_cast<std::size_t>(i)] = in[k++];
  for (std::int64_t& counter : counters_) counter = in[k++];
  // Unpacked digits may each be the sum of many processes' normalised digits.
  Normalize();
}

double ExactSum::Value() const {
  const auto& [pos_inf, neg_inf, nan] = counters_;
  if (nan > 0 || (pos_inf > 0 && neg_inf > 0)) return std::numeric_limits<double>::quiet_NaN();
  if (pos_inf > 0) return std::numeric_limits<double>::infinity();
  if (neg_inf > 0) return -std::numeric_limits<double>::infinity();

  ExactSum m = *this;
  m.Normalize();
  // With balanced digits the sign of the sum is the sign of its highest non-zero digit.
  const int top_balanced = m.UsedDigits()[1];
  if (top_balanced < 0) return 0.0;
  const bool negative = m.digits_[static_cast<std::size_t>(top_balanced)] < 0;
  if (negative) {
    for (std::int64_t& d : m.digits_) d = -d;
  }
  // Digits in [0, 2^32) from here on: the magnitude as a plain binary number.
  for (std::size_t i = 0; i + 1 < m.digits_.size(); ++i) {
    const std::int64_t v = m.digits_[i];
    const std::int64_t low = v & 0xffffffff;
    m.digits_[i] = low;
    m.digits_[i + 1] += (v - low) / (std::int64_t{1} << 32);
  }
  const int top = m.UsedDigits()[1];
  const auto digit = [&m](int i) -> std::uint64_t {
    return i < 0 ? 0 : static_cast<std::uint64_t>(m.digits_[static_cast<std::size_t>(i)]);
  };
  // Highest set bit of the magnitude.
  const int top_bit = top * 32 + static_cast<int>(std::bit_width(digit(top))) - 1;
  if (top_bit + kLowestExponent >= 1024) {
    return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  }
  double magnitude = 0;
  if (top_bit < 53) {
    // At most 53 significant bits above the smallest subnormal: exactly representable.
    const std::uint64_t value = digit(0) | (digit(1) << 32);
    magnitude = std::ldexp(static_cast<double>(value), kLowestExponent);
  } else {
    // The 64 bits from top_bit down, and whether any lower bit is set.
    const int low_bit = top_bit - 63;
    std::uint64_t window = 0;
    for (int b = top * 32; b >= low_bit - 31; b -= 32) {
      const int i = b / 32;
      if (i < 0) break;
      const int offset = i * 32 - low_bit;  // position of digit i's bit 0 in the window
      const std::uint64_t d = digit(i);
      if (offset >= 0) {
        window |= d << offset;
      } else if (offset > -32) {
        window |= d >> -offset;
      }
    }
    bool sticky = false;
    for (int i = 0; i * 32 < low_bit && !sticky; ++i) {
      const int bits_below = low_bit - i * 32;  // bits of digit i under the window
      const std::uint64_t d = digit(i);
      sticky = bits_below >= 32 ? d != 0 : (d & ((std::uint64_t{1} << bits_below) - 1)) != 0;
    }
    // Round the 64-bit window to 53 bits, to nearest with ties to even.
    std::uint64_t mantissa = window >> 11;
    const std::uint64_t rest = window & 0x7ff;
    if (rest > 0x400 || (rest == 0x400 && (sticky || (mantissa & 1) != 0))) ++mantissa;
    magnitude = std::ldexp(static_cast<double>(mantissa), low_bit + 11 + kLowestExponent);
  }
  return negative ? -magnitude : magnitude;
}

namespace {

// Sums the groups of every process on process 0, or on every process.
void CombineExactSums(std::span<const std::span<ExactSum>> groups, std::vector<std::int64_t>& scratch,
                      bool everywhere) {
  // The digit window that holds every process's non-zero digits: the lowest first digit and
  // the highest last digit (negated, so that one MPI_MIN finds both). A wider window than a
  // group needs changes nothing: the digits outside its own are zero.
  std::array<int, 2> window{ExactSum::kDigits, 1};
  std::size_t n_sums = 0;
  for (const std::span<ExactSum> sums : groups) {
    n_sums += sums.size();
    for (ExactSum& sum : sums) {
      sum.Normalize();
      const std::array<int, 2> used = sum.UsedDigits();
      window[0] = std::min(window[0], used[0]);
      window[1] = std::min(window[1], -used[1]);
    }
  }
  MPI_Allreduce(MPI_IN_PLACE, window.data(), 2, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  const int first = window[0];
  const int last = std::max(-window[1], first - 1);
  const auto per_sum = static_cast<std::size_t>(last - first + 1 + ExactSum::kCounters);
  const std::size_t total = per_sum * n_sums;
  if (scratch.size() < total) scratch.resize(total);
  const std::span<std::int64_t> packed(scratch.data(), total);
  std::size_t k = 0;
  for (const std::span<ExactSum> sums : groups) {
    for (const ExactSum& sum : sums) sum.Pack(first, last, packed.subspan(k++ * per_sum, per_sum));
  }

  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  const int count = static_cast<int>(total);
  if (everywhere) {
    MPI_Allreduce(MPI_IN_PLACE, packed.data(), count, MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
  } else if (rank != 0) {
    MPI_Reduce(packed.data(), nullptr, count, MPI_INT64_T, MPI_SUM, 0, MPI_COMM_WORLD);
    return;
  } else {
    MPI_Reduce(MPI_IN_PLACE, packed.data(), count, MPI_INT64_T, MPI_SUM, 0, MPI_COMM_WORLD);
  }
  k = 0;
  for (const std::span<ExactSum> sums : groups) {
    for (ExactSum& sum : sums) sum.Unpack(first, last, packed.subspan(k++ * per_sum, per_sum));
  }
}

}  // namespace

void ReduceExactSums(std::span<ExactSum> sums, std::vector<std::int64_t>& scratch) {
  const std::span<ExactSum> group[] = {sums};
  CombineExactSums(group, scratch, false);
}

void ReduceExactSums(std::span<const std::span<ExactSum>> groups, std::vector<std::int64_t>& scratch) {
  CombineExactSums(groups, scratch, false);
}

void AllReduceExactSums(std::span<const std::span<ExactSum>> groups, std::vector<std::int64_t>& scratch) {
  CombineExactSums(groups, scratch, true);
}

}  // namespace tolvo
