// The bound labels of the labeled fields and their placement.
#include <QEvent>
#include <QMoveEvent>
#include <QResizeEvent>

#include "widgets/TntExtraEdits.h"

QPoint BoundLabelPlace(TBoundLabelPosition Position, const QRect &Field, int LabelWidth,
                       int LabelHeight, int Spacing) {
  const int l = Field.x(), t = Field.y(), w = Field.width(), h = Field.height();
  const int lw = LabelWidth, lh = LabelHeight, s = Spacing;
  // Integer division rounds toward zero, as the placement rules want.
  switch (Position) {
  case blpTopLeft: return {l, t - lh - s};
  case blpTopCenter: return {l + (w - lw) / 2, t - lh - s};
  case blpTopRight: return {l + w - lw, t - lh - s};
  case blpBelowLeft: return {l, t + h + s};
  case blpBelowCenter: return {l + (w - lw) / 2, t + h + s};
  case blpBelowRight: return {l + w - lw, t + h + s};
  case blpLeftTop: return {l - lw - s, t};
  case blpLeftMiddle: return {l - lw - s, t + (h - lh) / 2};
  case blpLeftBottom: return {l - lw - s, t + h - lh};
  case blpRightTop: return {l + w + s, t};
  case blpRightMiddle: return {l + w + s, t + (h - lh) / 2};
  case blpRightBottom: return {l + w + s, t + h - lh};
  case blpParent: break;
  }
  return {l, t - lh - s};
}

TBoundLabelPosition BoundLabelPositionOf(TLabelPosition Position) {
  switch (Position) {
  case lpAbove: return blpTopLeft;
  case lpBelow: return blpBelowLeft;
  case lpLeft: return blpLeftMiddle;
  case lpRight: return blpRightMiddle;
  }
  return blpTopLeft;
}

// ---- TTntExtraBoundLabel ----

TTntExtraBoundLabel::TTntExtraBoundLabel(TTntExtraCustomLabeledEdit *AField)
    : QLabel(AField != nullptr ? AField->parentWidget() : nullptr), FField(AField) {
  setBuddy(AField);
}

void TTntExtraBoundLabel::SetLabelPosition(TBoundLabelPosition Value) {
  if (FLabelPosition == Value) return;
  FLabelPosition = Value;
  if (FField != nullptr) FField->SetLabelsPosition();
}

TBoundLabelPosition TTntExtraBoundLabel::EffectivePosition() const {
  return FLabelPosition != blpParent ? FLabelPosition : BoundLabelPositionOf(FieldPosition());
}

void TTntExtraBoundLabel::SetCaption(const QString &Value) {
  setText(Value);
  adjustSize();
  if (FField != nullptr) FField->SetLabelsPosition();
}

void TTntExtraBoundLabel::resizeEvent(QResizeEvent *Event) {
  QLabel::resizeEvent(Event);
  if (FField != nullptr) FField->SetLabelsPosition();
}

TLabelPosition TTntExtraBoundLabelCaption::FieldPosition() const {
  return Field() != nullptr ? Field()->LabelPositionCaption() : lpAbove;
}

TLabelPosition TTntExtraBoundLabelUnit::FieldPosition() const {
  const auto *f = dynamic_cast<const TTntExtraCustomUnitLabeledEdit *>(Field());
  return f != nullptr ? f->LabelPositionUnit() : lpRight;
}

// ---- TTntExtraCustomLabeledEdit ----

TTntExtraCustomLabeledEdit::TTntExtraCustomLabeledEdit(QWidget *Parent)
    : TTntExtraCustomEdit(Parent) {
  FEditLabelCaption = new TTntExtraBoundLabelCaption(this);
  FEditLabelCaption->setObjectName(QStringLiteral("SubEditLabelCaption"));
  FollowField(FEditLabelCaption);
  SetLabelsPosition();
}

TTntExtraCustomLabeledEdit::~TTntExtraCustomLabeledEdit() {
  // The label lives in the parent, which may already have freed it (the pointer then is null).
  delete FEditLabelCaption.data();
}

void TTntExtraCustomLabeledEdit::SetLabelPositionCaption(TLabelPosition Value) {
  if (FLabelPositionCaption == Value) return;
  FLabelPositionCaption = Value;
  SetLabelsPosition();
}

void TTntExtraCustomLabeledEdit::SetLabelSpacing(int Value) {
  if (FLabelSpacing == Value) return;
  FLabelSpacing = Value;
  SetLabelsPosition();
}

void TTntExtraCustomLabeledEdit::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
  setGeometry(ALeft, ATop, AWidth, AHeight);
  SetLabelsPosition();
}

void TTntExtraCustomLabeledEdit::PlaceLabel(TTntExtraBoundLabel *Label) {
  if (Label == nullptr) return;
  const QPoint p = BoundLabelPlace(Label->EffectivePosition(), geometry(), Label->width(),
                                   Label->height(), FLabelSpacing);
  if (Label->pos() != p) Label->move(p);
}

void TTntExtraCustomLabeledEdit::SetLabelsPosition() { PlaceLabel(FEditLabelCaption); }

void TTntExtraCustomLabeledEdit::FollowField(TTntExtraBoundLabel *Label) {
  if (Label == nullptr) return;
  QWidget *p = parentWidget();
  if (Label->parentWidget() != p) {
    Label->setParent(p);
    // A label without a parent would be a window of its own.
    if (p == nullptr) Label->hide();
  }
  if (p != nullptr && Label->isHidden() != isHidden()) Label->setVisible(!isHidden());
  Label->setEnabled(isEnabled());
}

void TTntExtraCustomLabeledEdit::FollowFieldAll() { FollowField(FEditLabelCaption); }

bool TTntExtraCustomLabeledEdit::event(QEvent *Event) {
  const bool result = TTntExtraCustomEdit::event(Event);
  switch (Event->type()) {
  case QEvent::ParentChange:
    FollowFieldAll();
    SetLabelsPosition();
    break;
  case QEvent::ShowToParent:
  case QEvent::HideToParent:
  case QEvent::EnabledChange:
    FollowFieldAll();
    break;
  case QEvent::Show:
    // Move and resize events of a hidden field arrive only now.
    SetLabelsPosition();
    break;
  default: break;
  }
  return result;
}

void TTntExtraCustomLabeledEdit::moveEvent(QMoveEvent *Event) {
  TTntExtraCustomEdit::moveEvent(Event);
  SetLabelsPosition();
}

void TTntExtraCustomLabeledEdit::resizeEvent(QResizeEvent *Event) {
  TTntExtraCustomEdit::resizeEvent(Event);
  SetLabelsPosition();
}

// ---- TTntExtraCustomUnitLabeledEdit ----

TTntExtraCustomUnitLabeledEdit::TTntExtraCustomUnitLabeledEdit(QWidget *Parent)
    : TTntExtraCustomLabeledEdit(Parent) {
  FEditLabelUnit = new TTntExtraBoundLabelUnit(this);
  FEditLabelUnit->setObjectName(QStringLiteral("SubEditLabelUnit"));
  FollowField(FEditLabelUnit);
  SetLabelsPosition();
}

TTntExtraCustomUnitLabeledEdit::~TTntExtraCustomUnitLabeledEdit() { delete FEditLabelUnit.data(); }

void TTntExtraCustomUnitLabeledEdit::SetLabelPositionUnit(TLabelPosition Value) {
  if (FLabelPositionUnit == Value) return;
  FLabelPositionUnit = Value;
  SetLabelsPosition();
}

void TTntExtraCustomUnitLabeledEdit::SetLabelsPosition() {
  TTntExtraCustomLabeledEdit::SetLabelsPosition();
  PlaceLabel(FEditLabelUnit);
}

void TTntExtraCustomUnitLabeledEdit::FollowFieldAll() {
  TTntExtraCustomLabeledEdit::FollowFieldAll();
  FollowField(FEditLabelUnit);
}
