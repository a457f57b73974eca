#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QPushButton>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

#include "platform/untApplication.h"
#include "platform/untDesktop.h"
#include "widgets/TntExtraEdits.h"

namespace {

// Counts beeps for the lifetime of the object instead of sounding them.
class BeepCounter {
public:
  BeepCounter() {
    FOld = SetMessageBeepFunction([this](UINT Type) {
      ++Count;
      LastType = Type;
    });
  }
  ~BeepCounter() { SetMessageBeepFunction(FOld); }
  int Count = 0;
  UINT LastType = 0;

private:
  TMessageBeepFunction FOld;
};

// Pins the default locale for one test.
class LocaleGuard {
public:
  explicit LocaleGuard(const QLocale &L) : FOld(QLocale()) { QLocale::setDefault(L); }
  ~LocaleGuard() { QLocale::setDefault(FOld); }

private:
  QLocale FOld;
};

void TypeKey(QWidget *W, int Key, const QString &Text = {},
             Qt::KeyboardModifiers Mods = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, Key, Mods, Text);
  QCoreApplication::sendEvent(W, &press);
  QKeyEvent release(QEvent::KeyRelease, Key, Mods, Text);
  QCoreApplication::sendEvent(W, &release);
}

void TypeChar(QWidget *W, QChar C) {
  int key = C.toUpper().unicode();
  if (C == QChar('-')) key = Qt::Key_Minus;
  TypeKey(W, key, QString(C));
}

void TypeText(QWidget *W, const QString &Text) {
  for (QChar c : Text) TypeChar(W, c);
}

void PressEnter(QWidget *W) { TypeKey(W, Qt::Key_Return, QStringLiteral("\r")); }

void FocusIn(QWidget *W) {
  QFocusEvent e(QEvent::FocusIn, Qt::MouseFocusReason); // a tab would select all
  QCoreApplication::sendEvent(W, &e);
}

void FocusOut(QWidget *W, Qt::FocusReason Reason = Qt::TabFocusReason) {
  QFocusEvent e(QEvent::FocusOut, Reason);
  QCoreApplication::sendEvent(W, &e);
}

} // namespace

TEST(TntExtraEdit, MinusNeedsCaretAtStartAndOnlyOnce) {
  BeepCounter beeps;
  TTntExtraCustomEdit e;
  e.SetInputType(itInteger);
  e.setText("12");
  e.setCursorPosition(2);
  TypeChar(&e, '-');
  EXPECT_EQ(e.text(), "12");
  EXPECT_EQ(beeps.Count, 1);
  EXPECT_EQ(beeps.LastType, MB_ICONSTOP);

  e.setCursorPosition(0);
  TypeChar(&e, '-');
  EXPECT_EQ(e.text(), "-12");
  EXPECT_EQ(beeps.Count, 1);

  e.setCursorPosition(0);
  TypeChar(&e, '-');
  EXPECT_EQ(e.text(), "-12");
  EXPECT_EQ(beeps.Count, 2);
  EXPECT_EQ(e.AsInteger(), -12);

  // A selection that starts at 0 counts as the caret at 0.
  e.setText("5");
  e.setSelection(0, 1);
  TypeChar(&e, '-');
  EXPECT_EQ(e.text(), "-");
  EXPECT_EQ(e.AsInteger(), 0);
}

TEST(TntExtraEdit, FilterByInputType) {
  BeepCounter beeps;
  const LocaleGuard locale(QLocale::c());
  TTntExtraCustomEdit num;
  num.SetInputType(itInteger);
  TypeText(&num, "1a2.3");
  EXPECT_EQ(num.text(), "123");
  EXPECT_EQ(beeps.Count, 2); // the letter and the separator

  TTntExtraCustomEdit flt;
  flt.SetInputType(itFloat);
  TypeText(&flt, "3.1.4x");
  EXPECT_EQ(flt.text(), "3.14");
  EXPECT_EQ(beeps.Count, 4);
  EXPECT_DOUBLE_EQ(flt.AsExtended(), 3.14);

  TTntExtraCustomEdit str;
  TypeText(&str, "a-b.c-");
  EXPECT_EQ(str.text(), "a-b.c-");
  EXPECT_EQ(beeps.Count, 4);

  // Disallowed characters are refused even when they are digits.
  TTntExtraCustomEdit dis;
  dis.SetInputType(itInteger);
  dis.SetDisallowed("7");
  TypeText(&dis, "1778");
  EXPECT_EQ(dis.text(), "18");
  EXPECT_EQ(beeps.Count, 6);

  // Backspace and the clipboard keys pass; Ctrl+A (not one of them) is refused.
  TypeKey(&dis, Qt::Key_Backspace, QStringLiteral("\b"));
  EXPECT_EQ(dis.text(), "1");
  TypeKey(&dis, Qt::Key_A, {}, Qt::ControlModifier);
  EXPECT_EQ(beeps.Count, 7);
  // Keys that type nothing are not filtered.
  TypeKey(&dis, Qt::Key_Left);
  TypeKey(&dis, Qt::Key_Delete);
  EXPECT_EQ(dis.text(), "");
  EXPECT_EQ(beeps.Count, 7);
}

TEST(TntExtraEdit, FloatUsesTheLocaleSeparator) {
  BeepCounter beeps;
  const LocaleGuard locale(QLocale(QLocale::German, QLocale::Germany));
  TTntExtraCustomEdit flt;
  flt.SetInputType(itFloat);
  TypeText(&flt, "2.5");
  EXPECT_EQ(flt.text(), "25");
  EXPECT_EQ(beeps.Count, 1);
  flt.clear();
  TypeText(&flt, "2,5,");
  EXPECT_EQ(flt.text(), "2,5");
  EXPECT_DOUBLE_EQ(flt.AsExtended(), 2.5);

  flt.SetAsExtended(3.14159);
  EXPECT_EQ(flt.text(), "3,14");
  // A '.' is no separator here, so the text is no number.
  flt.setText("3.5");
  EXPECT_EQ(flt.AsExtended(), 0.0);
}

TEST(TntExtraEdit, ReadOnlyNeverBeepsAndEnterFiresNothing) {
  BeepCounter beeps;
  TTntExtraCustomEdit e;
  e.SetInputType(itInteger);
  e.setReadOnly(true);
  e.setText("10");
  int values = 0;
  e.OnValue = [&](TObject *) { ++values; };
  FocusIn(&e);
  TypeText(&e, "x-5");
  EXPECT_EQ(beeps.Count, 0);
  EXPECT_EQ(e.text(), "10");
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
  QCoreApplication::sendEvent(&e, &enter);
  EXPECT_FALSE(enter.isAccepted()); // passed on, e.g. to a dialog's default button
  FocusOut(&e);
  EXPECT_EQ(values, 0);
}

TEST(TntExtraEdit, OnValueFiresOncePerChangedCommit) {
  TTntExtraCustomEdit e;
  e.SetInputType(itInteger);
  e.setText("10");
  int values = 0, changes = 0;
  TObject *sender = nullptr;
  e.OnValue = [&](TObject *S) {
    ++values;
    sender = S;
  };
  e.OnChange = [&](TObject *) { ++changes; };
  FocusIn(&e);
  e.setCursorPosition(2);
  TypeKey(&e, Qt::Key_Backspace, "\b");
  TypeChar(&e, '5');
  EXPECT_EQ(e.text(), "15");
  EXPECT_EQ(changes, 2); // without ChangedOnExit every keystroke fires OnChange
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
  QCoreApplication::sendEvent(&e, &enter);
  EXPECT_TRUE(enter.isAccepted()); // Enter is eaten by an editable field
  EXPECT_EQ(values, 1);
  EXPECT_EQ(sender, static_cast<TObject *>(&e));
  PressEnter(&e);
  EXPECT_EQ(values, 1);
  FocusOut(&e);
  EXPECT_EQ(values, 1);
  EXPECT_EQ(changes, 2);

  // Leaving a changed field commits it; coming back unchanged does not.
  FocusIn(&e);
  TypeChar(&e, '0');
  FocusOut(&e);
  EXPECT_EQ(values, 2);
  FocusIn(&e);
  FocusOut(&e);
  EXPECT_EQ(values, 2);

  // A change undone before Enter is no change.
  FocusIn(&e);
  TypeChar(&e, '1');
  TypeKey(&e, Qt::Key_Backspace, "\b");
  PressEnter(&e);
  EXPECT_EQ(values, 2);
  FocusOut(&e);
}

TEST(TntExtraEdit, ChangedOnExitHoldsTheChangeEventBack) {
  TTntExtraCustomEdit e;
  e.SetChangedOnExit(true);
  e.setText("ab");
  int values = 0, changes = 0;
  e.OnValue = [&](TObject *) { ++values; };
  e.OnChange = [&](TObject *) { ++changes; };
  FocusIn(&e);
  TypeText(&e, "cde");
  EXPECT_EQ(changes, 0);
  PressEnter(&e);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(values, 1);
  TypeText(&e, "f");
  EXPECT_EQ(changes, 1);
  // A popup or another window taking the focus is no exit.
  FocusOut(&e, Qt::PopupFocusReason);
  FocusIn(&e);
  EXPECT_EQ(values, 1);
  FocusOut(&e);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(values, 2);
  // Outside the field every change fires again.
  e.setText("x");
  EXPECT_EQ(changes, 3);
  EXPECT_EQ(values, 2);
}

TEST(TntExtraEdit, HandlerExceptionsGoToTheApplication) {
  std::string shown;
  auto old = Application()->OnException;
  Application()->OnException = [&](TObject *, std::exception_ptr E) {
    shown = TApplication::ExceptionText(E);
  };
  TTntExtraCustomEdit e;
  e.OnValue = [](TObject *) { throw EConvertError("bad region"); };
  FocusIn(&e);
  TypeChar(&e, '1');
  PressEnter(&e);
  EXPECT_EQ(shown, "bad region.");
  Application()->OnException = old;
}

TEST(TntExtraEdit, PasteIsAskedAndMayBeRefused) {
  QClipboard *cb = QGuiApplication::clipboard();
  ASSERT_NE(cb, nullptr);
  cb->setText("abc");
  if (cb->text() != "abc") GTEST_SKIP() << "no clipboard on this platform";

  TTntExtraCustomEdit e;
  e.SetInputType(itInteger);
  // Without a handler every paste is accepted, even into a numeric field.
  TypeKey(&e, Qt::Key_V, {}, Qt::ControlModifier);
  EXPECT_EQ(e.text(), "abc");
  EXPECT_EQ(e.AsInteger(), 0);

  e.clear();
  QString asked;
  bool allow = false;
  e.OnCheckPaste = [&](TObject *, const QString &Text, bool &Use) {
    asked = Text;
    EXPECT_TRUE(Use);
    Use = allow;
  };
  TypeKey(&e, Qt::Key_V, {}, Qt::ControlModifier);
  EXPECT_EQ(asked, "abc");
  EXPECT_EQ(e.text(), "");
  TypeKey(&e, Qt::Key_Insert, {}, Qt::ShiftModifier);
  EXPECT_EQ(e.text(), "");

  allow = true;
  cb->setText("42");
  TypeKey(&e, Qt::Key_V, {}, Qt::ControlModifier);
  EXPECT_EQ(e.text(), "42");
  EXPECT_EQ(e.AsInteger(), 42);

  // A read-only field pastes nothing and asks nothing.
  asked.clear();
  e.setReadOnly(true);
  TypeKey(&e, Qt::Key_V, {}, Qt::ControlModifier);
  EXPECT_EQ(asked, "");
  EXPECT_EQ(e.text(), "42");
}

TEST(TntExtraEdit, NumberConversions) {
  const LocaleGuard locale(QLocale::c());
  TTntExtraCustomEdit e;
  int changes = 0;
  e.OnChange = [&](TObject *) { ++changes; };
  for (const char *bad : {"", "-", "12a", "1.5", "99999999999", "0x10", "1 2"}) {
    e.setText(bad);
    EXPECT_EQ(e.AsInteger(), 0) << bad;
  }
  for (const char *bad : {"", "-", ".", "1.2.3", "abc", "inf", "nan", "1,5"}) {
    e.setText(bad);
    EXPECT_EQ(e.AsExtended(), 0.0) << bad;
  }
  e.setText("-2147483648");
  EXPECT_EQ(e.AsInteger(), -2147483648);
  e.setText(" 17 ");
  EXPECT_EQ(e.AsInteger(), 17);

  // Writing a value the text already reads as leaves the text (and fires nothing).
  e.setText("007");
  changes = 0;
  e.SetAsInteger(7);
  EXPECT_EQ(e.text(), "007");
  EXPECT_EQ(changes, 0);
  e.SetAsInteger(-8);
  EXPECT_EQ(e.text(), "-8");
  EXPECT_EQ(changes, 1);
  e.clear();
  e.SetAsInteger(0);
  EXPECT_EQ(e.text(), "0");

  e.SetInputType(itFloat);
  e.SetAsExtended(3.14159);
  EXPECT_EQ(e.text(), "3.14");
  e.SetAsExtended(3.14);
  EXPECT_EQ(e.text(), "3.14");
  e.setText("2.50");
  e.SetAsExtended(2.5);
  EXPECT_EQ(e.text(), "2.50");
  e.SetAsExtended(-0.125);
  EXPECT_EQ(e.text(), "-0.12"); // printf rounding: ties to even
  e.clear();
  e.SetAsExtended(0.0);
  EXPECT_EQ(e.text(), "0.00");

  // A new Decimal rewrites a number with the new digits, and only a number.
  e.setText("3.14159");
  e.SetDecimal(3);
  EXPECT_EQ(e.text(), "3.142");
  e.SetDecimal(0);
  EXPECT_EQ(e.text(), "3");
  e.clear();
  e.SetDecimal(2);
  EXPECT_EQ(e.text(), "");
  e.SetInputType(itInteger);
  e.setText("5");
  e.SetDecimal(4);
  EXPECT_EQ(e.text(), "5");
}

TEST(TntExtraLabeledEdit, PlacesCaptionLabel) {
  QWidget parent;
  parent.resize(300, 200);
  auto *e = new TTntExtraLabeledEdit(&parent);
  TTntExtraBoundLabel *lbl = e->EditLabelCaption();
  ASSERT_NE(lbl, nullptr);
  EXPECT_EQ(lbl->parentWidget(), &parent);
  lbl->setText("Left");
  lbl->resize(28, 13);
  lbl->SetLabelPosition(blpLeftMiddle);
  e->SetBounds(76, 8, 80, 21);
  EXPECT_EQ(lbl->pos(), QPoint(45, 12));

  // The field's own position applies while the label's is blpParent.
  lbl->SetLabelPosition(blpParent);
  EXPECT_EQ(lbl->pos(), QPoint(76, 8 - 13 - 3)); // lpAbove: top left
  e->SetLabelPositionCaption(lpBelow);
  EXPECT_EQ(lbl->pos(), QPoint(76, 8 + 21 + 3));
  e->SetLabelPositionCaption(lpRight);
  e->SetLabelSpacing(4);
  EXPECT_EQ(lbl->pos(), QPoint(76 + 80 + 4, 8 + (21 - 13) / 2));

  // Once shown, moving the field with setGeometry carries the label along.
  e->SetLabelPositionCaption(lpLeft);
  parent.show();
  e->setGeometry(100, 50, 80, 21);
  EXPECT_EQ(lbl->pos(), QPoint(100 - 28 - 4, 50 + 4));
  // A longer caption is a wider label, placed again.
  lbl->SetCaption("A much longer caption");
  EXPECT_GT(lbl->width(), 28);
  EXPECT_EQ(lbl->x(), 100 - lbl->width() - 4);
}

TEST(TntExtraLabeledEdit, PlacementTable) {
  const QRect f(100, 50, 60, 20);
  const int lw = 30, lh = 10, s = 3;
  EXPECT_EQ(BoundLabelPlace(blpTopCenter, f, lw, lh, s), QPoint(115, 37));
  EXPECT_EQ(BoundLabelPlace(blpTopRight, f, lw, lh, s), QPoint(130, 37));
  EXPECT_EQ(BoundLabelPlace(blpBelowCenter, f, lw, lh, s), QPoint(115, 73));
  EXPECT_EQ(BoundLabelPlace(blpBelowRight, f, lw, lh, s), QPoint(130, 73));
  EXPECT_EQ(BoundLabelPlace(blpLeftTop, f, lw, lh, s), QPoint(67, 50));
  EXPECT_EQ(BoundLabelPlace(blpLeftBottom, f, lw, lh, s), QPoint(67, 60));
  EXPECT_EQ(BoundLabelPlace(blpRightTop, f, lw, lh, s), QPoint(163, 50));
  EXPECT_EQ(BoundLabelPlace(blpRightBottom, f, lw, lh, s), QPoint(163, 60));
  // A label wider than the field: the division rounds toward zero (-5 div 2 = -2).
  EXPECT_EQ(BoundLabelPlace(blpTopCenter, QRect(10, 50, 25, 20), 30, 10, 3), QPoint(8, 37));
  EXPECT_EQ(BoundLabelPlace(blpLeftMiddle, QRect(10, 50, 25, 9), 30, 14, 3), QPoint(-23, 48));
}

TEST(TntExtraUnitLabeledEdit, LabelsFollowTheField) {
  QWidget parent;
  parent.resize(300, 200);
  auto *e = new TTntExtraUnitLabeledEdit(&parent);
  e->SetLabelPositionCaption(lpLeft);
  e->SetLabelSpacing(4);
  e->EditLabelCaption()->SetCaption("S/N ratio");
  e->EditLabelUnit()->SetCaption("dB");
  e->SetBounds(120, 30, 60, 21);
  TTntExtraBoundLabel *cap = e->EditLabelCaption();
  TTntExtraBoundLabel *unit = e->EditLabelUnit();
  EXPECT_EQ(unit->pos(), QPoint(120 + 60 + 4, 30 + (21 - unit->height()) / 2));
  EXPECT_EQ(cap->x() + cap->width() + 4, 120);

  parent.show();
  EXPECT_TRUE(cap->isVisible());
  EXPECT_TRUE(unit->isVisible());
  e->hide();
  EXPECT_FALSE(cap->isVisible());
  EXPECT_FALSE(unit->isVisible());
  e->show();
  EXPECT_TRUE(unit->isVisible());
  e->setEnabled(false);
  EXPECT_FALSE(cap->isEnabled());
  EXPECT_FALSE(unit->isEnabled());
  e->setEnabled(true);
  EXPECT_TRUE(unit->isEnabled());

  QWidget other;
  e->setParent(&other);
  EXPECT_EQ(cap->parentWidget(), &other);
  EXPECT_EQ(unit->parentWidget(), &other);

  // The field frees its labels; a parent that goes first frees them without a double free.
  QPointer<QLabel> capGuard(cap), unitGuard(unit);
  delete e;
  EXPECT_TRUE(capGuard.isNull());
  EXPECT_TRUE(unitGuard.isNull());

  auto *holder = new QWidget;
  auto *e2 = new TTntExtraUnitLabeledEdit(holder);
  QPointer<QLabel> g2(e2->EditLabelUnit());
  delete holder;
  EXPECT_TRUE(g2.isNull());
}

TEST(TntExtraEdit, RealFocusChangesCommit) {
  QWidget w;
  auto *a = new TTntExtraCustomEdit(&w);
  auto *b = new TTntExtraCustomEdit(&w);
  a->SetInputType(itInteger);
  a->setText("10");
  a->move(0, 0);
  b->move(0, 40);
  int values = 0;
  a->OnValue = [&](TObject *) { ++values; };
  w.show();
  w.activateWindow();
  QCoreApplication::processEvents();
  a->setFocus(Qt::MouseFocusReason);
  if (!a->hasFocus()) GTEST_SKIP() << "the platform gives no focus";
  a->setCursorPosition(2);
  TypeChar(a, '5');
  // Tab moves the focus through Qt's own handling; the field commits on leaving.
  TypeKey(a, Qt::Key_Tab, QStringLiteral("\t"));
  EXPECT_TRUE(b->hasFocus());
  EXPECT_EQ(values, 1);
  EXPECT_EQ(a->AsInteger(), 105);
  a->setFocus(Qt::MouseFocusReason);
  b->setFocus(Qt::MouseFocusReason);
  EXPECT_EQ(values, 1);
}

TEST(TntExtraEdit, EnterReachesTheDialogOnlyFromReadOnlyFields) {
  QDialog dlg;
  auto *e = new TTntExtraCustomEdit(&dlg);
  auto *ok = new QPushButton("OK", &dlg);
  ok->move(0, 40);
  ok->setDefault(true);
  QObject::connect(ok, &QPushButton::clicked, &dlg, &QDialog::accept);
  dlg.show();
  PressEnter(e);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), 0);
  e->setReadOnly(true);
  PressEnter(e);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
}
