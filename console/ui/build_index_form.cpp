#include "console/ui/build_index_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QLabel>

#include "components/globals.h"
#include "console/ui/zor_gauge.h"

namespace kartova {

TFormBuildIndex::TFormBuildIndex(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName("FormBuildIndex");
  setWindowTitle(QStringLiteral("Building indexes..."));
  setFixedSize(242, 76);
  lb_table_ = new QLabel(this);
  lb_table_->setObjectName("lbTable");
  lb_table_->setAlignment(Qt::AlignCenter);
  lb_table_->setGeometry(46, 13, 163, 13);
  gauge_ = new TZorGauge(this);
  gauge_->setObjectName("ZorGauge");
  gauge_->State().SetColor1(kWhite);
  gauge_->State().SetColor2(kBlue);
  gauge_->setGeometry(46, 49, 162, 27);
}

// A build runs inside the event handler of whatever started it. Were the
// user's clicks and keys delivered meanwhile, a click on "close table" or
// "exit" would free the table being sorted. Input from the window system
// waits in its queue until the build is over (ProcessPendingPaints excludes
// it); input that reaches a widget any other way while the form is up is
// dropped here, and so are requests to close a window.
class TBuildIndexDisplay::InputBlocker : public QObject {
 public:
  explicit InputBlocker(const QWidget* form) : form_(form) {
    QCoreApplication::instance()->installEventFilter(this);
  }
  ~InputBlocker() override { QCoreApplication::instance()->removeEventFilter(this); }

  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::MouseMove:
      case QEvent::Wheel:
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::ShortcutOverride:
      case QEvent::Shortcut:
      case QEvent::ContextMenu:
      case QEvent::TouchBegin:
      case QEvent::TouchUpdate:
      case QEvent::TouchEnd:
        return true;
      case QEvent::Close:
        if (watched == form_) return false;
        event->ignore();
        return true;
      default:
        return false;
    }
  }

 private:
  const QWidget* form_;
};

TBuildIndexDisplay::TBuildIndexDisplay() {
  kivo::SetBuildIndexProgressHook(
      [this](kivo::TKivoDataset& table, bool start, bool finish, double percentDone) {
        progress_.Report(table, start, finish, percentDone);
      });
}

TBuildIndexDisplay::~TBuildIndexDisplay() { kivo::SetBuildIndexProgressHook(nullptr); }

void TBuildIndexDisplay::Show() {
  form_ = std::make_unique<TFormBuildIndex>();
  blocker_ = std::make_unique<InputBlocker>(form_.get());
  form_->show();
}

void TBuildIndexDisplay::Close() {
  blocker_.reset();
  form_.reset();
}

void TBuildIndexDisplay::SetTableName(const std::string& name) {
  form_->lbTable()->setText(QString::fromStdString(name));
}

void TBuildIndexDisplay::SetProgress(std::int32_t percent) {
  form_->Gauge()->State().SetProgress(percent);
}

void TBuildIndexDisplay::ProcessPendingPaints() {
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace kartova
