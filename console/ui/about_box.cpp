#include "console/ui/about_box.h"

#include <QFont>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>

namespace kartova {

TSQLConsoleAbout::TSQLConsoleAbout(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName("SQLConsoleAbout");
  setWindowTitle(QString::fromUtf8(kAboutTitle));
  setFixedSize(352, 203);

  auto* panel = new QFrame(this);
  panel->setObjectName("Panel1");
  panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panel->setLineWidth(2);

  auto* product = new QLabel(QString::fromUtf8(kAboutTitle), panel);
  product->setObjectName("ProductName");
  QFont bold = product->font();
  bold.setBold(true);
  bold.setPointSize(bold.pointSize() + 4);
  product->setFont(bold);
  product->setAlignment(Qt::AlignCenter);

  auto* version_caption = new QLabel(QStringLiteral("Version"), panel);
  version_caption->setObjectName("lbVersionCaption");
  auto* version = new QLabel(QString::fromUtf8(kConsoleVersion), panel);
  version->setObjectName("lbVersion");
  auto* version_row = new QHBoxLayout();
  version_row->addStretch();
  version_row->addWidget(version_caption);
  version_row->addWidget(version);
  version_row->addStretch();

  auto* panel_layout = new QVBoxLayout(panel);
  panel_layout->addStretch();
  panel_layout->addWidget(product);
  panel_layout->addSpacing(12);
  panel_layout->addLayout(version_row);
  panel_layout->addStretch();

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName("OKButton");
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  auto* button_row = new QHBoxLayout();
  button_row->addStretch();
  button_row->addWidget(ok);
  button_row->addStretch();

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(panel, 1);
  layout->addLayout(button_row);
}

void TSQLConsoleAbout::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
}

}  // namespace kartova
