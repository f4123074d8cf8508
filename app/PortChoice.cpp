// The port dialog from the window: offered when the port's device is
// missing and another device is present that no number leads to, and one
// step from the Comport box (its context menu). The box's tip says where
// the current number leads.
#include "app/Application.h"
#include "app/Unit1.h"
#include "portdialog/AdSelCom.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QSignalBlocker>

#include <memory>

void TForm1::BuildPortChoice() {
  ChoosePortAction = new QAction(QStringLiteral("Choose port or adapter..."), this);
  ChoosePortAction->setObjectName(QStringLiteral("ChoosePortAction"));
  connect(ChoosePortAction, &QAction::triggered, this, [this] { Guarded([this] { ChoosePortFromList(); }); });
  // The box's own menu (the arrow part) holds the action alone; the text
  // part keeps its editing menu with the action on top.
  ComboBox1->setContextMenuPolicy(Qt::ActionsContextMenu);
  ComboBox1->addAction(ChoosePortAction);
  if (QLineEdit *edit = ComboBox1->lineEdit()) {
    edit->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(edit, &QWidget::customContextMenuRequested, this, [this, edit](const QPoint &at) {
      std::unique_ptr<QMenu> menu(edit->createStandardContextMenu());
      QAction *first = menu->actions().value(0);
      menu->insertAction(first, ChoosePortAction);
      menu->insertSeparator(first);
      menu->exec(edit->mapToGlobal(at));
    });
  }
  UpdatePortHint();
}

void TForm1::UpdatePortHint() {
  QString tip = QStringLiteral("COM1..COM32");
  const int n = PortNumber;
  if (n >= 1)
    tip += QStringLiteral("\nCOM%1: ").arg(n) + PortNumberTarget(n);
  tip += QStringLiteral("\nRight-click: ") + ChoosePortAction->text();
  ComboBox1->setToolTip(tip);
}

void TForm1::ChoosePortFromList() {
  int n = 0;
  {
    std::unique_ptr<TComSelectForm> form(new TComSelectForm(this));
    if (form->exec() != TComSelectForm::mrOk)
      return;
    n = form->SelectedPortNumber();
  }
  UsePortNumber(n);
}

void TForm1::OfferPortChoice() {
  if (offering_ || PortNumber < 1 || PortNumber > TComSelectForm::kLastPort)
    return;
  offering_ = true;
  int n = 0;
  {
    std::unique_ptr<TComSelectForm> form(new TComSelectForm(this));
    // Only worth a dialog when there is something new to choose.
    if (form->UnboundCount() > 0) {
      form->SetBindNumber(PortNumber);
      if (form->exec() == TComSelectForm::mrOk) {
        try {
          n = form->SelectedPortNumber();
        } catch (...) {
          n = 0;
        }
      }
    }
  }
  if (n != 0)
    UsePortNumber(n);
  offering_ = false;
}

void TForm1::UsePortNumber(int n) {
  // As if the user had picked the number in the box: saved, reloaded, opened.
  {
    const QSignalBlocker block(ComboBox1);
    if (n >= 1 && n <= ComboBox1->count())
      ComboBox1->setCurrentIndex(n - 1);
    else
      ComboBox1->setEditText(QString::number(n));
  }
  ComboBox1Change();
}
