#include "platform/untActions.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QKeySequence>
#include <QWidget>
#include <algorithm>

#include "platform/untApplication.h"

TAction::TAction(TComponent *AOwner) : TComponent(AOwner), FAction(std::make_unique<QAction>()) {
  QObject::connect(FAction.get(), &QAction::triggered, FAction.get(),
                   [this](bool) { CallGuarded([this] { Execute(); }); });
}

TAction::~TAction() = default;

std::string TAction::Caption() const { return FAction->text().toStdString(); }
void TAction::SetCaption(const std::string &Value) { FAction->setText(QString::fromStdString(Value)); }

std::string TAction::Hint() const { return FAction->statusTip().toStdString(); }
void TAction::SetHint(const std::string &Value) {
  const QString hint = QString::fromStdString(Value);
  FAction->setStatusTip(hint);
  FAction->setToolTip(hint); // empty: Qt shows the caption
}

std::string TAction::ShortCut() const {
  return FAction->shortcut().toString(QKeySequence::PortableText).toStdString();
}
void TAction::SetShortCut(const std::string &Value) {
  FAction->setShortcut(QKeySequence(QString::fromStdString(Value), QKeySequence::PortableText));
}

bool TAction::Enabled() const { return FAction->isEnabled(); }
void TAction::SetEnabled(bool Value) { FAction->setEnabled(Value); }
bool TAction::Visible() const { return FAction->isVisible(); }
void TAction::SetVisible(bool Value) { FAction->setVisible(Value); }
bool TAction::Checked() const { return FAction->isChecked(); }
void TAction::SetChecked(bool Value) {
  if (Value) FAction->setCheckable(true);
  FAction->setChecked(Value);
}

bool TAction::Execute() {
  if (!Enabled() || !OnExecute) return false;
  DoExecute();
  return true;
}

void TAction::DoExecute() {
  if (OnExecute) OnExecute(this);
}

TActionList::TActionList(TComponent *AOwner) : TComponent(AOwner) {}

TActionList::~TActionList() {
  for (TAction *a : FActions) RemoveFreeNotification(a);
  FActions.clear();
}

int TActionList::IndexOf(const TAction *Action) const {
  const auto it = std::find(FActions.begin(), FActions.end(), Action);
  return it == FActions.end() ? -1 : static_cast<int>(it - FActions.begin());
}

void TActionList::Add(TAction *Action) {
  if (Action == nullptr || IndexOf(Action) >= 0) return;
  FActions.push_back(Action);
  FreeNotification(Action);
}

void TActionList::Remove(TAction *Action) {
  const int i = IndexOf(Action);
  if (i < 0) return;
  FActions.erase(FActions.begin() + i);
  RemoveFreeNotification(Action);
}

void TActionList::Notification(TComponent *AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation == TOperation::opRemove)
    FActions.erase(std::remove(FActions.begin(), FActions.end(), AComponent), FActions.end());
}

namespace {
// The cursor this unit shows as override cursor (crDefault: none of ours is installed).
TCursor gScreenCursor = crDefault;

Qt::CursorShape ShapeOf(TCursor Value) {
  switch (Value) {
  case crArrow: return Qt::ArrowCursor;
  case crCross: return Qt::CrossCursor;
  case crIBeam: return Qt::IBeamCursor;
  case crSizeNESW: return Qt::SizeBDiagCursor;
  case crSizeNS: return Qt::SizeVerCursor;
  case crSizeNWSE: return Qt::SizeFDiagCursor;
  case crSizeWE: return Qt::SizeHorCursor;
  case crHourGlass: return Qt::WaitCursor;
  case crNo: return Qt::ForbiddenCursor;
  case crAppStart: return Qt::BusyCursor;
  case crHandPoint: return Qt::PointingHandCursor;
  case crSizeAll: return Qt::SizeAllCursor;
  default: return Qt::ArrowCursor;
  }
}
} // namespace

TCursor ScreenCursor() { return gScreenCursor; }

void SetScreenCursor(TCursor Value) {
  if (Value == gScreenCursor) return;
  if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()) == nullptr) {
    gScreenCursor = Value; // no windows, nothing to show
    return;
  }
  if (Value == crDefault)
    QGuiApplication::restoreOverrideCursor();
  else if (gScreenCursor == crDefault)
    QGuiApplication::setOverrideCursor(QCursor(ShapeOf(Value)));
  else
    QGuiApplication::changeOverrideCursor(QCursor(ShapeOf(Value)));
  gScreenCursor = Value;
}

QWidget *ScreenActiveControl() {
  return qobject_cast<QApplication *>(QCoreApplication::instance()) != nullptr ? QApplication::focusWidget()
                                                                             : nullptr;
}

QWidget *ScreenActiveForm() {
  return qobject_cast<QApplication *>(QCoreApplication::instance()) != nullptr ? QApplication::activeWindow()
                                                                             : nullptr;
}

bool CanFocus(const QWidget *Control) {
  return Control != nullptr && Control->isVisible() && Control->isEnabled() &&
         Control->focusPolicy() != Qt::NoFocus;
}
