// The soil model's zonal statistics tables: one per sub-basin quantity, each with its own
// copy of the sub-basin records, its header written at creation.

#include "framework/statistics_registry.h"
#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {

void unsatzonmodellklasse::CreateStatisticsTable(Table which, const StatisticsTableSetting& setting,
                                                 std::string_view title, int precision, StatisticsRegistry& registry) {
  StatisticsTable& t = tables_[static_cast<std::size_t>(which)];
  t.zones = subbasins_.zones;
  ClearZoneSums(t.zones, subbasins_.zone_count);
  t.file = setting.file;
  t.table = std::make_unique<zonalstatistic>(log(), rel_cell_area_, geometry().nrows, geometry().ncols, t.zones,
                                             subbasins_.zone_count, setting.code, precision, t.file, output_directory(),
                                             settings().output_list);
  t.table->WriteHeader(title, name(), registry, StatisticsRegistry::kCapacity);
}

void unsatzonmodellklasse::CreateStatisticsTables(StatisticsRegistry& registry) {
  const auto create = [&](Table which, SoilStatistic item, std::string_view title, int precision) {
    CreateStatisticsTable(which, settings_.statistic(item), title, precision, registry);
  };
  create(Table::GwStand, SoilStatistic::GwStand, "groundwater level [m below surface] (GWSTAND)", 5);
  create(Table::Gwn, SoilStatistic::Gwn, "groundwater recharge per zone [mm] (GWN)", 5);
  create(Table::Sb1, SoilStatistic::Sb1, "rel. soil moisture 0..root depth per zone ", 5);
  create(Table::Sb2, SoilStatistic::Sb2, "abs. soil moisture 0..profile depth per zone ", 5);
  create(Table::Root, SoilStatistic::Root, "root depth [mm per zone] ", 5);
  create(Table::InfEx, SoilStatistic::InfEx, "Infiltration excess [mm per zone]  ", 5);
  create(Table::Qd, SoilStatistic::Qd, "direct discharge [mm per Zone] (QD)", 6);
  create(Table::Qi, SoilStatistic::Qi, "Interflow [mm per zone]", 6);
  create(Table::Qb, SoilStatistic::Qb, "base flow [mm per Zone]", 6);
  create(Table::Qg, SoilStatistic::Qg, "total runoff [mm per zone] (sum of QB, QI und QD)", 6);
  create(Table::Macro, SoilStatistic::Macro, "macropore_infiltration_per_zone_[mm] ", 6);
  create(Table::Infilt, SoilStatistic::Infilt, "total_infiltration_per_zone_[mm] ", 6);
  if (settings_.method == SoilMethod::DynamicStep) {
    CreateStatisticsTable(Table::Substeps, settings_.substeps_statistics, "number of substeps per zone ", 5, registry);
  }
  if (isHeatTransferActive()) {
    CreateStatisticsTable(Table::ThawDepth, settings_.heat.thaw_statistics, "soil thaw depth [m] ", 5, registry);
  }
}

void unsatzonmodellklasse::CreateLateStatisticsTables(StatisticsRegistry& registry) {
  if (!drainage_flow_.grid.empty()) {
    CreateStatisticsTable(Table::QDrain, settings_.statistic(SoilStatistic::QDrain),
                          "drainage discharge [mm per zone] (QDRAIN)", 5, registry);
  }
  if (settings_.pond == 1) {
    CreateStatisticsTable(Table::Pond, settings_.statistic(SoilStatistic::Pond),
                          "ponding water storage content [mm per zone]  ", 5, registry);
  }
}

}  // namespace tolvo
