#include "widgets/TntExtraEdits.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <cmath>
#include <cstdio>
#include <memory>

#include "platform/untApplication.h"
#include "platform/untDesktop.h"

namespace {
// The control characters a numeric field lets through: copy, backspace, Enter, Ctrl+U, paste,
// cut, undo, Escape.
bool IsAllowedControl(char16_t c) {
  switch (c) {
  case 3: case 8: case 13: case 21: case 22: case 24: case 26: case 27: return true;
  default: return false;
  }
}

// The characters a key press types, as the platform's character messages would carry them:
// Backspace, Enter and Escape give their control codes, Ctrl+letter the letter's control code,
// printable text itself. Keys that type nothing (arrows, Delete, F-keys) give an empty text and
// are not filtered.
QString TypedChars(const QKeyEvent *Event) {
  switch (Event->key()) {
  case Qt::Key_Backspace: return QString(QChar(8));
  case Qt::Key_Return:
  case Qt::Key_Enter: return QString(QChar(13));
  case Qt::Key_Escape: return QString(QChar(27));
  case Qt::Key_Tab:
  case Qt::Key_Backtab:
  case Qt::Key_Delete: return {};
  default: break;
  }
  const Qt::KeyboardModifiers mods = Event->modifiers();
  const bool ctrl = (mods & Qt::ControlModifier) != 0;
  const bool alt = (mods & Qt::AltModifier) != 0;
  if (ctrl && !alt) {
    if (Event->key() >= Qt::Key_A && Event->key() <= Qt::Key_Z)
      return QString(QChar(static_cast<char16_t>(Event->key() - Qt::Key_A + 1)));
    return {};
  }
  QString text;
  for (QChar c : Event->text())
    if (c.unicode() >= 32 && c.unicode() != 127) text += c;
  return text;
}
} // namespace

TTntExtraCustomEdit::TTntExtraCustomEdit(QWidget *Parent) : QLineEdit(Parent) {
  connect(this, &QLineEdit::textChanged, this, [this] { CallGuarded([this] { TextChanged(); }); });
}

void TTntExtraCustomEdit::SetInputType(TInputType Value) {
  FInputType = Value;
  // Input methods would insert text past the keyboard filter.
  setAttribute(Qt::WA_InputMethodEnabled, Value == itString);
}

void TTntExtraCustomEdit::SetAlignment(TAlignment Value) {
  FAlignment = Value;
  Qt::Alignment a = Qt::AlignLeft;
  if (Value == taRightJustify) a = Qt::AlignRight;
  else if (Value == taCenter) a = Qt::AlignHCenter;
  setAlignment(a | Qt::AlignVCenter);
}

void TTntExtraCustomEdit::SetDecimal(TDecimal Value) {
  if (FDecimal == Value) return;
  FDecimal = Value;
  // Rewrite a number with the new digits. Going through SetAsExtended would keep the old text,
  // which already reads as the value; empty or non-number text is left alone.
  if (FInputType != itFloat) return;
  bool ok = false;
  const double v = TextToExtended(text(), &ok);
  if (!ok) return;
  const QString t = ExtendedToText(v, FDecimal);
  if (t != text()) {
    setText(t);
    update();
  }
}

QChar TTntExtraCustomEdit::DecimalSeparator() {
  const QString sep = QLocale().decimalPoint();
  return sep.isEmpty() ? QChar('.') : sep.at(0);
}

int TTntExtraCustomEdit::TextToInteger(const QString &Text, bool *Ok) {
  bool ok = false;
  const int v = Text.trimmed().toInt(&ok, 10);
  if (Ok != nullptr) *Ok = ok;
  return ok ? v : 0;
}

double TTntExtraCustomEdit::TextToExtended(const QString &Text, bool *Ok) {
  QString t = Text.trimmed();
  const QChar sep = DecimalSeparator();
  bool ok = !t.isEmpty();
  // Only the locale's separator is a separator: a '.' in a ',' locale is no number.
  if (ok && sep != QChar('.')) {
    if (t.contains(QChar('.'))) ok = false;
    t.replace(sep, QChar('.'));
  }
  double v = 0.0;
  if (ok) {
    QLocale c = QLocale::c();
    c.setNumberOptions(QLocale::RejectGroupSeparator);
    v = c.toDouble(t, &ok);
    if (ok && !std::isfinite(v)) ok = false;
  }
  if (Ok != nullptr) *Ok = ok;
  return ok ? v : 0.0;
}

QString TTntExtraCustomEdit::ExtendedToText(double Value, TDecimal Decimal) {
  char pattern[16];
  std::snprintf(pattern, sizeof pattern, "%%.%uf", static_cast<unsigned>(Decimal));
  const int n = std::snprintf(nullptr, 0, pattern, Value);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), pattern, Value);
  out.resize(static_cast<size_t>(n));
  QString t = QString::fromStdString(out);
  const QChar sep = DecimalSeparator();
  if (sep != QChar('.')) t.replace(QChar('.'), sep);
  return t;
}

int TTntExtraCustomEdit::AsInteger() const { return TextToInteger(text()); }

void TTntExtraCustomEdit::SetAsInteger(int Value) {
  bool ok = false;
  const int cur = TextToInteger(text(), &ok);
  if (!text().isEmpty() && ok && cur == Value) return;
  setText(QString::number(Value));
  update();
}

double TTntExtraCustomEdit::AsExtended() const { return TextToExtended(text()); }

void TTntExtraCustomEdit::SetAsExtended(double Value) {
  bool ok = false;
  const double cur = TextToExtended(text(), &ok);
  if (!text().isEmpty() && ok && cur == Value) return;
  setText(ExtendedToText(Value, FDecimal));
  update();
}

void TTntExtraCustomEdit::DoChange() {
  if (OnChange) OnChange(this);
}

void TTntExtraCustomEdit::DoValue() {
  if (OnValue) OnValue(this);
}

void TTntExtraCustomEdit::DoCheckPaste(const QString &aText, bool &aUse) {
  if (OnCheckPaste) OnCheckPaste(this, aText, aUse);
}

void TTntExtraCustomEdit::TextChanged() {
  if (!FHeldBack) DoChange();
}

void TTntExtraCustomEdit::Commit() {
  if (text() == FCommittedText) return;
  if (FHeldBack) DoChange();
  DoValue();
  FCommittedText = text();
}

void TTntExtraCustomEdit::DoEnter() {
  FEntered = true;
  FHeldBack = FChangedOnExit;
  FCommittedText = text();
}

void TTntExtraCustomEdit::DoExit() {
  // The held-back change event is fired by the commit, then changes fire at once again.
  FEntered = false;
  Commit();
  FHeldBack = false;
}

bool TTntExtraCustomEdit::IsKeyAccepted(QChar Key) const {
  if (FInputType != itInteger && FInputType != itFloat) return true;
  const QString t = text();
  const QChar sep = DecimalSeparator();
  if (FDisallowed.contains(Key)) return false;
  if (FInputType == itFloat && Key == sep && t.contains(sep)) return false;
  if (Key == QChar('-')) {
    const int caret = hasSelectedText() ? selectionStart() : cursorPosition();
    if (t.contains(QChar('-')) || caret != 0) return false;
  }
  const char16_t c = Key.unicode();
  if (IsAllowedControl(c) || Key == QChar('-') || (c >= '0' && c <= '9')) return true;
  return FInputType == itFloat && Key == sep;
}

void TTntExtraCustomEdit::keyPressEvent(QKeyEvent *Event) {
  CallGuarded([&] {
    const QString typed = TypedChars(Event);
    for (QChar c : typed) {
      if (!IsKeyAccepted(c)) {
        if (!isReadOnly()) MessageBeep(MB_ICONSTOP);
        Event->accept();
        return;
      }
    }
    if (typed == QString(QChar(13)) && !isReadOnly()) {
      Commit();
      Event->accept();
      return;
    }
    if (Event->matches(QKeySequence::Paste)) {
      if (!isReadOnly()) PasteChecked(QClipboard::Clipboard);
      Event->accept();
      return;
    }
    QLineEdit::keyPressEvent(Event);
  });
}

void TTntExtraCustomEdit::focusInEvent(QFocusEvent *Event) {
  QLineEdit::focusInEvent(Event);
  // Coming back from a popup or another window is no new entry.
  if (FEntered) return;
  CallGuarded([this] { DoEnter(); });
}

void TTntExtraCustomEdit::focusOutEvent(QFocusEvent *Event) {
  QLineEdit::focusOutEvent(Event);
  // A context menu or a switch to another window leaves the field entered.
  if (Event->reason() == Qt::PopupFocusReason || Event->reason() == Qt::ActiveWindowFocusReason)
    return;
  if (!FEntered) return;
  CallGuarded([this] { DoExit(); });
}

void TTntExtraCustomEdit::PasteChecked(int Mode) {
  if (isReadOnly()) return;
  const auto mode = static_cast<QClipboard::Mode>(Mode);
  QClipboard *cb = QGuiApplication::clipboard();
  if (cb == nullptr) return;
  const QString t = cb->text(mode);
  if (t.isEmpty()) return;
  bool use = true;
  DoCheckPaste(t, use);
  if (!use) return;
  if (mode == QClipboard::Clipboard) paste();
  else insert(t);
}

void TTntExtraCustomEdit::contextMenuEvent(QContextMenuEvent *Event) {
  CallGuarded([&] {
    std::unique_ptr<QMenu> menu(createStandardContextMenu());
    // The menu's own paste would bypass the check.
    if (QAction *p = menu->findChild<QAction *>(QStringLiteral("edit-paste"))) {
      disconnect(p, &QAction::triggered, nullptr, nullptr);
      connect(p, &QAction::triggered, this,
              [this] { CallGuarded([this] { PasteChecked(QClipboard::Clipboard); }); });
    }
    menu->exec(Event->globalPos());
  });
}

void TTntExtraCustomEdit::mouseReleaseEvent(QMouseEvent *Event) {
  // The middle button pastes the selection on desktops that have one; it is checked as well.
  if (Event->button() == Qt::MiddleButton && QGuiApplication::clipboard() != nullptr &&
      QGuiApplication::clipboard()->supportsSelection()) {
    CallGuarded([&] {
      if (!isReadOnly()) {
        setCursorPosition(cursorPositionAt(Event->position().toPoint()));
        PasteChecked(QClipboard::Selection);
      }
    });
    Event->accept();
    return;
  }
  QLineEdit::mouseReleaseEvent(Event);
}

void TTntExtraCustomEdit::dropEvent(QDropEvent *Event) {
  // Dropped text enters the field like pasted text.
  bool use = true;
  if (Event->mimeData() != nullptr && Event->mimeData()->hasText()) {
    const QString t = Event->mimeData()->text();
    CallGuarded([&] { DoCheckPaste(t, use); });
  }
  if (!use) {
    Event->ignore();
    return;
  }
  QLineEdit::dropEvent(Event);
}
