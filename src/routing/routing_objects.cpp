// The second reading of the routing description: the routing objects, their channels and
// the network records.
#include <algorithm>
#include <string>

#include "framework/control_file_stream.h"
#include "framework/error_code.h"
#include "routing/abflussmodellklasse.h"
#include "routing/routing_network.h"

namespace tolvo {
namespace {

bool HasKeyword(const std::string& line, std::string_view keyword) { return line.find(keyword) != std::string::npos; }

bool BelongsToBlock(const std::string& line) {
  return !HasKeyword(line, "TG") && (HasKeyword(line, "SUMTRIB") || HasKeyword(line, "OL") ||
                                      HasKeyword(line, "AL") || HasKeyword(line, "ZL") || HasKeyword(line, "SP"));
}

}  // namespace

std::string abflussmodellklasse::NextDescriptionLine(const char* eof_message, bool& had_line_end) {
  std::optional<std::string> line = control_file().ReadLine(had_line_end);
  if (!line) {
    log() << eof_message << "[end-entry]";
    RaiseError(kRoutingDescriptionError);
  }
  return *line;
}

void abflussmodellklasse::CheckBlockLine(const std::string& line, bool had_line_end) {
  if (!had_line_end || line.size() > kMaxDescriptionLine) {
    log() << "FATAL: string is too long (max. " << 1200 << " chars):\n" << line << "[end-entry]";
    RaiseError(kRoutingLineTooLong);
  }
}

void abflussmodellklasse::SkipToDescription() {
  FindSection("[" + section() + "]", true);
  const int n_lines = 7 + std::max(n_gauge_descriptors_, 0);
  for (int i = 0; i < n_lines; ++i) {
    bool had_line_end = false;
    if (!control_file().ReadLine(had_line_end)) {
      log() << "FATAL: error searching the second time for routing descriptions\nthe first run was ok., but not "
               "the second"
            << "[end-entry]";
      RaiseError(kRoutingDescriptionError);
    }
  }
}

void abflussmodellklasse::BuildRoutingObjects() {
  SkipToDescription();
  bool had_line_end = false;
  std::optional<std::string> first = control_file().ReadLine(had_line_end);
  if (!first) {
    log() << "FATAL: rerror reading routing description \n2nd run, (1st run: o.k.)"
          << "[end-entry]";
    RaiseError(kRoutingDescriptionError);
  }
  std::string current = *first;
  const SubbasinCodes codes{.code_index = subbasins_.code_index,
                            .n_subbasins = subbasins_.zone_count,
                            .largest_code = subbasins_.largest_code};
  int tributary_position = 0;
  for (int k = 1; HasKeyword(current, "TG"); ++k) {
    log() << "reading routing description " << k << "[end-entry]";
    CheckBlockLine(current, had_line_end);
    std::string text = current;
    for (;;) {
      std::string line = NextDescriptionLine(
          "FATAL: unexpected end of control file reached reading routing descriptions", had_line_end);
      // The line that ends the block (and perhaps the description) is not interpreted.
      if (!BelongsToBlock(line)) {
        current = std::move(line);
        break;
      }
      CheckBlockLine(line, had_line_end);
      text += line;
    }
    if (text.size() > kMaxBlockText) {
      log() << "FATAL: routing description " << k << " holds " << text.size() << " characters (max. "
            << kMaxBlockText << " chars)"
            << "[end-entry]";
      RaiseError(kRoutingLineTooLong);
    }
    const BlockEntries entries = ReadBlock(text, k, codes, counts_.zl, log());
    BuildRoutingObject(k, text, entries, codes, tributary_position);
  }
  WarnAboutRoutingOrder();
}

void abflussmodellklasse::BuildRoutingObject(int k, const std::string& text, const BlockEntries& entries,
                                             const SubbasinCodes& codes, int& tributary_position) {
  const int own = codes.Index(entries.own_code);
  const std::string where = "FATAL: routing description " + std::to_string(k) + ", entry ";
  if (routing_target_.object_number[static_cast<std::size_t>(own)] != 0) {
    log() << where << "TG " << entries.own_code << ": sub-basin " << entries.own_code
          << " already has routing description " << routing_target_.object_number[static_cast<std::size_t>(own)]
          << "[end-entry]";
    RaiseError(kRoutingEntryError);
  }
  const GridGeometry& g = geometry();
  RoutingObjectSetup setup{.control_file = control_file_name(),
                           .n_subbasins = subbasins_.zone_count,
                           .dt_min = TimeStep,
                           .area_km2 = entries.area_km2,
                           .scale_factor = entries.scale_factor,
                           .counts = entries.counts,
                           .own_code = entries.own_code,
                           .abfrel = &abfrel_,
                           .code_index = subbasins_.code_index,
                           .n_tracers = n_tracers_,
                           .tracers = tracers_,
                           .grids = grids(),
                           .zones = subbasins_.zones,
                           .column_ranges = subbasins_.column_ranges,
                           .largest_code = subbasins_.largest_code,
                           .geometry = g,
                           .strip = strip(),
                           .lake_model = lake_flow_control_,
                           .readgrids = readgrids_,
                           .input_directory = input_directory(),
                           .output_directory = output_directory()};
  routing_objects_.push_back(std::make_unique<routingclass>(log(), setup));
  routingclass& object = *routing_objects_.back();
  routing_target_.object_number[static_cast<std::size_t>(own)] = k;

  // A sub-basin drains into one place only.
  const auto add_tributary = [&](int code, const std::string& entry) {
    const int index = codes.Index(code);
    const int earlier = routing_target_.target[static_cast<std::size_t>(index)];
    if (earlier != 0) {
      log() << where << entry << ": sub-basin " << code << " already flows into sub-basin "
            << subbasins_.zones[static_cast<std::size_t>(earlier)].zonenwert << "[end-entry]";
      RaiseError(kRoutingEntryError);
    }
    routing_target_.tributaries[static_cast<std::size_t>(++tributary_position)] = index;
    routing_target_.target[static_cast<std::size_t>(index)] = own;
  };

  const ModelDate& start = settings().start_date;
  int m = 0;
  for (const ChannelEntry& channel : entries.channels) {
    ++m;
    switch (channel.kind) {
      case ChannelKind::kTributary:
        add_tributary(channel.source_code, "OL " + std::to_string(channel.source_code));
        break;
      case ChannelKind::kGroup:
        add_tributary(channel.source_code, "SUMTRIB " + std::to_string(channel.source_code));
        for (int code : channel.code_list) add_tributary(code, "SUMTRIB " + std::to_string(channel.source_code));
        break;
      case ChannelKind::kInflow:
        object.SetInflow(m, channel.inflow, start);
        break;
    }
    object.InitChannel(m, channel.source_code, channel.code_list, n_sub_intervals_, ObservedSubstitution,
                       channel.values, table_range_, channel.kind != ChannelKind::kInflow);
  }
  for (std::size_t at : entries.abstraction_at) object.SetAblaufModus(++m, text, at, n_sub_intervals_, start);
  // The values of an entry end where the next entry of the block begins.
  std::vector<std::size_t> starts = entries.abstraction_at;
  starts.insert(starts.end(), entries.reservoir_at.begin(), entries.reservoir_at.end());
  std::sort(starts.begin(), starts.end());
  for (std::size_t at : entries.reservoir_at) {
    const auto next = std::upper_bound(starts.begin(), starts.end(), at);
    object.SetSpeicherParams(++m, text, at, next == starts.end() ? text.size() : *next, n_sub_intervals_);
  }
  object.SetSubIntervalCount(n_sub_intervals_);
}

void abflussmodellklasse::WarnAboutRoutingOrder() {
  const int n = subbasins_.zone_count;
  for (int i = 1; i <= n; ++i) {
    const int into = routing_target_.target[static_cast<std::size_t>(i)];
    if (into == 0) continue;
    const int receiving = routing_target_.object_number[static_cast<std::size_t>(into)];
    const int own = routing_target_.object_number[static_cast<std::size_t>(i)];
    if (own > receiving) {
      log() << "WARNING: routing description " << receiving << " (TG "
            << subbasins_.zones[static_cast<std::size_t>(into)].zonenwert << ") comes before routing description "
            << own << " (TG " << subbasins_.zones[static_cast<std::size_t>(i)].zonenwert
            << ") of its tributary: it takes the tributary's unrouted runoff of the step"
            << "[end-entry]";
    }
  }
}

}  // namespace tolvo
