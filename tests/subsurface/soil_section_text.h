#pragma once
// The text of a "[unsatzon_model]" section for the soil model's tests: every item with
// a value of its own, and the fields the tests change.

#include <string>

namespace tolvo::test {

struct SoilSectionText {
  int module_switch = 1;
  std::string method = "2";
  int interaction = 0;
  int pond = 0;
  int drainage = 0;
  int clay = 0;
  std::string ini_gw_level = "2";
  std::string control_point = "0 0";
  // The sub-basin block: the code line and the six parameter lines.
  std::string block = "1 2\n2 2\n50 50\n1 1\n200 200\n1 1\n0.2 0.2\n";
  int storage_read_code = 0;
  std::string storage_file = "storage.ste";
  std::string method3_items = "30 min step\nsubsteps.stat 0 statistics\nsubsteps.asc grid\n0 write code\n";
  std::string line_end = "\n";
  int statistic_code = 0;  // of every statistics table

  std::string Render() const {
    const char* statistics[] = {"QDRAIN", "GWSTAND", "GWN", "SB_1_", "SB_2_", "ROOT", "INFEX", "POND",
                                "QD",     "QI",      "QB",  "Qg",    "GWIN",  "GWEX", "MACRO", "INFILT"};
    std::string t = "[unsatzon_model]\n" + std::to_string(module_switch) + " switch\n60 step\n" + method + " method\n" +
                    std::to_string(interaction) + " interaction\n" + std::to_string(pond) + " pond\n" +
                    std::to_string(drainage) + " drainage\n" + std::to_string(clay) + " clay\n1e-8 ksat clay\n" +
                    ini_gw_level + " ini_gw_level\n";
    for (const char* s : statistics) t += std::string(s) + ".stat " + std::to_string(statistic_code) + " statistics\n";
    const char* outputs[] = {"sb05", "sb1",  "wurz", "theta", "hh",   "hgeo",  "qu",   "gwst",
                             "gwth", "gwn",  "gwlv", "qdr",   "sat",  "infex", "qd",   "qi",
                             "qb",   "gwin", "gwex", "pond",  "uprs", "perc",  "macr", "irri"};
    for (const char* o : outputs) t += std::string(o) + ".asc name\n0 write code\n";
    t += control_point + " control point\nqbot.txt\ntheta.txt\nhhyd.txt\nother.txt\netr.txt\ninterf.txt\n";
    t += block;
    t += std::to_string(storage_read_code) + " storage read code\n" + storage_file + " storage file\n";
    if (method == "3") t += method3_items;
    t += "[next_section]\n";
    if (line_end != "\n") {
      std::string converted;
      for (const char ch : t) {
        if (ch == '\n') {
          converted += line_end;
        } else {
          converted += ch;
        }
      }
      return converted;
    }
    return t;
  }
};

}  // namespace tolvo::test
