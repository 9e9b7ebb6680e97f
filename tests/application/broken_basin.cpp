#include "application/broken_basin.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "framework/diagnostics_log.h"
#include "support/example_basin.h"
#include "support/test_support.h"
#include "support/xml_check.h"

namespace tolvo::test {
namespace {

namespace fs = std::filesystem;

// Long enough for a loaded machine; a job that waits for a process that has failed
// does not end by itself.
constexpr int kJobTimeoutSeconds = 120;

// The processes whose working directory lies in the folder.
std::vector<std::string> ProcessesIn(const fs::path& folder) {
  std::vector<std::string> found;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc", error)) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ignored;
    const fs::path cwd = fs::read_symlink(entry.path() / "cwd", ignored);
    if (!ignored && cwd.string().starts_with(folder.string())) found.push_back(pid);
  }
  return found;
}

// The lines of FATAL entries of a diagnostics file.
std::vector<std::string> FatalLines(const std::string& xml) {
  std::vector<std::string> lines;
  std::istringstream in(xml);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("\t<line level=\"0\"")) lines.push_back(line);
  }
  return lines;
}

}  // namespace

BasinMutation ReplaceText(const std::string& file, const std::string& from, const std::string& to) {
  return [=](const fs::path& basin) {
    std::string text = ReadFile((basin / file).string());
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << "\"" << from << "\" is not in " << file;
    text.replace(at, from.size(), to);
    WriteFile((basin / file).string(), text);
  };
}

BasinMutation WriteText(const std::string& file, const std::string& text) {
  return [=](const fs::path& basin) { WriteFile((basin / file).string(), text); };
}

BasinMutation SetGridCell(const std::string& file, int row, int column, const std::string& value) {
  return [=](const fs::path& basin) {
    std::istringstream in(ReadFile((basin / file).string()));
    std::ostringstream out;
    int line_number = 0;
    bool set = false;
    for (std::string line; std::getline(in, line);) {
      ++line_number;
      if (line_number == 6 + row) {
        std::istringstream cells(line);
        std::vector<std::string> values;
        for (std::string cell; cells >> cell;) values.push_back(cell);
        ASSERT_LE(column, static_cast<int>(values.size())) << file;
        values[static_cast<std::size_t>(column - 1)] = value;
        line.clear();
        for (const std::string& cell : values) line += (line.empty() ? "" : " ") + cell;
        set = true;
      }
      out << line << "\n";
    }
    ASSERT_TRUE(set) << file << " has no row " << row;
    WriteFile((basin / file).string(), out.str());
  };
}

void PrintTo(const BrokenBasinCase& broken, std::ostream* os) { *os << broken.name; }

void CheckBrokenBasin(const BrokenBasinCase& broken, int processes) {
  SCOPED_TRACE(broken.name + ", " + std::to_string(processes) + " processes");
  TempDir dir;
  fs::copy(ExampleBasinSource(), dir.path(), fs::copy_options::recursive);
  fs::create_directories(dir.path() / "out");
  WriteFile(dir.file("basin.ctl"), WithoutStationData(ReadFile(dir.file("basin.ctl"))));
  for (const BasinMutation& mutate : broken.mutations) mutate(dir.path());
  if (::testing::Test::HasFatalFailure()) return;

  std::vector<std::string> arguments{"basin.ctl"};
  arguments.insert(arguments.end(), broken.arguments.begin(), broken.arguments.end());
  const auto start = std::chrono::steady_clock::now();
  const ProgramRun run = RunProgram(arguments, dir.path(), processes, "", kJobTimeoutSeconds);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_LT(elapsed, std::chrono::seconds(kJobTimeoutSeconds)) << "the job did not end:\n" << run.output;

  // Processes killed by the abort may take a moment to go away.
  std::vector<std::string> left = ProcessesIn(dir.path());
  for (int tries = 0; !left.empty() && tries < 50; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    left = ProcessesIn(dir.path());
  }
  EXPECT_TRUE(left.empty()) << left.size() << " processes of the job are still running";

  EXPECT_EQ(run.status, broken.code & 0xFF) << run.output;
  const std::string xml = ReadFile(dir.file("Tolvo_Diag_0.xml"));
  EXPECT_EQ(XmlProblem(xml), "") << xml;
  EXPECT_TRUE(xml.ends_with("</Diag>\n"));
  EXPECT_EQ(AbortCodeInLog(xml), broken.code) << xml;
  const std::vector<std::string> fatal = FatalLines(xml);
  const std::string expected = DiagnosticsLog::FileForm(broken.fatal_text);
  const auto names_failure = [&](const std::string& line) { return line.find(expected) != std::string::npos; };
  EXPECT_EQ(std::count_if(fatal.begin(), fatal.end(), names_failure), 1) << xml;
  const std::string top = "Exception " + std::to_string(broken.code) + " caught at top level!";
  EXPECT_EQ(std::count_if(fatal.begin(), fatal.end(), [&](const std::string& line) {
              return line.find(top) != std::string::npos;
            }),
            1)
      << xml;
  EXPECT_NE(run.output.find(broken.fatal_text), std::string::npos) << run.output;
  EXPECT_FALSE(fs::exists(dir.file("Tolvo_Diag_1.xml")));

  for (const std::string& file : broken.absent_files) EXPECT_FALSE(fs::exists(dir.path() / file)) << file;
}

}  // namespace tolvo::test
