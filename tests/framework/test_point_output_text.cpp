// The key items of "[special_output]": a key counts only as a whole word followed by "=".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/point_output_text.h"

namespace tolvo {
namespace {

TEST(PointOutputKeys, AKeyIsAWholeWordFollowedByItsEqualsSign) {
  const struct {
    const char* text;
    KeyStatus status;
    std::string value;
  } cases[] = {
      // "ID" inside a header, a file name or another key is not the item.
      {"header=GridIDs; filename=ID_x.txt; myID=a; ID=theta;", KeyStatus::kFound, "theta"},
      {"header=x/ID=a;\n  ID = b;", KeyStatus::kFound, "b"},
      {"{ID=first; ID=second;}", KeyStatus::kFound, "first"},
      {"IDs=a; ID;", KeyStatus::kAbsent, ""},
      // The value runs to the next ";", or to the end: a missing ";" keeps the brace.
      {"Symbol=x; ID=qb}", KeyStatus::kFound, "qb}"},
      {"ID=soil moisture;", KeyStatus::kFound, "soil"},
      {"ID=;", KeyStatus::kFound, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string value;
    EXPECT_EQ(GetKeyValue(c.text, "ID", value), c.status);
    EXPECT_EQ(value, c.value);
  }
}

TEST(PointOutputKeys, ListsTakeTheLastItemAndRefusePiecesThatAreNoNumbers) {
  std::vector<double> xs;
  EXPECT_EQ(GetKeyValue("Xcoords=1; Xcoords=3500.5,3600.5 3700\t1e3,;", "Xcoords", xs), KeyStatus::kFound);
  EXPECT_EQ(xs, (std::vector<double>{3500.5, 3600.5, 3700, 1000}));
  EXPECT_EQ(GetKeyValue("Ycoords=1;", "Xcoords", xs), KeyStatus::kAbsent);
  EXPECT_TRUE(xs.empty());
  EXPECT_EQ(GetKeyValue("Xcoords=1,east;", "Xcoords", xs), KeyStatus::kNotANumber);
  std::vector<int> levels;
  EXPECT_EQ(GetKeyValue("Level=1,\n 2;", "Level", levels), KeyStatus::kFound);
  EXPECT_EQ(levels, (std::vector<int>{1, 2}));
  EXPECT_EQ(GetKeyValue("Level=99999999999;", "Level", levels), KeyStatus::kNotANumber);
  int count = 0;
  EXPECT_EQ(GetKeyValue("numfiles= 3;", "numfiles", count), KeyStatus::kFound);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(GetKeyValue("numfiles=three;", "numfiles", count), KeyStatus::kNotANumber);
}

TEST(PointOutputKeys, EntityWordsAreWholeWords) {
  const std::string block = "header=entity_list;\nfilename=myentity.txt;\nentity{ID=a;}\n entity {ID=b;}";
  const std::size_t first = FindEntityWord(block, 0);
  EXPECT_EQ(block.substr(first, 8), "entity{I");
  EXPECT_EQ(block.substr(FindEntityWord(block, first + 1), 9), "entity {I");
  EXPECT_EQ(FindEntityWord("entityX=1; myentity", 0), std::string::npos);
}

}  // namespace
}  // namespace tolvo
