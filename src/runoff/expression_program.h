#pragma once
// A user formula compiled once: the text of the expression language read by recursive
// descent into a flat postfix program that is then run against a variable list as often
// as needed.
//
// The language: all values are doubles. A text is either NAME = expression (the value
// is stored under the name) or a bare expression. Precedence levels, lowest first, each
// left-associative: "&" "|" "<<" ">>" (bitwise, on 32-bit integers); "=" "<>" "<" ">"
// "<=" ">=" (1 or 0); "+" "-"; "*" "/" "%" "||" (remainder and exclusive-or on integers);
// "^"; postfix "!" (factorial, one token per "!"); a single unary minus; functions of one
// parenthesised argument (ABS EXP SIGN SQRT LOG LOG10 SIN COS TAN ASIN ACOS ATAN
// FACTORIAL); parentheses; numbers, the constants PI and EULER and variables. Names of
// functions, constants and variables are compared without regard to letter case.
//
// Errors keep the order in which a one-pass reading meets them. Where the reading of the
// text fails (a syntax error), the program ends with an instruction that raises that
// error, after the instructions of everything read before it; errors that depend on the
// values (an unknown variable, the factorial of a fraction) are raised as the program
// runs. So a failing text reports the error a left-to-right evaluation would meet first.
//
// Integer operands are the double truncated toward zero and saturated to the 32-bit
// signed range (not-a-number gives 0); shifts work on the unsigned 32-bit pattern with the
// low five bits of the count; a remainder by 0 is not-a-number and the smallest integer
// remainder -1 is 0.
//
// A program is immutable once compiled and may be run by several threads at once, each
// with its own variable list; running allocates nothing (beyond the list's one-time
// growth).

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runoff/expression_slots.h"
#include "runoff/expression_variables.h"

namespace tolvo {

// Longest text the language accepts.
inline constexpr std::size_t kMaxExpressionLength = 255;

// Error ids of the language.
enum ExpressionErrorId : int {
  kExpressionOk = 0,
  kSyntaxErrorInPart = 1,
  kSyntaxError = 2,
  kParenthesisMissing = 3,
  kEmptyExpression = 4,
  kUnexpectedPart = 5,
  kUnexpectedEnd = 6,
  kValueExpected = 7,
  kUnknownOperator = 101,
  kUnknownFunction = 102,
  kUnknownVariable = 103,
  kUnknownOperatorCode = 104,
  kExpressionTooLong = 200,
  kDefiningVariableFailed = 300,
  kIntegerExpected = 400,
};

// The outcome of running a program: id 0 on success, else the error id, its 1-based
// column (-1 where none applies) and the part that follows its message (a view into the
// program, valid as long as the program lives).
struct ExpressionFailure {
  int id = kExpressionOk;
  int column = 0;
  std::string_view part;
  bool ok() const { return id == kExpressionOk; }
};

// n! by the language's rule: n must be a whole number in the 32-bit range (else error
// 400); the product n (n-1) ... 2 in doubles, 1 for 0, n itself for a negative n; the
// multiplication stops once the product is infinite.
bool Factorial(double x, double& result);
// 1, -1 or 0 (also for not-a-number).
double Sign(double x);

class ExpressionProgram {
 public:
  // Compiles the text; never fails (a text that cannot be read compiles to a program that
  // raises the error where the reading failed).
  explicit ExpressionProgram(std::string_view text);

  // Runs the program: assignments go into `variables`; on success `value` is the value
  // of the whole text. Does not store "Ans" (the evaluator does).
  ExpressionFailure Run(ExpressionVariables& variables, double& value) const;

  // Binds the names the program loads and stores to slots (adding the new ones) and
  // returns the program's binding: the slot of each instruction (-1 where it names no
  // variable).
  std::vector<int> Bind(ExpressionSlots& slots) const;
  // Runs the program as Run does, with its variables in the slot values; `binding` is what
  // Bind returned for the slots the values were made for.
  ExpressionFailure Run(std::span<const int> binding, ExpressionSlotValues& values, double& value) const;

  const std::string& text() const { return text_; }

 private:
  friend class ExpressionCompiler;
  enum class Op : std::uint8_t { kPush, kLoad, kNegate, kBinary, kFactorial, kFunction, kStore, kRaise };
  struct Instruction {
    Op op = Op::kPush;
    int code = 0;    // operator code, function number or error id
    int column = 0;  // column of the error this instruction may raise
    double value = 0;
    std::uint32_t name_first = 0;  // a name or error part in names_
    std::uint32_t name_length = 0;
  };
  std::string_view NameOf(const Instruction& instruction) const {
    return std::string_view(names_).substr(instruction.name_first, instruction.name_length);
  }
  // The instructions run on `variables`, which loads and stores the variable of
  // instruction i (Load(i, instruction): the value or null; Store(i, instruction, value)).
  template <class Variables>
  ExpressionFailure RunOn(Variables& variables, double& value) const;

  std::string text_;
  std::vector<Instruction> code_;
  std::string names_;
  int max_depth_ = 0;
};

}  // namespace tolvo
