#include "setup/control_file_symbols.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "framework/error_code.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::ReadFile;
using test::WriteFile;

class ControlFileSymbolsTest : public test::LogFixture {
 protected:
  // Compiles a control file with the text; the error code, or 0.
  int Compile(const std::string& text) {
    WriteFile(dir_.file("run.ctl"), text);
    try {
      EXPECT_EQ(CompileSymbols(dir_.file("run.ctl"), log_), dir_.file("run.ctl.$$$"));
    } catch (const ErrorCode& error) {
      return error.code;
    }
    return 0;
  }
  std::string Compiled() const { return ReadFile(dir_.file("run.ctl.$$$")); }
};

TEST_F(ControlFileSymbolsTest, CompiledCopySubstitutesSymbolsAndCutsCommentsAndJoins) {
  ASSERT_EQ(Compile("# model control file\n"
                    "$set $out = /data/run1\n"
                    "$set $a = 5\n"
                    "$set $b = $a\n"
                    "[section]\n"
                    "$out//discharge.txt   # the output\n"
                    "value $b;\n"
                    "  $set $c = 7//x\n"
                    "$c#comment\n"
                    "x$a"),
            0);
  // The comment line keeps its line end, "$set" lines at the first character vanish, an
  // indented one stays whole (with its "//"), and the last line is written once.
  EXPECT_EQ(Compiled(),
            "\n"
            "[section]\n"
            "/data/run1discharge.txt   \n"
            "value 5;\n"
            "  $set $c = 7//x\n"
            "7x\n"
            "x5");
  EXPECT_TRUE(Logged("compiling symbols in control file " + dir_.file("run.ctl")));
}

TEST_F(ControlFileSymbolsTest, ReplaceSymbolsHandlesOneLine) {
  const std::vector<ControlFileSymbol> symbols = {{"$dir", "/d/"}, {"$n", "3"}, {"$dir", "/shadowed/"}};
  const struct {
    const char* label;
    std::string text;
    std::string expected;
  } cases[] = {
      {"join with a file name", " $dir//a.txt\n", " /d/a.txt\n"},
      {"';' ends the word and stays", " $n; $n\n", " 3; 3\n"},
      {"the first symbol of a name wins", " $dir\n", " /d/\n"},
      {"comment after a blank", " 3 # c\n", " 3 \n"},
      {"comment glued to a value", " 3#c\n", " 3\n"},
      {"a $set line is left alone", " $set $x = $n//y\n", " $set $x = $n//y\n"},
      {"every // is removed", " a////b\n", " ab\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string text = c.text;
    EXPECT_EQ(ReplaceSymbols(text, 1, symbols, log_), c.expected);
  }
}

TEST_F(ControlFileSymbolsTest, UndefinedSymbolsNameTheirLineAndFailWith17) {
  const struct {
    const char* label;
    std::string text;
    std::string line;
  } cases[] = {
      {"single slash is part of the word", "$set $out = /data\n$out/x\n", "undefined symbol at line 2:\n $out/x"},
      {"no symbols at all", "a\nb $x\n", "undefined symbol at line 2:\n b $x"},
      {"in a value", "$set $a = $b\n", "undefined symbol at line 1:\n$b"},
      {"name defined without '$'", "$set out = 1\n$out\n", "undefined symbol at line 2:\n $out"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Compile(c.text), 17);
    EXPECT_TRUE(Logged("\n-----------------------------------------------------------\npossible error in control file!\n" +
                       c.line));
  }
}

TEST_F(ControlFileSymbolsTest, SelfReferenceAndExcessiveSymbolsAreRefusedWith17) {
  std::string many;
  for (int i = 1; i <= 2000; ++i) many += "$set $s" + std::to_string(i) + " = " + std::to_string(i) + "\n";
  const std::string long_value(300, 'v');
  const std::string long_line(1201, 'l');
  const struct {
    const char* label;
    std::string text;
    std::string entry;
  } cases[] = {
      {"direct self reference", "$set $a = x$a\n", "symbol $a refers to itself at line 1"},
      {"self reference with a join", "$set $a = $a//b\n", "symbol $a refers to itself at line 1"},
      {"2000 symbols", many, "more than 1999 symbols at line 2000"},
      {"value of 300 characters", "$set $v = " + long_value + "\n", "longer than 299 characters at line 1"},
      {"expanded value of 300 characters", "$set $v = " + long_value.substr(0, 150) + "\n$set $w = $v//$v\n",
       "value of symbol $w longer than 299 characters at line 2"},
      {"line of 1201 characters", long_line + "\n", "line longer than 1200 characters at line 1"},
      {"line growing past 1200 characters", "$set $v = " + std::string(200, 'v') + "\n" + std::string(7, ' ') +
                                                "$v $v $v $v $v $v\n",
       "line longer than 1200 characters at line 2"},
      {"incomplete definition", "$set $a =\n", "incomplete symbol definition"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Compile(c.text), 17);
    EXPECT_TRUE(Logged(c.entry));
  }
}

// A control file is text: bytes that are not, and files that never end a line, stop the
// first pass at once, naming the line, instead of being cut or read without end.
TEST_F(ControlFileSymbolsTest, BinaryContentIsRefusedWith17AtItsLine) {
  using namespace std::string_literals;
  const struct {
    const char* label;
    std::string text;
    std::string entry;
  } cases[] = {
      {"NUL at the start of a line", "[model_time]\n1 start hour\n\0\0\0\n"s, "NUL character (byte 0) in column 1"},
      {"NUL inside a line", "[model_time]\n1 start\0 hour\n"s, "in column 8, a control file must be text, at line 2"},
      {"NUL in the last line without line end", "[a]\n[b]\nx\0"s, "at line 3"},
      {"no line end for 5000 characters", std::string(5000, 'x'), "line longer than 1200 characters at line 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Compile(c.text), 17);
    EXPECT_TRUE(Logged(c.entry));
    EXPECT_FALSE(std::filesystem::exists(dir_.file("run.ctl.$$$")));
  }
}

TEST_F(ControlFileSymbolsTest, EndlessDeviceAndDirectoryAreRefused) {
  EXPECT_EQ(test::CodeOf([&] { CompileSymbols("/dev/zero", log_); }), 17);
  EXPECT_TRUE(Logged("NUL character (byte 0) in column 1, a control file must be text, at line 1"));
  EXPECT_EQ(test::CodeOf([&] { CompileSymbols(dir_.path().string(), log_); }), 28);
  EXPECT_TRUE(Logged("error opening " + dir_.path().string() + ": it is a directory, not a control file"));
}

TEST_F(ControlFileSymbolsTest, RepeatedValuesWarnExceptNumbersAndSpecialValues) {
  ASSERT_EQ(Compile("$set $d1 = /data/in/\n"
                    "$set $d2 = /data/in/\n"
                    "$set $n1 = 5\n"
                    "$set $n2 = 5\n"
                    "$set $f1 = infiltration.grd\n"
                    "$set $f2 = infiltration.grd\n"),
            0);
  EXPECT_TRUE(Logged("\n------------------------ WARNING --------------------------\npossible error in control file!\n"
                     "content of symbol $d1 is the same as symbol $d2, \n (which is: /data/in/).\n"
                     "this may lead to collusions!"));
  EXPECT_FALSE(Logged("content of symbol $n1"));
  EXPECT_FALSE(Logged("content of symbol $f1"));
  EXPECT_EQ(Compiled(), "");
}

TEST_F(ControlFileSymbolsTest, MissingSourceOrUnwritableCopyFailsWith28) {
  EXPECT_THROW(
      {
        try {
          CompileSymbols(dir_.file("absent.ctl"), log_);
        } catch (const ErrorCode& error) {
          EXPECT_EQ(error.code, 28);
          throw;
        }
      },
      ErrorCode);
  EXPECT_TRUE(Logged("error opening " + dir_.file("absent.ctl")));
  std::filesystem::create_directory(dir_.file("run.ctl.$$$"));  // the copy cannot be created
  EXPECT_EQ(Compile("a\n"), 28);
  EXPECT_TRUE(Logged("error opening " + dir_.file("run.ctl.$$$")));
}

}  // namespace
}  // namespace tolvo
