#include "console/ui/db_navigator.h"

#include <QHBoxLayout>
#include <QToolButton>

namespace kartova {

namespace {

struct ButtonSpec {
  const char* name;
  const char* glyph;
  const char* hint;
};

constexpr ButtonSpec kButtons[TDBNavigator::Count] = {
    {"nbFirst", "|◀", "Első rekord"},    {"nbPrior", "◀", "Előző rekord"},
    {"nbNext", "▶", "Következő rekord"}, {"nbLast", "▶|", "Utolsó rekord"},
    {"nbInsert", "+", "Új adat"},        {"nbDelete", "−", "Törlés"},
    {"nbEdit", "▲", "Javítás"},          {"nbPost", "✓", "OK"},
    {"nbCancel", "✗", "Elvet"},          {"nbRefresh", "↻", "Frissítés"},
};

}  // namespace

TDBNavigator::TDBNavigator(QWidget* parent) : QWidget(parent) {
  setObjectName("DBNavigator1");
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(1);
  for (int i = 0; i < Count; ++i) {
    auto* b = new QToolButton(this);
    b->setObjectName(kButtons[i].name);
    b->setText(QString::fromUtf8(kButtons[i].glyph));
    b->setToolTip(QString::fromUtf8(kButtons[i].hint));
    b->setStatusTip(QString::fromUtf8(kButtons[i].hint));
    b->setMinimumWidth(28);
    b->setEnabled(false);
    layout->addWidget(b);
    buttons_[i] = b;
    connect(b, &QToolButton::clicked, this, [this, i] {
      kivo::TDataSet* ds = link_.DataSet();
      if (!ds || !run_) return;
      run_([ds, i] { ClickNavigatorButton(*ds, static_cast<TNavigatorButton>(i)); });
    });
  }
  layout->addStretch(1);
  SetEditingButtonsVisible(false);
}

TDBNavigator::~TDBNavigator() { Unbind(); }

void TDBNavigator::Bind(kivo::TDataSource& source,
                        std::function<void(const std::function<void()>&)> run) {
  run_ = std::move(run);
  link_.OnChange = [this] { UpdateButtons(); };
  link_.SetDataSource(&source);
  UpdateButtons();
}

void TDBNavigator::UpdateButtons() {
  kivo::TDataSet* ds = link_.Active() ? link_.DataSet() : nullptr;
  const TNavigatorEnabled on = NavigatorEnabled(ds);
  for (int i = 0; i < Count; ++i) buttons_[i]->setEnabled(on[static_cast<std::size_t>(i)]);
}

void TDBNavigator::SetEditingButtonsVisible(bool visible) {
  for (int i = Insert; i < Count; ++i) buttons_[i]->setVisible(visible);
}

}  // namespace kartova
