#include "control_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace basin_generator {
namespace {

using Lines = std::vector<std::string>;

Lines SplitLines(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string JoinLines(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + '\n';
  return text;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

// Lines [first, last) of a section, after its "[name]" line.
struct Section {
  std::size_t first = 0;
  std::size_t last = 0;
};

Section FindSection(const Lines& lines, const std::string& name) {
  const std::string header = "[" + name + "]";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(header, 0) != 0) continue;
    std::size_t end = i + 1;
    while (end < lines.size() && lines[end].rfind('[', 0) != 0) ++end;
    return {.first = i + 1, .last = end};
  }
  throw std::runtime_error("the example's control file has no section " + header);
}

std::vector<std::string> Tokens(const std::string& line) {
  std::vector<std::string> tokens;
  std::istringstream in(line);
  for (std::string token; in >> token;) tokens.push_back(token);
  return tokens;
}

bool IsNumber(const std::string& token) {
  char* end = nullptr;
  std::strtod(token.c_str(), &end);
  return !token.empty() && *end == '\0';
}

// The line with its first token replaced, the rest (spacing and comment) kept.
std::string ReplaceFirstToken(const std::string& line, const std::string& token) {
  const std::size_t begin = line.find_first_not_of(" \t");
  const std::size_t end = line.find_first_of(" \t", begin);
  return line.substr(0, begin) + token + (end == std::string::npos ? "" : line.substr(end));
}

std::size_t FindLine(const Lines& lines, Section section, const std::string& text) {
  for (std::size_t i = section.first; i < section.last; ++i) {
    if (lines[i].find(text) != std::string::npos) return i;
  }
  throw std::runtime_error("the example's control file has no line with \"" + text + "\" where expected");
}

// Per-step grid writes become 0 (statistics tables keep their codes).
void DropPerStepGridWrites(Lines& lines) {
  for (std::string& line : lines) {
    const std::vector<std::string> tokens = Tokens(line);
    const bool grid_write = line.find("written every step") != std::string::npos ||
                            (line.find("write code") != std::string::npos && line.find("every step") != std::string::npos);
    if (grid_write && !tokens.empty() && IsNumber(tokens[0])) line = ReplaceFirstToken(line, "0");
  }
}

// The end of the model time: `hours` hourly steps from the start, whose first step ends at
// the start hour.
void SetModelTime(Lines& lines, int hours) {
  const Section time = FindSection(lines, "model_time");
  if (time.last - time.first < 8) throw std::runtime_error("[model_time] has fewer than eight lines");
  int date[4];  // hour, day, month, year
  for (int i = 0; i < 4; ++i) date[i] = std::stoi(Tokens(lines[time.first + static_cast<std::size_t>(i)]).at(0));
  auto month_days = [](int year, int month) {
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int days[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return days[month - 1];
  };
  for (int h = 1; h < hours; ++h) {
    if (++date[0] <= 24) continue;
    date[0] = 1;
    if (++date[1] <= month_days(date[3], date[2])) continue;
    date[1] = 1;
    if (++date[2] <= 12) continue;
    date[2] = 1;
    ++date[3];
  }
  for (int i = 0; i < 4; ++i) {
    std::string& line = lines[time.first + 4 + static_cast<std::size_t>(i)];
    line = ReplaceFirstToken(line, std::to_string(date[i]));
  }
}

// A line of sub-basin codes with parameters of their own and the value lines after it
// (one value per code): every sub-basin gets the first sub-basin's values.
void SetParametersPerSubbasin(Lines& lines, const std::string& section, const std::string& codes_line,
                              int n_zones) {
  const Section part = FindSection(lines, section);
  const std::size_t codes = FindLine(lines, part, codes_line);
  const std::size_t n_example = [&] {
    std::size_t n = 0;
    for (const std::string& token : Tokens(lines[codes])) {
      if (!IsNumber(token)) break;
      ++n;
    }
    return n;
  }();
  if (n_example == 0) throw std::runtime_error("[" + section + "] names no sub-basin codes in \"" + codes_line + "\"");
  auto replace_values = [&](std::string& line, auto value_of) {
    std::string text;
    for (int k = 1; k <= n_zones; ++k) {
      if (k > 1) text += ' ';
      text += value_of(k);
    }
    std::size_t pos = line.find_first_not_of(" \t");
    for (std::size_t i = 0; i < n_example; ++i) {
      pos = line.find_first_of(" \t", pos);
      pos = line.find_first_not_of(" \t", pos);
    }
    line = text + "  " + (pos == std::string::npos ? "" : line.substr(pos));
  };
  replace_values(lines[codes], [](int k) { return std::to_string(k); });
  for (std::size_t i = codes + 1; i < part.last; ++i) {
    const std::vector<std::string> tokens = Tokens(lines[i]);
    if (tokens.size() < n_example || !IsNumber(tokens[n_example - 1]) ||
        (tokens.size() > n_example && IsNumber(tokens[n_example]))) {
      break;
    }
    const std::string first = tokens[0];
    replace_values(lines[i], [&](int) { return first; });
  }
}

void SetControlCell(Lines& lines, const BasinLayout& basin) {
  const Section soil = FindSection(lines, "unsatzon_model");
  std::string& line = lines[FindLine(lines, soil, "control_row/column")];
  const std::size_t comment = line.find("control_row/column");
  line = std::to_string(basin.n / 2) + " " + std::to_string(basin.n / 3) + "   " + line.substr(comment);
}

// Every number in a "Xcoords=..." or "Ycoords=..." list, and every search radius, scaled.
void StretchCoordinates(Lines& lines, const ControlSettings& settings) {
  const std::regex list(R"(([XY])coords=([-0-9.,eE+ ]+);)");
  for (std::string& line : lines) {
    std::string out;
    auto begin = line.cbegin();
    for (std::smatch m; std::regex_search(begin, line.cend(), m, list); begin = m.suffix().first) {
      const bool x = m[1] == "X";
      std::string values;
      std::istringstream in(m[2].str());
      for (std::string value; std::getline(in, value, ',');) {
        // The centre of the cell that the stretched point falls into.
        const double origin = x ? settings.x_origin : settings.y_origin;
        const double cells = (std::stod(value) - origin) / settings.cellsize * (x ? settings.stretch_x : settings.stretch_y);
        if (!values.empty()) values += ',';
        values += Number(origin + (std::floor(cells) + 0.5) * settings.cellsize);
      }
      out += m.prefix().str() + m[1].str() + "coords=" + values + ";";
    }
    if (!out.empty()) line = out + std::string(begin, line.cend());
    if (line.find("search radius (m)") != std::string::npos) {
      const double radius = std::stod(Tokens(line).at(0)) * std::max(settings.stretch_x, settings.stretch_y);
      line = ReplaceFirstToken(line, Number(std::round(radius)));
    }
  }
}

std::string WithValue(const std::string& line, const std::string& key, const std::string& value) {
  const std::regex pattern("\\b" + key + "=[^,)]*");
  return std::regex_replace(line, pattern, key + "=" + value, std::regex_constants::format_first_only);
}

// The routing description: sub-basin k drains through the example's channel into k + 1;
// the outlet keeps the example's inflow, abstraction and reservoir.
void ChainSubbasins(Lines& lines, const BasinLayout& basin) {
  const Section routing = FindSection(lines, "routing_model");
  std::size_t first = routing.last;
  std::size_t last = routing.last;
  for (std::size_t i = routing.first; i < routing.last; ++i) {
    if (first == routing.last && lines[i].rfind("TG ", 0) == 0) first = i;
    if (first != routing.last && lines[i].rfind("end of the routing description", 0) == 0) {
      last = i;
      break;
    }
  }
  if (first == routing.last || last == routing.last) {
    throw std::runtime_error("the example's routing description (TG ... end of the routing description) is missing");
  }
  std::string channel;
  Lines outlet_objects;
  for (std::size_t i = first + 1; i < last; ++i) {
    const std::vector<std::string> tokens = Tokens(lines[i]);
    if (tokens.empty()) continue;
    if (tokens[0] == "OL") {
      channel = lines[i].substr(lines[i].find('('));
    } else if (tokens[0] == "SP") {
      // "SP <code>": the reservoir takes the outlet's code.
      const std::size_t code = lines[i].find(tokens[1], lines[i].find("SP") + 2);
      outlet_objects.push_back(lines[i].substr(0, code) + std::to_string(basin.n_zones) +
                               lines[i].substr(code + tokens[1].size()));
    } else {
      outlet_objects.push_back(lines[i]);
    }
  }
  if (channel.empty()) throw std::runtime_error("the example's routing description has no channel (OL)");

  const double cell_km2 = basin.mask.cellsize * basin.mask.cellsize * 1e-6;
  const double zone_length_m = basin.mask.cellsize * basin.n / basin.n_zones;
  Lines chain;
  double upstream_km2 = cell_km2 * static_cast<double>(basin.zone_cells[1]);
  for (int k = 2; k <= basin.n_zones; ++k) {
    const double area_km2 = upstream_km2 + cell_km2 * static_cast<double>(basin.zone_cells[static_cast<std::size_t>(k)]);
    chain.push_back("TG " + std::to_string(k) + " (AE=" + Number(area_km2) + " km2, scale=1.0)");
    std::string link = WithValue(channel, "AE", Number(upstream_km2));
    link = WithValue(link, "L", Number(zone_length_m));
    chain.push_back(" OL " + std::to_string(k - 1) + " " + link);
    if (k == basin.n_zones) chain.insert(chain.end(), outlet_objects.begin(), outlet_objects.end());
    upstream_km2 = area_km2;
  }
  lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(first), lines.begin() + static_cast<std::ptrdiff_t>(last));
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(first), chain.begin(), chain.end());
}

// Every soil type gets `layers` layers: a one-line entry its layer count (twelfth item), a
// parameter block its last horizon as many layers as the others leave.
void SetSoilLayers(Lines& lines, int layers) {
  const Section soils = FindSection(lines, "soil_table");
  const std::regex block_layers(R"(layers\s*=\s*([0-9 ]+);)");
  for (std::size_t i = soils.first + 1; i < soils.last; ++i) {
    std::string& line = lines[i];
    std::smatch m;
    if (std::regex_search(line, m, block_layers)) {
      std::vector<std::string> per_horizon = Tokens(m[1].str());
      int others = 0;
      for (std::size_t h = 0; h + 1 < per_horizon.size(); ++h) others += std::stoi(per_horizon[h]);
      if (others >= layers) throw std::runtime_error("the upper horizons of a soil type already hold " + std::to_string(others) + " layers");
      per_horizon.back() = std::to_string(layers - others);
      std::string list;
      for (const std::string& n : per_horizon) {
        if (!list.empty()) list += ' ';
        list += n;
      }
      line = m.prefix().str() + "layers = " + list + ";" + m.suffix().str();
      continue;
    }
    std::vector<std::string> tokens = Tokens(line);
    if (line.find('{') != std::string::npos || tokens.size() < 15 || !IsNumber(tokens[0]) || !IsNumber(tokens[11])) continue;
    tokens[11] = std::to_string(layers);
    line.clear();
    for (const std::string& token : tokens) {
      if (!line.empty()) line += ' ';
      line += token;
    }
  }
}

// The outlet reservoir's rule section follows the reservoir's new code.
void RenameReservoirRules(Lines& lines, int outlet) {
  for (std::string& line : lines) {
    if (line.rfind("[abstraction_rule_reservoir_", 0) == 0) {
      line = "[abstraction_rule_reservoir_" + std::to_string(outlet) + "]";
    }
  }
}

}  // namespace

std::string GeneratedControlFile(const std::string& example_text, const BasinLayout& basin,
                                 const ControlSettings& settings) {
  Lines lines = SplitLines(example_text);
  lines.insert(lines.begin(), "# Generated basin of " + std::to_string(basin.n) + " x " + std::to_string(basin.n) +
                                  " cells in " + std::to_string(basin.n_zones) +
                                  " sub-basins, made by examples/generator from the example basin:");
  if (settings.hours > 0) SetModelTime(lines, settings.hours);
  if (settings.soil_layers > 0) SetSoilLayers(lines, settings.soil_layers);
  if (!settings.keep_grid_writes) DropPerStepGridWrites(lines);
  SetParametersPerSubbasin(lines, "unsatzon_model", "sub-basin codes with parameters of their own", basin.n_zones);
  SetParametersPerSubbasin(lines, "SiltingUpModel", "sub-basin codes of the minimum rain pause", basin.n_zones);
  SetControlCell(lines, basin);
  StretchCoordinates(lines, settings);
  ChainSubbasins(lines, basin);
  RenameReservoirRules(lines, basin.n_zones);
  return JoinLines(lines);
}

}  // namespace basin_generator
