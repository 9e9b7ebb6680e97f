#include "framework/grid_file_format.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <sys/stat.h>

#include "framework/diagnostics_log.h"
#include "framework/grid_table.h"

namespace tolvo {
namespace {

// The sixth number of the file read as T, when the file is long enough to hold it.
template <typename T>
std::optional<T> SixthNumber(std::span<const std::byte> head) {
  constexpr std::size_t offset = 5 * sizeof(T);
  if (head.size() < offset + sizeof(T)) return std::nullopt;
  T value;
  std::memcpy(&value, head.data() + offset, sizeof(T));
  return value;
}

template <typename T>
bool HasBinaryNodata(std::span<const std::byte> head) {
  const std::optional<T> nodata = SixthNumber<T>(head);
  return nodata && static_cast<double>(*nodata) == kBinaryFileNodata;
}

// The first n bytes as text; empty when the file is shorter.
std::string_view Leading(std::span<const std::byte> head, std::size_t n) {
  if (head.size() < n) return {};
  return {reinterpret_cast<const char*>(head.data()), n};
}

bool IsNetCdf(std::span<const std::byte> head) {
  // The four bytes as a text that ends at the first zero byte.
  // An empty file's span may have no data pointer at all, which memcpy must not be given.
  char text[5] = {};
  if (!head.empty()) std::memcpy(text, head.data(), std::min<std::size_t>(head.size(), 4));
  const std::string_view signature(text);
  return signature.starts_with("CDF") || signature.substr(std::min<std::size_t>(1, signature.size())).starts_with("HDF");
}

}  // namespace

std::optional<GridFileFormat> RecogniseGridFile(std::span<const std::byte> head) {
  if (IsNetCdf(head)) return GridFileFormat::NetCdf;
  const std::string_view four = Leading(head, 4);
  if (four == "ncol" || four == "NCOL") return GridFileFormat::Ascii;
  if (HasBinaryNodata<double>(head)) return GridFileFormat::DoubleBinary;
  if (HasBinaryNodata<float>(head)) return GridFileFormat::FloatBinary;
  if (four == "GIF8") return GridFileFormat::Gif;
  return std::nullopt;
}

std::optional<StackFileFormat> RecogniseStackFile(std::span<const std::byte> head) {
  if (Leading(head, 5) == "stack") return StackFileFormat::Ascii;
  if (HasBinaryNodata<double>(head)) return StackFileFormat::DoubleBinary;
  if (HasBinaryNodata<float>(head)) return StackFileFormat::FloatBinary;
  return std::nullopt;
}

namespace {

constexpr bool IsSpace(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f';
}

}  // namespace

AsciiScanner::AsciiScanner(std::FILE* file, std::size_t buffer_bytes)
    : file_(file), buffer_(std::max(buffer_bytes, 4 * kLookahead)) {}

void AsciiScanner::Refill() {
  // Keep the unread bytes and append as much of the file as fits.
  std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
  end_ -= pos_;
  pos_ = 0;
  while (!at_eof_ && end_ < buffer_.size()) {
    const std::size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_);
    end_ += got;
    if (got == 0) at_eof_ = true;
  }
}

bool AsciiScanner::SkipSpace() {
  for (;;) {
    while (pos_ < end_ && IsSpace(buffer_[pos_])) ++pos_;
    if (pos_ < end_ && (end_ - pos_ >= kLookahead || at_eof_)) return true;
    if (at_eof_) return false;
    Refill();
  }
}

bool AsciiScanner::SkipWord() {
  if (!SkipSpace()) return false;
  for (;;) {
    while (pos_ < end_ && !IsSpace(buffer_[pos_])) ++pos_;
    if (pos_ < end_ || at_eof_) return true;
    Refill();
  }
}

std::optional<double> AsciiScanner::Number() {
  if (!SkipSpace()) return std::nullopt;
  const char* first = buffer_.data() + pos_;
  const char* last = buffer_.data() + end_;
  // from_chars takes no "+"; a sign followed by another sign is no number.
  const char* digits = first;
  if (*digits == '+' && digits + 1 < last && digits[1] != '-' && digits[1] != '+') ++digits;
  double value = 0;
  const auto [ptr, error] = std::from_chars(digits, last, value);
  if (error == std::errc::invalid_argument) return std::nullopt;
  // Out of range: "%lf" gives the overflowed or underflowed value and goes on.
  if (error == std::errc::result_out_of_range) value = std::strtod(std::string(first, ptr).c_str(), nullptr);
  pos_ += static_cast<std::size_t>(ptr - first);
  return value;
}

std::size_t AsciiScanner::Numbers(std::span<double> values) {
  std::size_t count = 0;
  for (double& value : values) {
    const std::optional<double> number = Number();
    if (!number) break;
    value = *number;
    ++count;
  }
  return count;
}

std::string PrefixPath(std::string_view directory, std::string_view name) {
  if (directory.empty() || name.starts_with('/') || name.starts_with('~')) return std::string(name);
  return std::string(directory) + std::string(name);
}

RequiredFileBytes RequiredAsciiBytes(double count) { return {std::max(2 * count - 1, 0.0), false}; }

RequiredFileBytes RequiredBinaryBytes(double count, std::size_t value_bytes) {
  return {(kGridHeaderCount + count) * static_cast<double>(value_bytes), true};
}

std::optional<long long> RegularFileBytes(std::FILE* file) {
  struct stat status {};
  if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return static_cast<long long>(status.st_size);
}

std::string FileSizeMismatch(const std::string& declared, RequiredFileBytes need, long long file_bytes) {
  char bytes[64];
  std::snprintf(bytes, sizeof bytes, "%.0f", need.bytes);
  return "the header declares " + declared + ", which take" + (need.exact ? " exactly " : " at least ") +
         bytes + " bytes, but the file has " + std::to_string(file_bytes) + " bytes";
}

void LogGeometryComparison(const RunContext& run, const std::string& path, const GridFileHeader& header) {
  const auto last_characters = [](const std::string& text) {
    constexpr std::size_t kShown = 35;
    return text.size() > kShown ? text.substr(text.size() - kShown) : text;
  };
  std::string zone_file;
  if (const grid_table* table = run.grids) zone_file = table->zone_grid().file_name.value_or("");
  const GridGeometry& model = run.geometry;
  run.log() << last_characters(zone_file) << " " << last_characters(path) << "\n"
            << model.ncols << " " << header.ncols() << "\n"
            << model.nrows << " " << header.nrows() << "\n"
            << model.xllcorner << " " << header.xllcorner() << "\n"
            << model.yllcorner << " " << header.yllcorner() << "\n"
            << model.cellsize << " " << header.cellsize() << "\n"
            << model.nodata_value << " " << header.nodata_value();
}

}  // namespace tolvo
