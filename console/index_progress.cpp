#include "console/index_progress.h"

#include <algorithm>
#include <cmath>

#include "components/kivo_dataset.h"
#include "console/text_files.h"

namespace kartova {

TBuildIndexProgress::TBuildIndexProgress(TBuildIndexWindow& window) : window_(window) {}

TBuildIndexProgress::~TBuildIndexProgress() {
  if (building_.empty()) return;
  for (kivo::TKivoDataset* table : building_) table->EnableControls();
  window_.Close();
}

void TBuildIndexProgress::Report(kivo::TKivoDataset& table, bool start, bool finish,
                                 double percentDone) {
  const auto percent = static_cast<std::int32_t>(std::lround(percentDone));
  if (start) {
    Start(table, percent);
  } else if (finish) {
    Finish(table, percent);
  } else if (!building_.empty() && percent != shown_percent_) {
    ShowPercent(percent);
  }
}

void TBuildIndexProgress::Start(kivo::TKivoDataset& table, std::int32_t percent) {
  if (std::find(building_.begin(), building_.end(), &table) == building_.end()) {
    table.DisableControls();
    building_.push_back(&table);
  }
  if (building_.size() == 1) {
    window_.Show();
    shown_percent_ = -1;
  }
  window_.SetTableName(MessageToUtf8(table.TableName()));
  ShowPercent(percent);
}

void TBuildIndexProgress::Finish(kivo::TKivoDataset& table, std::int32_t percent) {
  const auto it = std::find(building_.begin(), building_.end(), &table);
  if (it == building_.end()) return;
  building_.erase(it);
  if (building_.empty()) {
    window_.SetProgress(percent);
    window_.Close();
  } else if (percent != shown_percent_) {
    ShowPercent(percent);
  }
  table.EnableControls();
}

void TBuildIndexProgress::ShowPercent(std::int32_t percent) {
  shown_percent_ = percent;
  window_.SetProgress(percent);
  window_.ProcessPendingPaints();
}

}  // namespace kartova
