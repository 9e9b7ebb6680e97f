#include "routing/routing_network.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

#include "framework/diagnostics_log.h"
#include "framework/error_code.h"
#include "routing/routing_description.h"

namespace tolvo {
namespace {

// A read position in the joined text of one block; reads numbers and words the way a
// stream extraction does: leading blanks skipped, the value ends at the first character
// that cannot continue it.
class BlockCursor {
 public:
  explicit BlockCursor(std::string_view text) : text_(text) {}

  // Moves behind the next occurrence of `keyword`; false (position kept) when none follows.
  bool SkipPast(std::string_view keyword) {
    const std::size_t at = text_.find(keyword, position_);
    if (at == std::string_view::npos) return false;
    keyword_at_ = at;
    position_ = at + keyword.size();
    return true;
  }
  void Restart() { position_ = 0; }
  std::size_t position() const { return position_; }
  std::size_t keyword_at() const { return keyword_at_; }

  std::optional<long long> ReadInteger() {
    SkipBlanks();
    const std::string rest(Rest(32));
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(rest.c_str(), &end, 10);
    if (end == rest.c_str() || errno == ERANGE || value < INT_MIN || value > INT_MAX) return std::nullopt;
    position_ += static_cast<std::size_t>(end - rest.c_str());
    return value;
  }
  std::optional<double> ReadReal() {
    SkipBlanks();
    const std::size_t start = position_;
    std::size_t end = start;
    if (end < text_.size() && (text_[end] == '+' || text_[end] == '-')) ++end;
    const std::size_t digits_from = end;
    while (end < text_.size() && (std::isdigit(static_cast<unsigned char>(text_[end])) || text_[end] == '.')) ++end;
    if (end == digits_from) return std::nullopt;
    if (end < text_.size() && (text_[end] == 'e' || text_[end] == 'E')) {
      std::size_t exponent = end + 1;
      if (exponent < text_.size() && (text_[exponent] == '+' || text_[exponent] == '-')) ++exponent;
      if (exponent < text_.size() && std::isdigit(static_cast<unsigned char>(text_[exponent]))) {
        end = exponent;
        while (end < text_.size() && std::isdigit(static_cast<unsigned char>(text_[end]))) ++end;
      }
    }
    const std::string number(text_.substr(start, end - start));
    char* parsed_end = nullptr;
    const double value = std::strtod(number.c_str(), &parsed_end);
    if (parsed_end == number.c_str() || !std::isfinite(value)) return std::nullopt;
    position_ = start + static_cast<std::size_t>(parsed_end - number.c_str());
    return value;
  }
  // The next word: characters up to the next blank.
  std::string ReadWord() {
    SkipBlanks();
    const std::size_t start = position_;
    while (position_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[position_]))) ++position_;
    return std::string(text_.substr(start, position_ - start));
  }
  // The first number after the next "="; none when no "=" follows or no number after it.
  std::optional<double> ValueAfterEquals() {
    if (!SkipPast("=")) return std::nullopt;
    return ReadReal();
  }
  // The text from the position up to the first blank, "(" or "k".
  std::string_view ListText() const {
    const std::size_t end = text_.find_first_of(" \t(k", position_);
    return text_.substr(position_, end == std::string_view::npos ? std::string_view::npos : end - position_);
  }

 private:
  void SkipBlanks() {
    while (position_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[position_]))) ++position_;
  }
  std::string_view Rest(std::size_t n) const { return text_.substr(position_, n); }

  std::string_view text_;
  std::size_t position_ = 0;
  std::size_t keyword_at_ = 0;
};

// "OL 12": an entry named by its keyword and code.
std::string EntryName(const char* keyword, std::optional<long long> code) {
  std::string name(keyword);
  if (code) {
    name += ' ';
    name += std::to_string(*code);
  }
  return name;
}

// Reads one block, logging and raising the first error met.
class BlockReader {
 public:
  BlockReader(std::string_view text, int block, const SubbasinCodes& codes, int n_inflows, DiagnosticsLog& log)
      : cursor_(text), text_(text), block_(block), codes_(codes), n_inflows_(n_inflows), log_(log) {}

  BlockEntries Read() {
    entries_.counts = {.ol = CountSubstring(text_, "OL"),
                       .sumtrib = CountSubstring(text_, "SUMTRIB"),
                       .ampersand = CountSubstring(text_, "&"),
                       .zl = CountSubstring(text_, "ZL"),
                       .al = CountSubstring(text_, "AL"),
                       .sp = CountSubstring(text_, "SP")};
    cursor_.SkipPast("TG");
    ReadOwnCode();
    entry_ = "TG " + std::to_string(entries_.own_code);
    entries_.area_km2 = PositiveValue("area");
    entries_.scale_factor = PositiveValue("scale factor");
    ReadTributaries();
    ReadGroups();
    ReadInflows();
    cursor_.Restart();
    while (cursor_.SkipPast("AL")) entries_.abstraction_at.push_back(cursor_.keyword_at());
    cursor_.Restart();
    while (cursor_.SkipPast("SP")) entries_.reservoir_at.push_back(cursor_.keyword_at());
    return std::move(entries_);
  }

 private:
  [[noreturn]] void Fail(int code, const std::string& message) {
    log_ << message << "[end-entry]";
    RaiseError(code);
  }
  [[noreturn]] void EntryError(const std::string& what) {
    Fail(kRoutingEntryError, "FATAL: routing description " + std::to_string(block_) + ", entry " + entry_ + ": " +
                                 what);
  }

  void ReadOwnCode() {
    const std::optional<long long> code = cursor_.ReadInteger();
    if (!code) {
      entry_ = "TG";
      EntryError("no sub-basin code after \"TG\"");
    }
    if (!codes_.Valid(*code)) Fail(kRoutingEntryError, "FATAL: there is no subbasin with code " + std::to_string(*code));
    entries_.own_code = static_cast<int>(*code);
  }

  double Value(const std::string& label) {
    const std::optional<double> value = cursor_.ValueAfterEquals();
    if (!value) EntryError("no number after a \"=\" for the " + label);
    return *value;
  }
  double PositiveValue(const std::string& label) {
    const double value = Value(label);
    if (value <= 0) {
      EntryError("the " + label + " is " + std::to_string(value) + ", it must be above 0");
    }
    return value;
  }
  ChannelValues ReadChannelValues() {
    static constexpr const char* kLabels[] = {
        "retention constant of the main channel", "retention constant of the flood plain",
        "width of the main channel",              "width of the flood plains",
        "depth of the main channel",              "roughness of the main channel",
        "roughness of the flood plain",           "slope",
        "channel length",                         "catchment area of the channel"};
    ChannelValues v;
    double* fields[] = {&v.kh_h, &v.kv_h, &v.bm_m, &v.bf_m, &v.d_m,
                        &v.mm_m13s, &v.mf_m13s, &v.slope, &v.length_m, &v.catchment_km2};
    for (std::size_t i = 0; i < 10; ++i) *fields[i] = Value(kLabels[i]);
    return v;
  }

  // A tributary code read after its keyword, checked; `final_newline` ends the messages of
  // an "OL" entry.
  int ReadTributaryCode(const char* keyword, int channel, bool final_newline) {
    const std::optional<long long> code = cursor_.ReadInteger();
    entry_ = EntryName(keyword, code);
    if (!code) EntryError(std::string("no sub-basin code after \"") + keyword + "\"");
    const std::string end = final_newline ? "\n" : "";
    if (!codes_.Valid(*code)) {
      Fail(kRoutingEntryError, "FATAL: there cant be a tributary with code " + std::to_string(*code) +
                                   " for no subbasin (according to zones)" + end);
    }
    if (*code == entries_.own_code) {
      Fail(kRoutingEntryError, "FATAL: subbasin " + std::to_string(entries_.own_code) + ": code of tributary " +
                                   std::to_string(channel) + " (" + std::to_string(*code) +
                                   ") is equal to subbasin code!\nIt is not allowed to rout the outflow of a "
                                   "subbasin back into \nthe same subbasin. Use a reservoir instead." +
                                   end);
    }
    return static_cast<int>(*code);
  }

  void ReadTributaries() {
    while (cursor_.SkipPast("OL")) {
      ChannelEntry channel;
      channel.source_code = ReadTributaryCode("OL", NextChannel(), true);
      channel.values = ReadChannelValues();
      entries_.channels.push_back(std::move(channel));
    }
  }

  void ReadGroups() {
    cursor_.Restart();
    while (cursor_.SkipPast("SUMTRIB")) {
      ChannelEntry channel;
      channel.kind = ChannelKind::kGroup;
      channel.source_code = ReadTributaryCode("SUMTRIB", NextChannel(), false);
      const std::string_view list = cursor_.ListText();
      for (std::size_t at = list.find('&'); at != std::string_view::npos; at = list.find('&', at + 1)) {
        BlockCursor member(list.substr(at + 1));
        const std::optional<long long> code = member.ReadInteger();
        if (!code || !codes_.Valid(*code) || *code == entries_.own_code) {
          EntryError("\"&" + std::string(list.substr(at + 1, member.position())) +
                     "\" names no sub-basin that can flow into sub-basin " + std::to_string(entries_.own_code));
        }
        if (static_cast<int>(channel.code_list.size()) == kMaxGroupMembers) {
          EntryError("more than " + std::to_string(kMaxGroupMembers) + " \"&\" codes");
        }
        channel.code_list.push_back(static_cast<int>(*code));
      }
      channel.values = ReadChannelValues();
      entries_.channels.push_back(std::move(channel));
    }
  }

  void ReadInflows() {
    cursor_.Restart();
    while (cursor_.SkipPast("ZL")) {
      NextChannel();
      ChannelEntry channel;
      channel.kind = ChannelKind::kInflow;
      const std::optional<long long> code = cursor_.ReadInteger();
      entry_ = EntryName("ZL", code);
      if (!code) EntryError("no inflow code after \"ZL\"");
      if (*code > n_inflows_ || *code < 1) {
        Fail(kRoutingInflowError, "FATAL: there is/are only " + std::to_string(n_inflows_) +
                                      " inflow(s) for the entire basin,\n but the codes ranges from 1 to at least " +
                                      std::to_string(*code) + "! in " + "routing_model");
      }
      InflowEntry& inflow = channel.inflow;
      inflow.code = static_cast<int>(*code);
      if (!cursor_.SkipPast("=")) EntryError("no \"=\" before the mode of the inflow");
      const std::string mode = cursor_.ReadWord();
      if (mode == "constant") {
        inflow.kind = InflowKind::kConstant;
        const std::optional<double> value = cursor_.ReadReal();
        if (!value) EntryError("no number after \"constant\"");
        inflow.constant_m3s = *value;
      } else if (mode == "extern") {
        inflow.kind = InflowKind::kExternal;
        inflow.file = cursor_.ReadWord();
        const std::optional<long long> row = cursor_.ReadInteger();
        const std::optional<long long> column = row ? cursor_.ReadInteger() : std::nullopt;
        if (inflow.file.empty() || inflow.file.size() > 299 || !column) {
          EntryError("\"extern\" needs a file name (at most 299 characters), a start row and a first column");
        }
        inflow.start_row = static_cast<int>(*row);
        inflow.first_column = static_cast<int>(*column);
      } else if (mode == "intern") {
        inflow.kind = InflowKind::kInternal;
      } else {
        Fail(kRoutingInflowError, "FATAL: the modus \"" + mode + "\" is not supported for inflow " +
                                      std::to_string(inflow.code));
      }
      channel.source_code = inflow.code;
      channel.values = ReadChannelValues();
      entries_.channels.push_back(std::move(channel));
    }
  }

  int NextChannel() { return ++channel_number_; }

  BlockCursor cursor_;
  std::string_view text_;
  int block_;
  const SubbasinCodes& codes_;
  int n_inflows_;
  DiagnosticsLog& log_;
  BlockEntries entries_;
  std::string entry_;
  int channel_number_ = 0;
};

}  // namespace

BlockEntries ReadBlock(std::string_view text, int block, const SubbasinCodes& codes, int n_inflows,
                       DiagnosticsLog& log) {
  return BlockReader(text, block, codes, n_inflows, log).Read();
}

}  // namespace tolvo
