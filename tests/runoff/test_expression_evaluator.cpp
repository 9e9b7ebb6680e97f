#include "runoff/expression_evaluator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace tolvo {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// One text of the language and what evaluating it in an empty list gives: the value of a
// success (compared exactly, NaN with NaN) or the whole result text of a failure.
struct Case {
  std::string text;
  double value;
  std::string error = {};
};

// "1+1+...+1" of exactly `length` characters (odd).
std::string SumOfOnes(int length) {
  std::string s(static_cast<std::size_t>(length), '+');
  for (std::size_t i = 0; i < s.size(); i += 2) s[i] = '1';
  return s;
}

const std::vector<Case>& LanguageCases() {
  static const std::vector<Case> cases = {
      // precedence and associativity
      {"2 + 3 * 4", 14},
      {"(2 + 3) * 4", 20},
      {"2 * -3", -6},
      {"2 - -3", 5},
      {"-2 ^ 2", 4},
      {"2 ^ -1", 0.5},
      {"2 ^ 3 ^ 2", 64},
      {"1 + 2 = 3", 1},
      {"1 < 2 < 3", 1},
      {"5 & 3 | 8", 9},
      {"1 << 2 + 1", 8},
      {"2 = 2 & 1", 1},
      {"3 <> 3", 0},
      {"(0/0) = (0/0)", 0},
      {"(0/0) <> 1", 1},
      // integer operators: truncation, saturation, shifts by the low five bits
      {"7 % 3", 1},
      {"-7 % 3", -1},
      {"7.9 % 3.2", 1},
      {"7 % 0", kNaN},
      {"-2147483648 % -1", 0},
      {"3 || 5", 6},
      {"2 << 33", 4},
      {"1 << 31", -2147483648.0},
      {"-8 >> 1", -4},
      {"1e10 & 3", 3},
      {"-1e10 | 0", -2147483648.0},
      {"(0/0) | 5", 5},
      {"1 / 0", kInf},
      // factorial
      {"3 !", 6},
      {"3 ! !", 720},
      {"0 !", 1},
      {"-3 !", -3},
      {"FACTORIAL(5)", 120},
      {"171 !", kInf},
      {"2147483647 !", kInf},
      {"2.5 !", 0, "Error: Integer value expected in function factorial (col -1)"},
      {"FACTORIAL(2.5) + 1", 0, "Error: Integer value expected in function factorial (col 16)"},
      {"1e10 !", 0, "Error: Integer value expected in function factorial (col -1)"},
      {"3!+1", 0, "Error: Unknown operator !+ (col 2)"},
      {"3! + 1", 7},
      {"2 ** 3", 0, "Error: Unknown operator ** (col 3)"},
      // functions and constants
      {"sqrt(16)", 4},
      {"Sqrt(16)", 4},
      {"SQRT (16)", 4},
      {"SQRT(-1)", kNaN},
      {"SQRT 16", 0, "Error: Unknown variable SQRT (col 1)"},
      {"ABS(-2) + SIGN(-5) + LOG10(100) + EXP(0) + LOG(1)", 4},
      {"SIGN(0/0)", 0},
      {"FOO(1)", 0, "Error: Unknown function FOO (col 7)"},
      {"FOO(X)", 0, "Error: Unknown variable X (col 5)"},
      {"pi", 3.141592653589793},
      {"Euler", 2.718281828459045},
      // numbers
      {"1.2.3", 1.2},
      {".", 0},
      {".5", 0.5},
      {"1e3", 1000},
      {"1E+2", 100},
      {"2e", 2},
      {"5e+", 5},
      {"2.5E-3", 0.0025},
      {"1\t+\t2", 3},
      // syntax errors and their columns, in reading order
      {"", 0, "Error: Empty expression (col 1)"},
      {"   ", 0, "Error: Empty expression (col 4)"},
      {"(1 + 2", 0, "Error: Parentesis ) missing (col 7)"},
      {"(1))", 0, "Error: Unknown operator ) (col 4)"},
      {"2 (3)", 0, "Error: Unknown operator ( (col 3)"},
      {"--2", 0, "Error: Value expected (col 2)"},
      {"A =", 0, "Error: Unexpected end of expression (col 4)"},
      {"2 x", 0, "Error: Unexpected part: x (col 3)"},
      {"1 + 2\r", 0, "Error: Syntax error in part: \r (col 6)"},
      {"2 + $ + X", 0, "Error: Syntax error in part: $ + X (col 5)"},
      {"X + $", 0, "Error: Unknown variable X (col 1)"},
      {"X $", 0, "Error: Syntax error in part: $ (col 3)"},
      {"FOO(1)$", 0, "Error: Syntax error in part: $ (col 7)"},
      // length limit: 255 characters are read, 256 are refused before any token
      {SumOfOnes(255), 128},
      {SumOfOnes(255) + " ", 0,
       "Error: Too long expression, maximum number of characters exceeded (col -1)"},
  };
  return cases;
}

void ExpectValue(double expected, double actual) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(actual)) << actual;
  } else {
    EXPECT_EQ(expected, actual);
  }
}

TEST(ExpressionLanguage, EvaluatesEveryTextOfTheTable) {
  for (const Case& c : LanguageCases()) {
    SCOPED_TRACE("text \"" + c.text + "\"");
    ExpressionVariables variables;
    ExpressionEvaluator evaluator(&variables);
    const std::string result = evaluator.Evaluate(c.text);
    if (!c.error.empty()) {
      EXPECT_EQ(result, c.error);
      EXPECT_FALSE(variables.HasVariable("Ans"));
      continue;
    }
    EXPECT_EQ(result.rfind("Ans = ", 0), 0u) << result;
    double ans = -1;
    ASSERT_TRUE(variables.GetVariable("Ans", ans)) << result;
    ExpectValue(c.value, ans);
  }
}

// A program compiled once gives what Evaluate gives, run after run, in lists that differ
// from the one it was compiled beside.
TEST(ExpressionLanguage, ACompiledProgramRunsLikeEvaluate) {
  for (const Case& c : LanguageCases()) {
    SCOPED_TRACE("text \"" + c.text + "\"");
    const ExpressionProgram program(c.text);
    ExpressionEvaluator reference(nullptr);
    const std::string expected = reference.Evaluate(c.text);
    for (int run = 0; run < 2; ++run) {
      ExpressionEvaluator evaluator(nullptr);
      EXPECT_EQ(evaluator.Describe(evaluator.Run(program)), expected);
    }
  }
}

// Programs bound to slots give what they give on a variable list: the value or the error
// (id, column and part) of every text of the table, and across a sequence of texts that
// share variables in different letter cases, until the values are emptied.
TEST(ExpressionLanguage, ProgramsRunOnSlotsLikeOnAList) {
  const auto same = [](const ExpressionFailure& a, const ExpressionFailure& b) {
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.column, b.column);
    EXPECT_EQ(a.part, b.part);
  };
  for (const Case& c : LanguageCases()) {
    SCOPED_TRACE("text \"" + c.text + "\"");
    const ExpressionProgram program(c.text);
    ExpressionSlots slots;
    const std::vector<int> binding = program.Bind(slots);
    ExpressionSlotValues values(slots.size());
    ExpressionVariables variables;
    double on_slots = -1;
    double on_list = -1;
    const ExpressionFailure slotted = program.Run(binding, values, on_slots);
    same(slotted, program.Run(variables, on_list));
    if (slotted.ok()) {
      ExpectValue(on_list, on_slots);
    }
  }

  const std::vector<std::string> texts = {"x = a * 2", "Y = X + A", "y ^ 2 + b"};
  std::vector<ExpressionProgram> programs(texts.begin(), texts.end());
  ExpressionSlots slots;
  const int a = slots.Bind("A");
  std::vector<std::vector<int>> bindings;
  for (const ExpressionProgram& program : programs) bindings.push_back(program.Bind(slots));
  const int b = slots.Bind("b");
  EXPECT_EQ(slots.Bind("a"), a);
  EXPECT_EQ(slots.size(), 4);  // A, X, Y, B
  ExpressionSlotValues values(slots.size());
  ExpressionVariables variables;
  for (const bool with_b : {true, false}) {
    SCOPED_TRACE(with_b);
    values.Clear();
    variables.Clear();
    values.Set(a, 1.5);
    variables.SetVariable("a", 1.5);
    if (with_b) {
      values.Set(b, -4);
      variables.SetVariable("B", -4);
    }
    for (std::size_t i = 0; i < programs.size(); ++i) {
      double on_slots = -1;
      double on_list = -1;
      const ExpressionFailure slotted = programs[i].Run(bindings[i], values, on_slots);
      same(slotted, programs[i].Run(variables, on_list));
      if (slotted.ok()) {
        EXPECT_EQ(on_slots, on_list);
      }
      // 1.5 * 2 = 3, 3 + 1.5 = 4.5, 4.5^2 - 4 = 16.25; without b the last text fails.
      if (i + 1 == programs.size()) {
        EXPECT_EQ(slotted.id, with_b ? kExpressionOk : kUnknownVariable);
        EXPECT_EQ(on_slots, with_b ? 16.25 : -1.0);
      }
    }
    EXPECT_EQ(values.ValueOr(slots.Bind("y"), 0), 4.5);
  }
  values.Clear();
  EXPECT_EQ(values.Find(a), nullptr);
  EXPECT_EQ(values.ValueOr(a, 7), 7);
}

TEST(ExpressionLanguage, ThreadsShareOneProgramWithListsOfTheirOwn) {
  const ExpressionProgram program("Z = A * 2 + FACTORIAL(B)");
  std::vector<double> results(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      ExpressionVariables variables;
      ExpressionEvaluator evaluator(&variables);
      double sum = 0;
      for (int i = 0; i < 1000; ++i) {
        variables.SetVariable("A", t);
        variables.SetVariable("B", 3);
        if (evaluator.Run(program).ok()) variables.GetVariable("Z", sum);
        variables.Clear();
      }
      results[static_cast<std::size_t>(t)] = sum;
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 8; ++t) EXPECT_EQ(results[static_cast<std::size_t>(t)], 2.0 * t + 6) << t;
}

TEST(ExpressionEvaluator, AssignmentsAndAnsFillTheCallersList) {
  ExpressionVariables variables;
  variables.SetVariable("B", 3);
  ExpressionEvaluator evaluator(&variables);
  EXPECT_STREQ(evaluator.Evaluate("A = B * 2"), "Ans = 6");
  EXPECT_EQ(variables.count(), 3);
  EXPECT_EQ(variables.FindVariable("B"), 0);
  EXPECT_EQ(variables.FindVariable("A"), 1);
  EXPECT_EQ(variables.FindVariable("Ans"), 2);
  double a = 0;
  ASSERT_TRUE(variables.GetVariable("a", a));
  EXPECT_EQ(a, 6);

  // Six significant digits in the text, the exact value in the list.
  const char* first = evaluator.Evaluate("1234567");
  EXPECT_STREQ(first, "Ans = 1.23457e+06");
  double ans = 0;
  ASSERT_TRUE(variables.GetVariable("ans", ans));
  EXPECT_EQ(ans, 1234567);

  // A failing text keeps Ans of the last success; the returned text is the evaluator's
  // own and now shows the failure.
  const char* second = evaluator.Evaluate("Y + 1");
  EXPECT_EQ(first, second);
  EXPECT_STREQ(second, "Error: Unknown variable Y (col 1)");
  ASSERT_TRUE(variables.GetVariable("Ans", ans));
  EXPECT_EQ(ans, 1234567);

  // Only the first "=" after a leading name assigns, and an assignment made before a
  // later error stays made.
  EXPECT_STREQ(evaluator.Evaluate("A = B = 1"), "Ans = 0");
  ASSERT_TRUE(variables.GetVariable("A", a));
  EXPECT_EQ(a, 0);
  EXPECT_STREQ(evaluator.Evaluate("A = 2 3"), "Error: Unexpected part: 3 (col 7)");
  ASSERT_TRUE(variables.GetVariable("A", a));
  EXPECT_EQ(a, 2);
  EXPECT_STREQ(evaluator.Evaluate("A == 2"), "Error: Unknown operator == (col 3)");
  EXPECT_STREQ(evaluator.Evaluate("C == 2"), "Error: Unknown variable C (col 1)");

  // Constants win over a stored variable of the same name; function names do not clash.
  EXPECT_STREQ(evaluator.Evaluate("PI = 3"), "Ans = 3");
  EXPECT_STREQ(evaluator.Evaluate("pi"), "Ans = 3.14159");
  EXPECT_STREQ(evaluator.Evaluate("sin = 2"), "Ans = 2");
  EXPECT_STREQ(evaluator.Evaluate("sin(0) + sin"), "Ans = 2");
}

TEST(ExpressionVariables, NamesAreComparedWholeIgnoringCase) {
  ExpressionVariables variables;
  variables.SetVariable("a", 1);
  variables.SetVariable("A", 2);
  EXPECT_EQ(variables.count(), 1);
  double value = 0;
  ASSERT_TRUE(variables.GetVariable("a", value));
  EXPECT_EQ(value, 2);

  // Names longer than 30 characters are held whole: they differ in their last letter.
  const std::string long_name(40, 'N');
  variables.SetVariable(long_name + "X", 3);
  variables.SetVariable(long_name + "Y", 4);
  ASSERT_TRUE(variables.GetVariable(long_name + "x", value));
  EXPECT_EQ(value, 3);
  EXPECT_FALSE(variables.HasVariable(long_name));

  // A missing name or index leaves the caller's preset value.
  value = -5;
  EXPECT_FALSE(variables.GetVariable("missing", value));
  EXPECT_FALSE(variables.GetValueAt(3, value));
  EXPECT_FALSE(variables.GetValueAt(-1, value));
  EXPECT_EQ(value, -5);

  variables.Clear();
  EXPECT_FALSE(variables.GetVariable("a", value));
  EXPECT_EQ(variables.FindVariable("a"), -1);
  EXPECT_EQ(variables.count(), 0);
}

TEST(ExpressionVariables, DeletingMovesTheLastRecordIntoThePlace) {
  ExpressionVariables variables;
  variables.SetVariable("P", 1);
  variables.SetVariable("Q", 2);
  variables.SetVariable("R", 3);
  EXPECT_TRUE(variables.DeleteVariable("p"));
  EXPECT_FALSE(variables.DeleteVariable("P"));
  EXPECT_EQ(variables.FindVariable("R"), 0);
  EXPECT_EQ(variables.FindVariable("Q"), 1);
  double value = 0;
  ASSERT_TRUE(variables.GetValueAt(0, value));
  EXPECT_EQ(value, 3);
  // A record added after a deletion comes last, and a cleared list refills in order.
  variables.SetVariable("S", 4);
  EXPECT_EQ(variables.FindVariable("S"), 2);
  variables.Clear();
  variables.SetVariable("T", 5);
  EXPECT_EQ(variables.FindVariable("T"), 0);
  EXPECT_EQ(variables.count(), 1);
}

TEST(ExpressionEvaluator, LongErrorTextsAreCutBeforeTheColumn) {
  ExpressionEvaluator evaluator(nullptr);
  const std::string text = "1 + #" + std::string(240, 'x');
  const std::string result = evaluator.Evaluate(text);
  EXPECT_EQ(result.size(), 255u);
  EXPECT_EQ(result.rfind("Error: Syntax error in part: #xxx", 0), 0u);
  EXPECT_TRUE(result.ends_with("x (col 5)")) << result;
  EXPECT_STREQ(Error(-1, 104, 19).text(), "Unknown error19");
  EXPECT_STREQ(Error(3, 2).text(), "Syntax error");
  EXPECT_STREQ(Error(3, 5, 0.000012345678).text(), "Unexpected part: 1.23457e-05");
}

}  // namespace
}  // namespace tolvo
