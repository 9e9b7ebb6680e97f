// Station data files, grid lists and regression files of a meteorological input: the
// start search, the value and year rules, the advance through blocks to the end of the
// data or the end date, the rewind, and rows that cannot be read.
#include <gtest/gtest.h>

#include <fstream>

#include "framework/error_code.h"
#include "meteo/regression_file.h"
#include "meteo/station_file.h"
#include "meteo_fixture.h"

namespace tolvo::test {
namespace {

class MeteoFilesTest : public LogFixture {
 protected:
  // Builds input "temperature" of `items` with the given end hour of 1 January 2020.
  std::unique_ptr<meteointerpol> Build(const SectionItems& items, int end_hour = 5) {
    run_ = std::make_unique<MeteoRun>(log_, run_dir_);
    run_->settings.end_date = {2020, 1, 1, end_hour};
    run_->WriteControlFile(SectionText("temperature", items));
    return run_->Build(log_, "temperature");
  }
  int CodeOfBuild(const SectionItems& items) {
    return CodeOf([&] { Build(items); });
  }
  void WriteStations(const std::string& name, const std::vector<std::string>& rows) {
    WriteFile(dir_.file(name), StationFileText({400, 500}, {1000, 2000}, {3000, 4000}, rows));
  }
  // The hours the input walks through from its start record to the end of its data.
  static std::vector<long long> Hours(meteointerpol& input) {
    std::vector<long long> hours = {input.GetDate().hour};
    for (int step = 0; step < 100; ++step) {
      input.ReadNextRecord();
      if (input.EndOfData()) break;
      hours.push_back(input.GetDate().hour);
    }
    return hours;
  }

  TempDir run_dir_;
  std::unique_ptr<MeteoRun> run_;
};

TEST_F(MeteoFilesTest, AStationFileWithoutTheStartDateStopsWith51AndAFatalEntry) {
  const std::string diagnostics = dir_.file("own.xml");
  {
    DiagnosticsLog log(diagnostics, 4, console_);
    WriteStations("stations.txt", HourlyRows(2, 5, 2));
    MeteoRun run(log, run_dir_);
    run.WriteControlFile(SectionText("temperature", {.file_lines = {dir_.file("stations.txt")}}));
    EXPECT_EQ(CodeOf([&] { run.Build(log, "temperature"); }), kMeteoStartDateMissing);
  }
  const std::string text = ReadFile(DiagnosticsLog::PerProcessName(diagnostics, 0));
  EXPECT_NE(text.find("<line level=\"0\" description= \";file " + dir_.file("stations.txt") +
                      " dosnt contain date 1.1.2020, hour 1(feof)!\"/>"),
            std::string::npos)
      << text;
}

TEST_F(MeteoFilesTest, ValuesOutsideTheNodataRangeAreStoredAsMissing) {
  WriteStations("stations.txt", {"2020 1 1 1 10000 -9999", "2020 1 1 2 -10000.5 9999"});
  const auto input = Build({.file_lines = {dir_.file("stations.txt")}});
  EXPECT_EQ(input->station_file(0).values[1], -10000);
  EXPECT_EQ(input->station_file(0).values[2], -9999);
  input->ReadNextRecord();
  EXPECT_EQ(input->station_file(0).values[1], -10000);
  EXPECT_EQ(input->station_file(0).values[2], 9999);
}

TEST_F(MeteoFilesTest, YearRulesOfStationFilesAndRegressionFiles) {
  struct YearCase {
    long long year;
    long long station;
    long long regression;
  };
  for (const YearCase& c : {YearCase{95, 1995, 1995}, YearCase{1995, 1995, 1995}, YearCase{105, 105, 2005},
                            YearCase{999, 999, 2899}, YearCase{1000, 1000, 1000}, YearCase{0, 1900, 1900}}) {
    SCOPED_TRACE(c.year);
    EXPECT_EQ(StationYear(c.year), c.station);
    EXPECT_EQ(RegressionYear(c.year), c.regression);
  }
  // Year 0 with a month is 1900; year, month and day 0 end the data.
  EXPECT_EQ(ParseDataRowDate(log_, "0 1 1 5 2.5", 0, "f", 6).date.year, 1900);
  EXPECT_TRUE(ParseDataRowDate(log_, "0 0 0 0", 0, "f", 6).end_of_data);
  // A station file of two-digit years starts in 1995.
  WriteStations("stations.txt", {"95 1 1 1 1 2", "95 1 1 2 3 4"});
  run_ = std::make_unique<MeteoRun>(log_, run_dir_);
  run_->settings.start_date = {1995, 1, 1, 1};
  run_->settings.end_date = {1995, 1, 1, 2};
  run_->WriteControlFile(SectionText("temperature", {.file_lines = {dir_.file("stations.txt")}}));
  const auto input = run_->Build(log_, "temperature");
  EXPECT_EQ(input->GetDate().year, 1995);
}

TEST_F(MeteoFilesTest, TheAllEqualFlagLooksAtThePresentValuesOnly) {
  WriteFile(dir_.file("stations.txt"),
            StationFileText({1, 2, 3, 4}, {1, 2, 3, 4}, {1, 2, 3, 4},
                            {"2020 1 1 1 0 0 0 -99999", "2020 1 1 2 0 0 0 -99999", "2020 1 1 3 0 0.1 -99999 -99999",
                             "2020 1 1 4 -99999 -99999 -99999 -99999"}));
  const auto input = Build({.file_lines = {dir_.file("stations.txt")}});
  // The start record's flag is cleared; every advance sets it.
  EXPECT_FALSE(input->station_file(0).all_equal);
  const bool expected[] = {true, false, true};
  for (const bool flag : expected) {
    input->ReadNextRecord();
    EXPECT_EQ(input->station_file(0).all_equal, flag) << input->GetDate().hour;
  }
}

TEST_F(MeteoFilesTest, TheInputEndsWithTheRowOfTheEndDateOrTheEndOfItsData) {
  WriteStations("stations.txt", HourlyRows(1, 5, 2));
  // End date on a row: that row is used, then the data end.
  auto input = Build({.file_lines = {dir_.file("stations.txt")}}, 3);
  EXPECT_EQ(Hours(*input), (std::vector<long long>{1, 2, 3}));
  EXPECT_EQ(input->GetDate().hour, 3);
  EXPECT_EQ(input->station_file(0).values[2], 23);
  // Rows that end before the end date: the last row, then the end.
  input = Build({.file_lines = {dir_.file("stations.txt")}}, 24);
  EXPECT_EQ(Hours(*input), (std::vector<long long>{1, 2, 3, 4, 5}));
  // A file whose start row is its last row.
  WriteStations("stations.txt", HourlyRows(1, 1, 2));
  input = Build({.file_lines = {dir_.file("stations.txt")}}, 24);
  EXPECT_EQ(Hours(*input), (std::vector<long long>{1}));
  // A row of year, month and day 0 ends the data; what follows it is not read.
  WriteStations("stations.txt", {"2020 1 1 1 1 2", "2020 1 1 2 3 4", "0 0 0 0", "not a row"});
  input = Build({.file_lines = {dir_.file("stations.txt")}}, 24);
  EXPECT_EQ(Hours(*input), (std::vector<long long>{1, 2}));
  // A rewind returns the start record.
  input->RewindInput();
  EXPECT_FALSE(input->EndOfData());
  input->ReadNextRecord();
  EXPECT_EQ(input->GetDate().hour, 1);
  EXPECT_EQ(input->station_file(0).values[1], 1);
}

TEST_F(MeteoFilesTest, EndAtCurrentDateEndsTheDataAtTheNextAdvance) {
  WriteStations("stations.txt", HourlyRows(1, 5, 2));
  const auto input = Build({.file_lines = {dir_.file("stations.txt")}});
  input->ReadNextRecord();
  input->EndAtCurrentDate();
  EXPECT_FALSE(input->EndOfData());
  input->ReadNextRecord();
  EXPECT_TRUE(input->EndOfData());
  EXPECT_EQ(input->GetDate().hour, 2);
  EXPECT_EQ(input->station_file(0).values[1], 12);
}

TEST_F(MeteoFilesTest, TwoStationFilesWhoseRowsDifferStopWith73ListingBothDates) {
  WriteStations("residuals.txt", HourlyRows(1, 3, 2));
  WriteStations("gradients.txt", {"2020 1 1 1 1 2", "2020 1 1 3 5 6"});
  const auto input = Build({.method = "6", .file_lines = {dir_.file("residuals.txt"), dir_.file("gradients.txt")}});
  EXPECT_EQ(CodeOf([&] { input->ReadNextRecord(); }), kStationFilesDisagree);
  EXPECT_TRUE(Logged("error reading date from stationfiles:"));
  EXPECT_TRUE(Logged("file " + dir_.file("residuals.txt") + ": YYYY=2020, MM=1, DD=1, HH=2"));
  EXPECT_TRUE(Logged("file " + dir_.file("gradients.txt") + ": YYYY=2020, MM=1, DD=1, HH=3"));
}

TEST_F(MeteoFilesTest, RowsThatCannotBeReadStopWith49NamingTheFileAndTheLine) {
  struct RowCase {
    const char* name;
    std::string row;  // line 8 of the file (the third data row)
    std::string logged;
  };
  const std::string file = dir_.file("stations.txt");
  const RowCase cases[] = {
      {"fewer values than stations", "2020 1 1 3 5", file + ", line 8: the row holds 1 values for 2 stations"},
      {"a value that is no number", "2020 1 1 3 5 n/a", file + ", line 8: the value of station 2 (n/a) is no number"},
      {"a year beyond the calendar", "100000000000000 1 1 3 5 6",
       file + ", line 8: the year 100000000000000 lies outside 0 to 9999"},
      {"a year beyond any integer", "100000000000000000000 1 1 3 5 6",
       file + ", line 8: the year (100000000000000000000) is no integer"},
      {"an hour that is no number", "2020 1 1 three 5 6", file + ", line 8: the hour (three) is no integer"},
  };
  for (const RowCase& c : cases) {
    SCOPED_TRACE(c.name);
    WriteStations("stations.txt", {"2020 1 1 1 1 2", "2020 1 1 2 3 4", c.row});
    const auto input = Build({.file_lines = {file}});
    EXPECT_EQ(CodeOf([&] { input->ReadNextRecord(); }), kMeteoInputFileError);
    EXPECT_TRUE(Logged(c.logged)) << console_.str();
  }
}

TEST_F(MeteoFilesTest, HeadersWithoutACoordinateForEveryStationStopWith49) {
  struct HeaderCase {
    const char* name;
    std::string text;
    std::string logged;
  };
  const std::string file = dir_.file("stations.txt");
  const HeaderCase cases[] = {
      {"a title only", "title\n", "station data file " + file + " ends before line 2"},
      {"no y row", "title\nYY MM DD HH 400 500\nYY MM DD HH 1000 2000\n", "ends before line 4"},
      {"an x row shorter than the altitudes", "title\nYY MM DD HH 400 500\nYY MM DD HH 1000\nYY MM DD HH 1 2\n",
       file + ", line 3: the line holds 1 values after its 4 leading words for 2 stations"},
      {"a row without its date", "title\nYY MM DD HH 400\nYY MM DD HH 1\nYY MM DD HH 1\nnames\n2020 1 1\n",
       file + ", line 6: the row holds 3 words, fewer than the 4 of its date and the 0 additional columns"},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(file, c.text);
    EXPECT_EQ(CodeOfBuild({.file_lines = {file}}), kMeteoInputFileError);
    EXPECT_TRUE(Logged(c.logged)) << console_.str();
  }
}

TEST_F(MeteoFilesTest, TheRestOfARowIsSkippedWhateverItsLength) {
  const std::string comment(20000, 'x');
  WriteStations("stations.txt",
                {"2020 1 1 1 1 2 " + comment, "2020 1 1 2 3 4   " + comment + " 7 8", "2020 1 1 3 5 6"});
  const auto input = Build({.file_lines = {dir_.file("stations.txt")}});
  EXPECT_EQ(Hours(*input), (std::vector<long long>{1, 2, 3}));
}

TEST_F(MeteoFilesTest, ABlockThatEndsWithTheFileLoadsTheStartRecordAgainAfterARewind) {
  WriteStations("stations.txt", HourlyRows(1, 3, 2));
  const MeteoFileContext context{log_, "temperature", 9999, {2020, 1, 1, 1}};
  StationFileState file;
  file.file_name = dir_.file("stations.txt");
  ReadStationHeader(context, file);
  SeekStationStart(context, file);
  file.saved_start_row = file.start_row;
  SizeStationBlock(file);
  // Blocks of two records: the two rows after the start row fill the first block exactly.
  file.capacity = 2;
  const long long end_key = DateKey(2020, 1, 1, 24);
  bool end = false;
  std::vector<long long> hours;
  for (int step = 0; step < 5 && !end; ++step) {
    NextStationRecord(context, file, end_key, end);
    if (!end) hours.push_back(file.date.hour);
  }
  EXPECT_EQ(hours, (std::vector<long long>{2, 3}));
  EXPECT_EQ(file.capacity, 2);
  for (int repetition = 0; repetition < 2; ++repetition) {
    RewindStationFile(file, {2020, 1, 1, 1});
    end = false;
    hours.clear();
    for (int step = 0; step < 5 && !end; ++step) {
      NextStationRecord(context, file, end_key, end);
      if (!end) hours.push_back(file.date.hour);
    }
    EXPECT_EQ(hours, (std::vector<long long>{1, 2, 3}));
  }
}

TEST_F(MeteoFilesTest, RegressionFilesAreTextAfterAJrMoHeaderAndBinaryOtherwise) {
  // Text: the header line, then one record per line.
  std::ofstream(dir_.file("regression.txt")) << "jr mo dy hr a1 b1 h1 a2 b2 h2 a3 b3 c0 cx cy\n"
                                             << "2019 12 31 24 1 2 3 4 5 6 7 8 9 10 11\n"
                                             << "120 1 1 1 1 2 3 4 5 6 7 8 9 10 11\n"
                                             << "2020 1 1 2 2 3 4 5 6 7 8 9 10 11 12\n";
  auto input = Build({.method = "2", .file_lines = {"unused"}, .method_line = dir_.file("regression.txt")});
  EXPECT_TRUE(input->regression_file().text);
  EXPECT_EQ(input->GetDate().year, 2020);
  EXPECT_EQ(input->regression_file().parameters[10], 11);
  EXPECT_EQ(Hours(*input), (std::vector<long long>{1, 2}));
  EXPECT_EQ(input->regression_file().parameters[0], 2);
  EXPECT_NE(input->statistics_description().find("interpolated with regression from  " + dir_.file("regression.txt") +
                                                 ", zones from zones.asc, control file: "),
            std::string::npos)
      << input->statistics_description();

  // Binary: year 74 (its first byte is "J") is 1974; records of 120 bytes from byte 0.
  WriteBinaryRegressionFile(dir_.file("regression.bin"), {{74, 1, 1, 1}, {74, 1, 1, 2}, {74, 1, 1, 3}});
  EXPECT_EQ(ReadFile(dir_.file("regression.bin")).front(), 'J');
  run_ = std::make_unique<MeteoRun>(log_, run_dir_);
  run_->settings.start_date = {1974, 1, 1, 2};
  run_->settings.end_date = {1974, 1, 1, 24};
  run_->WriteControlFile(SectionText(
      "temperature", {.method = "2", .file_lines = {"unused"}, .method_line = dir_.file("regression.bin")}));
  input = run_->Build(log_, "temperature");
  EXPECT_FALSE(input->regression_file().text);
  EXPECT_EQ(input->GetDate().year, 1974);
  EXPECT_EQ(input->regression_file().parameters[0], 1 + 2);
  EXPECT_EQ(Hours(*input), (std::vector<long long>{2, 3}));
  EXPECT_EQ(input->regression_file().parameters[10], 11 + 3);
  input->RewindInput();
  input->ReadNextRecord();
  EXPECT_EQ(input->GetDate().hour, 2);
  EXPECT_EQ(input->regression_file().parameters[0], 1 + 2);
}

TEST_F(MeteoFilesTest, ARegressionFileWithoutTheStartDateStopsWith51) {
  std::ofstream(dir_.file("regression.txt")) << "jr mo dy hr\n2020 1 1 2 1 2 3 4 5 6 7 8 9 10 11\n";
  EXPECT_EQ(CodeOfBuild({.method = "2", .file_lines = {"unused"}, .method_line = dir_.file("regression.txt")}),
            kMeteoStartDateMissing);
  EXPECT_TRUE(Logged("EOF reached: " + dir_.file("regression.txt") + ", date 1.1.2020, 1. h not found!"));
}

TEST_F(MeteoFilesTest, IdwWithRegressionStopsWith52WhenTheDatesPart) {
  WriteStations("stations.txt", HourlyRows(1, 3, 2));
  std::ofstream(dir_.file("regression.txt")) << "jr mo dy hr\n"
                                             << "2020 1 1 1 1 2 3 4 5 6 7 8 9 10 11\n"
                                             << "2020 1 1 3 1 2 3 4 5 6 7 8 9 10 11\n";
  const auto input =
      Build({.method = "3", .file_lines = {dir_.file("stations.txt")}, .method_line = dir_.file("regression.txt")});
  EXPECT_EQ(CodeOf([&] { input->ReadNextRecord(); }), kMeteoRegressionDateError);
  EXPECT_TRUE(Logged("but date from regres file " + dir_.file("regression.txt") + ":\n1.1.2020 3 h"));
}

TEST_F(MeteoFilesTest, AGridListNamesTheGridOfEachDateAndPlacesGifImagesByItsFirstColumn) {
  WriteFile(dir_.file("grids.txt"),
            StationFileText({250}, {1000}, {5000}, {"2020 1 1 1 a.asc", "2020 1 1 2 -9999", "2020 1 1 3 b.asc"}));
  const auto input = Build({.method = "9",
                            .file_lines = {dir_.file("grids.txt")},
                            .method_line = "8.9e-5 0.0767 127 6e-6 0.098 GIF mapping"});
  EXPECT_EQ(input->grid_list().grid_name, "a.asc");
  EXPECT_EQ(input->gif_georeference().x_origin, 1000);
  EXPECT_EQ(input->gif_georeference().y_origin, 5000);
  EXPECT_EQ(input->gif_georeference().cell_size, 250);
  std::vector<std::string> names;
  for (int step = 0; step < 5 && !input->EndOfData(); ++step) {
    input->ReadNextRecord();
    if (!input->EndOfData()) names.push_back(input->grid_list().grid_name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"-9999", "b.asc"}));
  input->RewindInput();
  input->ReadNextRecord();
  EXPECT_EQ(input->grid_list().grid_name, "a.asc");
  EXPECT_EQ(input->GetDate().hour, 1);
}

TEST_F(MeteoFilesTest, InterpolatingAnotherDateThanTheInputsStopsWith52) {
  WriteStations("stations.txt", HourlyRows(1, 3, 2));
  const auto input = Build({.file_lines = {dir_.file("stations.txt")}});
  EXPECT_EQ(CodeOf([&] { input->Interpolate({2020, 1, 1, 2}); }), kMeteoStepDateError);
  EXPECT_TRUE(Logged("error in date columns of temperature"));
  EXPECT_TRUE(Logged("but in temperature:\n1.1.2020 1. h"));
}

}  // namespace
}  // namespace tolvo::test
