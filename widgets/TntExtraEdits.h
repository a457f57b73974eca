// Single-line number entry fields with bound caption and unit labels.
//
// TTntExtraCustomEdit filters typed characters by InputType, commits its text on Enter and on
// focus loss (firing OnValue once per changed text), checks pastes through OnCheckPaste and reads
// and writes its text as a number. The labeled variants add a caption label and a unit label that
// stand beside the field and follow its parent, visibility and enabled state.
//
// Only the main thread uses these widgets.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>

#include "platform/untObjects.h"

enum TInputType { itString, itInteger, itFloat };
enum TAlignment { taLeftJustify, taRightJustify, taCenter };
using TDecimal = std::uint8_t;

using TNotifyEvent = std::function<void(TObject *Sender)>;
using TCheckPasteEvent = std::function<void(TObject *Sender, const QString &aText, bool &aUse)>;

class TTntExtraCustomEdit : public QLineEdit, public TObject {
  Q_OBJECT
public:
  explicit TTntExtraCustomEdit(QWidget *Parent = nullptr);

  TInputType InputType() const { return FInputType; }
  void SetInputType(TInputType Value);
  // Characters never accepted from the keyboard in a numeric field.
  const QString &Disallowed() const { return FDisallowed; }
  void SetDisallowed(const QString &Value) { FDisallowed = Value; }
  TAlignment Alignment() const { return FAlignment; }
  void SetAlignment(TAlignment Value);
  // Digits after the decimal separator when a float is written into the field.
  TDecimal Decimal() const { return FDecimal; }
  void SetDecimal(TDecimal Value);
  // While the field has the focus, OnChange is held back and fired once per commit.
  bool ChangedOnExit() const { return FChangedOnExit; }
  void SetChangedOnExit(bool Value) { FChangedOnExit = Value; }

  // The text as a decimal integer; a text that is not one reads 0.
  int AsInteger() const;
  void SetAsInteger(int Value);
  // The text as a number with the locale's decimal separator; a text that is not one reads 0.
  double AsExtended() const;
  void SetAsExtended(double Value);

  // The locale's decimal separator (one character).
  static QChar DecimalSeparator();
  // Converts Text as AsInteger / AsExtended do; Ok tells whether it was a number.
  static int TextToInteger(const QString &Text, bool *Ok = nullptr);
  static double TextToExtended(const QString &Text, bool *Ok = nullptr);
  // Value formatted with Decimal digits after the locale's separator ("%.<Decimal>f").
  static QString ExtendedToText(double Value, TDecimal Decimal);

  // Commits the text: when it differs from the committed text, fires the held-back OnChange (if
  // held) and OnValue, then takes the text as committed.
  void Commit();
  // Pastes the clipboard text (Mode: QClipboard::Clipboard or Selection) if OnCheckPaste allows.
  void PasteChecked(int Mode = 0);

  TNotifyEvent OnChange;     // every text change (held back while focused with ChangedOnExit)
  TNotifyEvent OnValue;      // every commit of a changed text
  TCheckPasteEvent OnCheckPaste;

protected:
  virtual void DoChange();
  virtual void DoValue();
  virtual void DoCheckPaste(const QString &aText, bool &aUse);
  virtual void DoEnter();
  virtual void DoExit();
  // Whether the typed character Key passes the keyboard filter.
  virtual bool IsKeyAccepted(QChar Key) const;

  void keyPressEvent(QKeyEvent *Event) override;
  void focusInEvent(QFocusEvent *Event) override;
  void focusOutEvent(QFocusEvent *Event) override;
  void contextMenuEvent(QContextMenuEvent *Event) override;
  void mouseReleaseEvent(QMouseEvent *Event) override;
  void dropEvent(QDropEvent *Event) override;

private:
  void TextChanged();

  TInputType FInputType = itString;
  QString FDisallowed;
  TAlignment FAlignment = taLeftJustify;
  TDecimal FDecimal = 2;
  bool FChangedOnExit = false;

  QString FCommittedText;
  bool FHeldBack = false; // OnChange is held back until the next commit
  bool FEntered = false;  // between focus entry and focus loss
};

enum TLabelPosition { lpAbove, lpBelow, lpLeft, lpRight };
enum TBoundLabelPosition {
  blpParent,
  blpTopLeft,
  blpTopCenter,
  blpTopRight,
  blpBelowLeft,
  blpBelowCenter,
  blpBelowRight,
  blpLeftTop,
  blpLeftMiddle,
  blpLeftBottom,
  blpRightTop,
  blpRightMiddle,
  blpRightBottom
};

// The place of a label of size LabelWidth x LabelHeight beside a field with the geometry Field.
QPoint BoundLabelPlace(TBoundLabelPosition Position, const QRect &Field, int LabelWidth,
                       int LabelHeight, int Spacing);
// The bound position a label at blpParent takes from its field's label position.
TBoundLabelPosition BoundLabelPositionOf(TLabelPosition Position);

class TTntExtraCustomLabeledEdit;

// A label that belongs to a field and stands beside it. The field owns it; the label lives in the
// field's parent.
class TTntExtraBoundLabel : public QLabel, public TObject {
  Q_OBJECT
public:
  explicit TTntExtraBoundLabel(TTntExtraCustomLabeledEdit *AField);

  TBoundLabelPosition LabelPosition() const { return FLabelPosition; }
  void SetLabelPosition(TBoundLabelPosition Value);
  // The position used: the own one, or the field's when the own one is blpParent.
  TBoundLabelPosition EffectivePosition() const;

  QString Caption() const { return text(); }
  // Sets the text; the label takes the size of its text and is placed again.
  void SetCaption(const QString &Value);

  TTntExtraCustomLabeledEdit *Field() const { return FField; }

protected:
  virtual TLabelPosition FieldPosition() const = 0;
  void resizeEvent(QResizeEvent *Event) override;

private:
  TTntExtraCustomLabeledEdit *FField; // not owned: the field owns the label
  TBoundLabelPosition FLabelPosition = blpParent;
};

class TTntExtraBoundLabelCaption : public TTntExtraBoundLabel {
  Q_OBJECT
public:
  using TTntExtraBoundLabel::TTntExtraBoundLabel;

protected:
  TLabelPosition FieldPosition() const override;
};

class TTntExtraBoundLabelUnit : public TTntExtraBoundLabel {
  Q_OBJECT
public:
  using TTntExtraBoundLabel::TTntExtraBoundLabel;

protected:
  TLabelPosition FieldPosition() const override;
};

class TTntExtraCustomLabeledEdit : public TTntExtraCustomEdit {
  Q_OBJECT
public:
  explicit TTntExtraCustomLabeledEdit(QWidget *Parent = nullptr);
  ~TTntExtraCustomLabeledEdit() override;

  TTntExtraBoundLabelCaption *EditLabelCaption() const { return FEditLabelCaption; }
  TLabelPosition LabelPositionCaption() const { return FLabelPositionCaption; }
  void SetLabelPositionCaption(TLabelPosition Value);
  int LabelSpacing() const { return FLabelSpacing; }
  void SetLabelSpacing(int Value);

  // Sets the field's geometry and places the labels at once (also while the field is hidden,
  // when Qt holds back the move and resize events).
  void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);
  // Places every label beside the field.
  virtual void SetLabelsPosition();

protected:
  // Places one label (nothing for a label that is gone).
  void PlaceLabel(TTntExtraBoundLabel *Label);
  // Brings a label to the field's parent, visibility and enabled state.
  void FollowField(TTntExtraBoundLabel *Label);
  virtual void FollowFieldAll();

  bool event(QEvent *Event) override;
  void moveEvent(QMoveEvent *Event) override;
  void resizeEvent(QResizeEvent *Event) override;

private:
  QPointer<TTntExtraBoundLabelCaption> FEditLabelCaption; // owned
  TLabelPosition FLabelPositionCaption = lpAbove;
  int FLabelSpacing = 3;
};

class TTntExtraLabeledEdit : public TTntExtraCustomLabeledEdit {
  Q_OBJECT
public:
  using TTntExtraCustomLabeledEdit::TTntExtraCustomLabeledEdit;
};

class TTntExtraCustomUnitLabeledEdit : public TTntExtraCustomLabeledEdit {
  Q_OBJECT
public:
  explicit TTntExtraCustomUnitLabeledEdit(QWidget *Parent = nullptr);
  ~TTntExtraCustomUnitLabeledEdit() override;

  TTntExtraBoundLabelUnit *EditLabelUnit() const { return FEditLabelUnit; }
  TLabelPosition LabelPositionUnit() const { return FLabelPositionUnit; }
  void SetLabelPositionUnit(TLabelPosition Value);

  void SetLabelsPosition() override;

protected:
  void FollowFieldAll() override;

private:
  QPointer<TTntExtraBoundLabelUnit> FEditLabelUnit; // owned
  TLabelPosition FLabelPositionUnit = lpRight;
};

class TTntExtraUnitLabeledEdit : public TTntExtraCustomUnitLabeledEdit {
  Q_OBJECT
public:
  using TTntExtraCustomUnitLabeledEdit::TTntExtraCustomUnitLabeledEdit;
};
