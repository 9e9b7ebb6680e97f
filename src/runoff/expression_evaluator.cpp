#include "runoff/expression_evaluator.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace tolvo {
namespace {

// Copies the message of the id and then the part into the text field, cut to its size.
void ComposeText(std::array<char, 256>& text, int id, std::string_view part) {
  std::string composed = ErrorMessage(id);
  composed.append(part);
  const std::size_t n = std::min(composed.size(), text.size() - 1);
  composed.copy(text.data(), n);
  text[n] = '\0';
}

}  // namespace

const char* ErrorMessage(int id) {
  switch (id) {
    case kSyntaxErrorInPart: return "Syntax error in part: ";
    case kSyntaxError: return "Syntax error";
    case kParenthesisMissing: return "Parentesis ) missing";
    case kEmptyExpression: return "Empty expression";
    case kUnexpectedPart: return "Unexpected part: ";
    case kUnexpectedEnd: return "Unexpected end of expression";
    case kValueExpected: return "Value expected";
    case kUnknownOperator: return "Unknown operator ";
    case kUnknownFunction: return "Unknown function ";
    case kUnknownVariable: return "Unknown variable ";
    case kExpressionTooLong: return "Too long expression, maximum number of characters exceeded";
    case kDefiningVariableFailed: return "Defining variable failed";
    case kIntegerExpected: return "Integer value expected in function ";
    default: return "Unknown error";
  }
}

Error::Error(int column, int id) : Error(column, id, std::string_view()) {}

Error::Error(int column, int id, std::string_view part) : column_(column), id_(id) { ComposeText(text_, id, part); }

Error::Error(int column, int id, int number) : Error(column, id, std::string_view(std::to_string(number))) {}

Error::Error(int column, int id, double number) : column_(column), id_(id) {
  char digits[64];
  std::snprintf(digits, sizeof digits, "%g", number);
  ComposeText(text_, id, digits);
}

ExpressionEvaluator::ExpressionEvaluator(ExpressionVariables* variables)
    : own_variables_(variables == nullptr ? std::make_unique<ExpressionVariables>() : nullptr),
      variables_(variables == nullptr ? own_variables_.get() : variables) {}

const char* ExpressionEvaluator::Evaluate(std::string_view text) {
  const ExpressionProgram program(text);
  return Describe(Run(program));
}

ExpressionFailure ExpressionEvaluator::Run(const ExpressionProgram& program) {
  value_ = 0;
  double value = 0;
  const ExpressionFailure outcome = program.Run(*variables_, value);
  if (!outcome.ok()) return outcome;
  value_ = value;
  variables_->SetVariable("Ans", value);
  return outcome;
}

const char* ExpressionEvaluator::Describe(const ExpressionFailure& outcome) {
  if (outcome.ok()) {
    std::snprintf(result_.data(), result_.size(), "Ans = %g", value_);
  } else {
    // A long error text is cut so that the column still ends the result text.
    const Error error(outcome.column, outcome.id, outcome.part);
    const std::string tail = " (col " + std::to_string(error.column()) + ")";
    std::string text = "Error: ";
    text.append(std::string_view(error.text()).substr(0, result_.size() - 1 - text.size() - tail.size()));
    text.append(tail);
    text.copy(result_.data(), text.size());
    result_[text.size()] = '\0';
  }
  return result_.data();
}

}  // namespace tolvo
