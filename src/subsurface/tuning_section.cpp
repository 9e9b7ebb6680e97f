#include "subsurface/tuning_section.h"

#include <optional>
#include <sstream>

#include "framework/control_file_stream.h"
#include "framework/modelobject.h"

namespace tolvo {

void ReadTuningLines(modelobject& reader, const std::function<void(const std::string&)>& take) {
  ControlFileStream& file = reader.control_file();
  for (;;) {
    bool had_line_end = false;
    const std::optional<std::string> line = file.ReadLine(had_line_end);
    if (!line) return;
    std::string text = *line;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos || text[first] == '[') return;
    text.erase(0, first);
    take(text);
    if (!had_line_end) return;
  }
}

double TuningValue(modelobject& reader, const std::string& line, std::string_view section, std::string_view key) {
  const std::size_t eq = line.find('=');
  std::istringstream in(eq == std::string::npos ? std::string() : line.substr(eq + 1));
  std::string token;
  in >> token;
  const std::optional<double> value = ParseDoublePrefix(token);
  if (!value) reader.ControlFileValueError(section, key, token, "a number after \"=\"");
  return *value;
}

}  // namespace tolvo
