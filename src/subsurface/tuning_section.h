#pragma once
// The tuning sections of the subsurface models ("[unsatzon_tuning]", "[groundwater_tuning]"):
// lines of the form "<key> = <number>" after the section header, read with LF or CRLF line
// ends, ending at an empty line, the next "[" header or the end of the file. Lines naming
// no key of the section are skipped.

#include <functional>
#include <string>
#include <string_view>

namespace tolvo {

class modelobject;

// Reads the lines of the section that the reader's control file stands in (after
// FindSection) and calls `take` with each line that holds a key, its leading blanks and
// line end removed. `take` reads the value with TuningValue.
void ReadTuningLines(modelobject& reader, const std::function<void(const std::string&)>& take);

// The number after the "=" of a tuning line; a line without one stops the run with the
// control file's value error (17), naming section and key.
double TuningValue(modelobject& reader, const std::string& line, std::string_view section, std::string_view key);

}  // namespace tolvo
