#pragma once
// ExactSum: the exact sum of any number of doubles, rounded once (to nearest, ties to
// even) when it is read. Because no addend is ever rounded, the value does not depend on
// the order in which the addends arrive, nor on how they were split into partial sums
// over threads or processes and merged: a zone sum is the same whether its cells were
// added by one thread of one process or by many.
//
// The sum is held as a fixed-point integer over the whole range of finite doubles: digit
// i (a signed 64-bit limb) has the weight 2^(32 i - 1074), so the least significant digit
// counts the smallest subnormal. Every addend touches at most three adjacent digits; the
// carries are propagated only when the digits could overflow, and whenever the sum is
// read or merged. Infinite and NaN addends are counted apart, so that they combine as in
// ordinary floating-point addition (inf + -inf is NaN).
//
// Merging two accumulators adds their digits; since integer addition is exact and
// associative, so is the sum of accumulators handed around by an MPI integer reduction.

#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

namespace tolvo {

class ExactSum {
 public:
  // Digits 0..kDigits-1; the highest ones hold the carries of sums beyond the double range.
  static constexpr int kDigits = 70;
  // The counters of +inf, -inf and NaN addends follow the digits in the packed form.
  static constexpr int kCounters = 3;

  void Add(double x) {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    const auto biased = static_cast<int>((bits >> 52) & 0x7ff);
    std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
    if (biased == 0x7ff) {
      AddNonFinite(x);
      return;
    }
    // Normal numbers carry the hidden bit; subnormals share the exponent of biased 1.
    int bit = 0;
    if (biased != 0) {
      mantissa |= std::uint64_t{1} << 52;
      bit = biased - 1;
    }
    if (mantissa == 0) return;
    const int digit = bit >> 5;
    const int shift = bit & 31;
    const std::uint64_t low = mantissa << shift;
    const std::uint64_t high = shift == 0 ? 0 : mantissa >> (64 - shift);
    const std::int64_t sign = (bits >> 63) != 0 ? -1 : 1;
    digits_[static_cast<std::size_t>(digit)] += sign * static_cast<std::int64_t>(low & 0xffffffffU);
    digits_[static_cast<std::size_t>(digit) + 1] += sign * static_cast<std::int64_t>(low >> 32);
    digits_[static_cast<std::size_t>(digit) + 2] += sign * static_cast<std::int64_t>(high);
    if (++pending_ == kMaxPending) Normalize();
  }

  // Adds the other accumulator's sum.
  void Merge(const ExactSum& other);
  void Clear() { *this = ExactSum(); }
  // The sum rounded to the nearest double (ties to even); +-inf beyond the double range.
  double Value() const;
  bool IsZero() const;

  // Propagates the carries so that every digit but the highest lies in [-2^31, 2^31).
  void Normalize();
  // First and last non-zero digit after Normalize; {kDigits, -1} for none.
  std::array<int, 2> UsedDigits() const;
  // The digits first..last followed by the kCounters counters (Normalize first), and the
  // inverse, which clears every digit outside first..last.
  void Pack(int first, int last, std::span<std::int64_t> out) const;
  void Unpack(int first, int last, std::span<const std::int64_t> in);

 private:
  // Digits start within [-2^32, 2^32] after Normalize and each Add moves one by less than
  // 2^32, so 2^30 adds leave a wide margin below 2^63.
  static constexpr std::int64_t kMaxPending = std::int64_t{1} << 30;

  void AddNonFinite(double x);

  std::array<std::int64_t, kDigits> digits_{};
  std::array<std::int64_t, kCounters> counters_{};  // +inf, -inf, NaN
  std::int64_t pending_ = 0;
};

// Collective: adds the accumulators of every process into those of process 0 (the other
// processes' accumulators come back normalised but otherwise unchanged). Only the digits
// that some process uses travel, as 64-bit integers summed by MPI_SUM; `scratch` is a
// buffer kept by the caller between steps. All processes pass the same number of sums.
void ReduceExactSums(std::span<ExactSum> sums, std::vector<std::int64_t>& scratch);
// The same for several groups of sums at once, in two collective calls whatever the number
// of groups: each sum ends as ReduceExactSums would leave it. All processes pass the same
// number of groups, each of the same size.
void ReduceExactSums(std::span<const std::span<ExactSum>> groups, std::vector<std::int64_t>& scratch);
// Collective, as ReduceExactSums, but every process ends with the sums of all processes,
// so that each reads the same values without a broadcast.
void AllReduceExactSums(std::span<const std::span<ExactSum>> groups, std::vector<std::int64_t>& scratch);

}  // namespace tolvo
