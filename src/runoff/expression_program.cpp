#include "runoff/expression_program.h"

#include <array>
#include <cassert>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace tolvo {
namespace {

// Token classes of the language; only blank and tab separate tokens.
constexpr bool IsWhiteSpace(char c) { return c == ' ' || c == '\t'; }
constexpr bool IsOperatorChar(char c) { return c != '\0' && std::string_view("&|<>=+/*%^!").find(c) != std::string_view::npos; }
constexpr bool IsMinus(char c) { return c == '-'; }
constexpr bool IsParenthesis(char c) { return c == '(' || c == ')'; }
constexpr bool IsAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool IsDigitDot(char c) { return IsDigit(c) || c == '.'; }

enum class TokenType { kNothing = -1, kDelimiter = 0, kNumber = 1, kVariable = 2, kFunction = 3, kUnknown = 4 };

// Operator codes by exact text; -1 for any other text.
constexpr std::array<std::string_view, 18> kOperators = {"&",  "|", "<<", ">>", "=", "<>", "<", ">", "<=",
                                                         ">=", "+", "-",  "*",  "/", "%",  "||", "^", "!"};
constexpr int kMinus = 11;
constexpr int kPower = 16;
constexpr int kFactorialOperator = 17;

int GetOperatorCode(std::string_view token) {
  for (std::size_t i = 0; i < kOperators.size(); ++i) {
    if (token == kOperators[i]) return static_cast<int>(i);
  }
  return -1;
}

constexpr std::array<std::string_view, 13> kFunctions = {"ABS", "EXP",  "SIGN", "SQRT", "LOG",  "LOG10",    "SIN",
                                                         "COS", "TAN",  "ASIN", "ACOS", "ATAN", "FACTORIAL"};
constexpr int kFactorialFunction = 12;

constexpr double kEuler = 2.718281828459045;
constexpr double kPi = 3.141592653589793;

// Deepest value stack a text of at most 255 characters can need (one value per two
// characters at most).
constexpr int kStackSize = 256;

// An operand of the integer operators.
std::int32_t ToInt32(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
  if (x <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(x);
}

std::int32_t Shift(std::int32_t a, std::int32_t b, bool left) {
  const auto pattern = static_cast<std::uint32_t>(a);
  const unsigned count = static_cast<std::uint32_t>(b) & 31u;
  if (left) return static_cast<std::int32_t>(pattern << count);
  // Arithmetic shift: the sign bit is copied into the vacated bits.
  const std::uint32_t shifted = pattern >> count;
  const std::uint32_t sign_fill = (a < 0 && count > 0) ? ~(~0u >> count) : 0u;
  return static_cast<std::int32_t>(shifted | sign_fill);
}

double Remainder(double x, double y) {
  const std::int32_t a = ToInt32(x);
  const std::int32_t b = ToInt32(y);
  if (b == 0) return std::numeric_limits<double>::quiet_NaN();
  if (b == -1) return 0.0;  // also the smallest integer, whose quotient by -1 has no int32
  return static_cast<double>(a % b);
}

double ApplyOperator(int code, double a, double b) {
  switch (code) {
    case 0: return static_cast<double>(ToInt32(a) & ToInt32(b));
    case 1: return static_cast<double>(ToInt32(a) | ToInt32(b));
    case 2: return static_cast<double>(Shift(ToInt32(a), ToInt32(b), true));
    case 3: return static_cast<double>(Shift(ToInt32(a), ToInt32(b), false));
    case 4: return a == b ? 1.0 : 0.0;
    case 5: return a == b ? 0.0 : 1.0;
    case 6: return a < b ? 1.0 : 0.0;
    case 7: return a > b ? 1.0 : 0.0;
    case 8: return a <= b ? 1.0 : 0.0;
    case 9: return a >= b ? 1.0 : 0.0;
    case 10: return a + b;
    case 11: return a - b;
    case 12: return a * b;
    case 13: return a / b;
    case 14: return Remainder(a, b);
    case 15: return static_cast<double>(ToInt32(a) ^ ToInt32(b));
    case 16: return std::pow(a, b);
    default: return std::numeric_limits<double>::quiet_NaN();  // the compiler emits no other code
  }
}

double EvalFunction(int function, double x) {
  switch (function) {
    case 0: return std::fabs(x);
    case 1: return std::exp(x);
    case 2: return Sign(x);
    case 3: return std::sqrt(x);
    case 4: return std::log(x);
    case 5: return std::log10(x);
    case 6: return std::sin(x);
    case 7: return std::cos(x);
    case 8: return std::tan(x);
    case 9: return std::asin(x);
    case 10: return std::acos(x);
    case 11: return std::atan(x);
    default: return std::numeric_limits<double>::quiet_NaN();  // factorial is handled by the caller
  }
}

int FunctionNumber(std::string_view name) {
  for (std::size_t i = 0; i < kFunctions.size(); ++i) {
    if (SameNameIgnoringCase(name, kFunctions[i])) return static_cast<int>(i);
  }
  return -1;
}

// Value of a number token: its longest leading part that reads as a decimal number, 0
// when none does (so "1.2.3" is 1.2, "." is 0 and "5e+" is 5).
double NumberValue(std::string_view token) {
  const std::string copy(token);
  return std::strtod(copy.c_str(), nullptr);
}

}  // namespace

bool Factorial(double x, double& result) {
  const std::int32_t n = ToInt32(x);
  if (static_cast<double>(n) != x) return false;
  double product = n;
  for (std::int32_t k = n - 1; k >= 2 && !std::isinf(product); --k) product *= k;
  result = product == 0 ? 1.0 : product;
  return true;
}

double Sign(double x) { return x > 0 ? 1.0 : (x < 0 ? -1.0 : 0.0); }

// Reads a text by recursive descent, one precedence level per operation, and emits the
// postfix program. Every operation starts on the first token of its construct and ends on
// the first token after it. A syntax error emits the raising instruction and ends the
// reading (Stop).
class ExpressionCompiler {
 public:
  explicit ExpressionCompiler(ExpressionProgram& program) : program_(program), text_(program.text_) {}

  void Compile() {
    try {
      Statement();
    } catch (const Stop&) {
      // The program ends with the instruction that raises the error.
    }
  }

 private:
  using Op = ExpressionProgram::Op;
  using Instruction = ExpressionProgram::Instruction;
  struct Stop {};

  void Statement() {
    if (text_.size() > kMaxExpressionLength) Raise(kExpressionTooLong, -1);
    pos_ = 0;
    GetToken();
    if (type_ == TokenType::kDelimiter && token_.empty()) Raise(kEmptyExpression, TokenColumn());
    if (type_ == TokenType::kVariable) {
      const std::string_view name = token_;
      const std::size_t after_name = pos_;
      GetToken();
      if (type_ == TokenType::kDelimiter && token_ == "=") {
        GetToken();
        ParseBitwise();
        Emit({.op = Op::kStore, .column = TokenColumn()}, name);
      } else {
        token_ = name;
        type_ = TokenType::kVariable;
        pos_ = after_name;
        ParseBitwise();
      }
    } else {
      ParseBitwise();
    }
    if (type_ != TokenType::kDelimiter) Raise(kUnexpectedPart, TokenColumn(), token_);
    if (!token_.empty()) Raise(kUnknownOperator, TokenColumn(), token_);
  }

  void GetToken() {
    type_ = TokenType::kNothing;
    token_ = {};
    while (pos_ < text_.size() && IsWhiteSpace(text_[pos_])) ++pos_;
    const std::size_t start = pos_;
    if (pos_ == text_.size()) {
      type_ = TokenType::kDelimiter;
      return;
    }
    const char c = text_[pos_];
    if (IsMinus(c) || IsParenthesis(c)) {
      type_ = TokenType::kDelimiter;
      ++pos_;
    } else if (IsOperatorChar(c)) {
      type_ = TokenType::kDelimiter;
      while (pos_ < text_.size() && IsOperatorChar(text_[pos_])) ++pos_;
    } else if (IsDigitDot(c)) {
      type_ = TokenType::kNumber;
      while (pos_ < text_.size() && IsDigitDot(text_[pos_])) ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
        ++pos_;
        if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
        while (pos_ < text_.size() && IsDigit(text_[pos_])) ++pos_;
      }
    } else if (IsAlpha(c)) {
      while (pos_ < text_.size() && (IsAlpha(text_[pos_]) || IsDigit(text_[pos_]))) ++pos_;
      std::size_t next = pos_;
      while (next < text_.size() && IsWhiteSpace(text_[next])) ++next;
      type_ = next < text_.size() && text_[next] == '(' ? TokenType::kFunction : TokenType::kVariable;
    } else {
      type_ = TokenType::kUnknown;
      pos_ = text_.size();
      token_ = text_.substr(start);
      Raise(kSyntaxErrorInPart, static_cast<int>(start) + 1, token_);
    }
    token_ = text_.substr(start, pos_ - start);
  }

  int TokenColumn() const { return static_cast<int>(pos_) - static_cast<int>(token_.size()) + 1; }
  int OperatorCode() const { return GetOperatorCode(token_); }

  // One binary level: operands by `next`, operators with codes first..last.
  template <typename Next>
  void BinaryLevel(int first, int last, Next next) {
    next();
    for (int code = OperatorCode(); code >= first && code <= last; code = OperatorCode()) {
      GetToken();
      next();
      Emit({.op = Op::kBinary, .code = code});
    }
  }

  void ParseBitwise() { BinaryLevel(0, 3, [this] { ParseComparison(); }); }
  void ParseComparison() { BinaryLevel(4, 9, [this] { ParseSum(); }); }
  void ParseSum() { BinaryLevel(10, 11, [this] { ParseProduct(); }); }
  void ParseProduct() { BinaryLevel(12, 15, [this] { ParsePower(); }); }
  void ParsePower() { BinaryLevel(kPower, kPower, [this] { ParseFactorial(); }); }

  void ParseFactorial() {
    ParseNegation();
    while (OperatorCode() == kFactorialOperator) {
      GetToken();
      Emit({.op = Op::kFactorial, .column = -1});
    }
  }

  void ParseNegation() {
    if (OperatorCode() != kMinus) {
      ParseFunction();
      return;
    }
    GetToken();
    ParseFunction();
    Emit({.op = Op::kNegate});
  }

  void ParseFunction() {
    if (type_ != TokenType::kFunction) {
      ParseParentheses();
      return;
    }
    const std::string_view name = token_;
    GetToken();
    ParseParentheses();
    const int function = FunctionNumber(name);
    if (function < 0) Raise(kUnknownFunction, TokenColumn(), name);
    Emit({.op = Op::kFunction, .code = function, .column = TokenColumn()});
  }

  void ParseParentheses() {
    if (type_ != TokenType::kDelimiter || token_ != "(") {
      ParseValue();
      return;
    }
    GetToken();
    ParseBitwise();
    if (type_ != TokenType::kDelimiter || token_ != ")") Raise(kParenthesisMissing, TokenColumn());
    GetToken();
  }

  void ParseValue() {
    if (type_ == TokenType::kNumber) {
      Emit({.op = Op::kPush, .value = NumberValue(token_)});
    } else if (type_ == TokenType::kVariable) {
      // Constants win over variables of the same name.
      if (SameNameIgnoringCase(token_, "EULER")) {
        Emit({.op = Op::kPush, .value = kEuler});
      } else if (SameNameIgnoringCase(token_, "PI")) {
        Emit({.op = Op::kPush, .value = kPi});
      } else {
        Emit({.op = Op::kLoad, .column = TokenColumn()}, token_);
      }
    } else {
      Raise(token_.empty() ? kUnexpectedEnd : kValueExpected, TokenColumn());
    }
    GetToken();
  }

  void Emit(Instruction instruction, std::string_view name = {}) {
    instruction.name_first = static_cast<std::uint32_t>(program_.names_.size());
    instruction.name_length = static_cast<std::uint32_t>(name.size());
    program_.names_.append(name);
    switch (instruction.op) {
      case Op::kPush:
      case Op::kLoad: ++depth_; break;
      case Op::kBinary: --depth_; break;
      default: break;
    }
    program_.max_depth_ = std::max(program_.max_depth_, depth_);
    program_.code_.push_back(instruction);
  }

  [[noreturn]] void Raise(int id, int column, std::string_view part = {}) {
    Emit({.op = Op::kRaise, .code = id, .column = column}, part);
    throw Stop{};
  }

  ExpressionProgram& program_;
  std::string_view text_;
  std::size_t pos_ = 0;
  std::string_view token_;
  TokenType type_ = TokenType::kNothing;
  int depth_ = 0;
};

ExpressionProgram::ExpressionProgram(std::string_view text) : text_(text) {
  ExpressionCompiler(*this).Compile();
  assert(max_depth_ <= kStackSize);
}

ExpressionFailure ExpressionProgram::Run(ExpressionVariables& variables, double& value) const {
  struct Named {
    const ExpressionProgram& program;
    ExpressionVariables& variables;
    const double* Load(std::size_t /*i*/, const Instruction& in) const { return variables.Find(program.NameOf(in)); }
    void Store(std::size_t /*i*/, const Instruction& in, double x) const { variables.SetVariable(program.NameOf(in), x); }
  } named{*this, variables};
  return RunOn(named, value);
}

std::vector<int> ExpressionProgram::Bind(ExpressionSlots& slots) const {
  std::vector<int> binding(code_.size(), -1);
  for (std::size_t i = 0; i < code_.size(); ++i) {
    if (code_[i].op == Op::kLoad || code_[i].op == Op::kStore) binding[i] = slots.Bind(NameOf(code_[i]));
  }
  return binding;
}

ExpressionFailure ExpressionProgram::Run(std::span<const int> binding, ExpressionSlotValues& values,
                                         double& value) const {
  assert(binding.size() == code_.size());
  struct Slotted {
    std::span<const int> binding;
    ExpressionSlotValues& values;
    const double* Load(std::size_t i, const Instruction& /*in*/) const { return values.Find(binding[i]); }
    void Store(std::size_t i, const Instruction& /*in*/, double x) const { values.Set(binding[i], x); }
  } slotted{binding, values};
  return RunOn(slotted, value);
}

template <class Variables>
ExpressionFailure ExpressionProgram::RunOn(Variables& variables, double& value) const {
  std::array<double, kStackSize> stack;
  int top = 0;  // number of values on the stack
  for (std::size_t i = 0; i < code_.size(); ++i) {
    const Instruction& in = code_[i];
    switch (in.op) {
      case Op::kPush:
        stack[static_cast<std::size_t>(top++)] = in.value;
        break;
      case Op::kLoad: {
        const double* found = variables.Load(i, in);
        if (found == nullptr) return {kUnknownVariable, in.column, NameOf(in)};
        stack[static_cast<std::size_t>(top++)] = *found;
        break;
      }
      case Op::kNegate:
        stack[static_cast<std::size_t>(top - 1)] = -stack[static_cast<std::size_t>(top - 1)];
        break;
      case Op::kBinary:
        --top;
        stack[static_cast<std::size_t>(top - 1)] =
            ApplyOperator(in.code, stack[static_cast<std::size_t>(top - 1)], stack[static_cast<std::size_t>(top)]);
        break;
      case Op::kFactorial:
      case Op::kFunction: {
        double& x = stack[static_cast<std::size_t>(top - 1)];
        if (in.op == Op::kFactorial || in.code == kFactorialFunction) {
          if (!Factorial(x, x)) return {kIntegerExpected, in.column, "factorial"};
        } else {
          x = EvalFunction(in.code, x);
        }
        break;
      }
      case Op::kStore:
        variables.Store(i, in, stack[static_cast<std::size_t>(top - 1)]);
        break;
      case Op::kRaise:
        return {in.code, in.column, NameOf(in)};
    }
  }
  value = stack[static_cast<std::size_t>(top - 1)];
  return {};
}

}  // namespace tolvo
