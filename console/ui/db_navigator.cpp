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
    // No data set is bound to the grid yet, so there is nothing to move over.
    b->setEnabled(false);
    layout->addWidget(b);
    buttons_[i] = b;
  }
  layout->addStretch(1);
  SetEditingButtonsVisible(false);
}

void TDBNavigator::SetEditingButtonsVisible(bool visible) {
  for (int i = Insert; i < Count; ++i) buttons_[i]->setVisible(visible);
}

}  // namespace kartova
