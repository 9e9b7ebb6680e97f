#pragma once
// The evaluator of user formulas: evaluates one text of the expression language
// (expression_program.h) at a time against a variable list that the caller owns and
// shares with it, and answers with a text: "Ans = %g" on success, "Error: <message>
// (col <column>)" on failure. A bad text never escapes as an exception. The value of every
// text that evaluates without error is also stored as the variable "Ans".
//
// Evaluate compiles its text each time; a caller that runs the same formula often
// compiles it once (ExpressionProgram) and hands the program to Run, which gives the same
// outcome without compiling or formatting.

#include <array>
#include <memory>
#include <string_view>

#include "runoff/expression_program.h"
#include "runoff/expression_variables.h"

namespace tolvo {

// The message of an error id; "Unknown error" for ids the language does not know.
const char* ErrorMessage(int id);

// A failure of a text: its column (-1 where none applies), id and text (the message of
// the id followed by the part, cut at 255 characters).
class Error {
 public:
  Error(int column, int id);
  Error(int column, int id, std::string_view part);
  Error(int column, int id, int number);
  Error(int column, int id, double number);

  int column() const { return column_; }
  int id() const { return id_; }
  const char* text() const { return text_.data(); }

 private:
  int column_;
  int id_;
  std::array<char, 256> text_{};
};

class ExpressionEvaluator {
 public:
  // Uses the caller's list, or a list of its own when given none.
  explicit ExpressionEvaluator(ExpressionVariables* variables);

  // Evaluates one text and returns the result text, valid until the next evaluation.
  const char* Evaluate(std::string_view text);
  // Runs a compiled text; on success stores its value as "Ans" (value()). A failure
  // leaves the list as the text left it ("Ans" keeps the previous success).
  ExpressionFailure Run(const ExpressionProgram& program);
  // Formats the result text of an outcome of Run and returns it.
  const char* Describe(const ExpressionFailure& outcome);

  double value() const { return value_; }
  ExpressionVariables& variables() { return *variables_; }

 private:
  std::unique_ptr<ExpressionVariables> own_variables_;
  ExpressionVariables* variables_;
  double value_ = 0;
  std::array<char, 256> result_{};
};

}  // namespace tolvo
