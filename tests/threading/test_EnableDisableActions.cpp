#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QLineEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

#include "platform/untActions.h"
#include "tests/common/TestUtil.h"
#include "threading/EnableDisableActions.h"

namespace {

// A module with three actions in a list and one enabler; B starts disabled.
struct Module {
  TComponent Owner;
  TActionList *List = new TActionList(&Owner);
  TAction *A = new TAction(&Owner);
  TAction *B = new TAction(&Owner);
  TAction *C = new TAction(&Owner);
  TEnableDisableActions *Eda = new TEnableDisableActions(&Owner);
  Module() {
    Eda->SetName("edaMain");
    B->SetEnabled(false);
    for (TAction *a : {A, B, C}) List->Add(a);
    Eda->SetActionList(List);
  }
  ~Module() { SetScreenCursor(crDefault); }
};

Qt::CursorShape OverrideShape() {
  const QCursor *c = QGuiApplication::overrideCursor();
  return c != nullptr ? c->shape() : Qt::BitmapCursor; // BitmapCursor: no override at all
}

} // namespace

TEST(EnableDisableActions, NestingRestoresStatesAndCursorOnlyAtTheOutermostCalls) {
  Module m;
  int beforeDisable = 0, afterDisable = 0, beforeEnable = 0, afterEnable = 0;
  m.Eda->BeforeDisableActions = [&](TObject *s) { EXPECT_EQ(s, m.Eda); ++beforeDisable; };
  m.Eda->AfterDisableActions = [&](TObject *) { ++afterDisable; };
  m.Eda->BeforeEnableActions = [&](TObject *) {
    EXPECT_TRUE(m.Eda->Disabled()); // still locked while the handler runs
    ++beforeEnable;
  };
  m.Eda->AfterEnableActions = [&](TObject *) { ++afterEnable; };

  m.Eda->DisableActions(true);
  EXPECT_EQ(ScreenCursor(), crHourGlass);
  EXPECT_EQ(OverrideShape(), Qt::WaitCursor);
  m.Eda->DisableActions(false);
  EXPECT_EQ(m.Eda->DisableCount(), 2);
  for (TAction *a : {m.A, m.B, m.C}) EXPECT_FALSE(a->Enabled());
  EXPECT_FALSE(m.A->Action()->isEnabled());

  m.Eda->EnableActions(false);
  EXPECT_TRUE(m.Eda->Disabled());
  EXPECT_FALSE(m.A->Enabled());
  EXPECT_EQ(ScreenCursor(), crHourGlass);

  m.Eda->EnableActions(true);
  EXPECT_FALSE(m.Eda->Disabled());
  EXPECT_TRUE(m.A->Enabled());
  EXPECT_FALSE(m.B->Enabled()); // disabled before the lock, disabled after it
  EXPECT_TRUE(m.C->Enabled());
  EXPECT_EQ(ScreenCursor(), crDefault);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(beforeDisable, 1);
  EXPECT_EQ(afterDisable, 1);
  EXPECT_EQ(beforeEnable, 1);
  EXPECT_EQ(afterEnable, 1);

  // Unbalanced enables are ignored.
  m.Eda->EnableActions(true);
  EXPECT_EQ(m.Eda->DisableCount(), 0);
  EXPECT_EQ(beforeEnable, 1);

  // The cursor is restored only if the outermost disable set it and the last enable asks.
  SetScreenCursor(crCross);
  m.Eda->DisableActions(false);
  m.Eda->DisableActions(true); // nested: shows no hourglass
  EXPECT_EQ(ScreenCursor(), crCross);
  m.Eda->EnableActions(false);
  m.Eda->EnableActions(true);
  EXPECT_EQ(ScreenCursor(), crCross);
  m.Eda->DisableActions(true);
  m.Eda->EnableActions(false); // no restore asked
  EXPECT_EQ(ScreenCursor(), crHourGlass);
  EXPECT_FALSE(m.Eda->CursorChanged());
}

TEST(EnableDisableActions, CursorGoesBackToTheSavedOneOrToTheDefault) {
  Module m;
  SetScreenCursor(crCross);
  m.Eda->DisableActions(true);
  EXPECT_EQ(m.Eda->SavedCursor(), crCross);
  EXPECT_EQ(OverrideShape(), Qt::WaitCursor);
  m.Eda->EnableActions(true);
  EXPECT_EQ(ScreenCursor(), crCross);
  EXPECT_EQ(OverrideShape(), Qt::CrossCursor);

  m.Eda->SetResetCursorToDefault(true);
  m.Eda->DisableActions(true);
  m.Eda->EnableActions(true);
  EXPECT_EQ(ScreenCursor(), crDefault);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST(EnableDisableActions, SetActionEnabledWritesTheSavedStateWhileLocked) {
  Module m;
  m.Eda->SetActionEnabled(nullptr, true); // no action: nothing
  m.Eda->SetActionEnabled(m.B, true);     // unlocked: at once
  EXPECT_TRUE(m.B->Enabled());
  m.Eda->SetActionEnabled(m.B, false);
  EXPECT_FALSE(m.B->Enabled());

  m.Eda->BeforeEnableActions = [&](TObject *) { m.Eda->SetActionEnabled(m.C, false); };
  m.Eda->DisableActions(false);
  m.Eda->SetActionEnabled(m.B, true);
  EXPECT_FALSE(m.B->Enabled());
  TAction outside; // not in the list: changes at once even while locked
  outside.SetEnabled(false);
  m.Eda->SetActionEnabled(&outside, true);
  EXPECT_TRUE(outside.Enabled());
  m.Eda->EnableActions(true);
  EXPECT_TRUE(m.A->Enabled());
  EXPECT_TRUE(m.B->Enabled());
  EXPECT_FALSE(m.C->Enabled()); // changed by the handler, which ran while still locked
}

TEST(EnableDisableActions, ParentSelfAndDoubleRegistrationRaiseWithTheirTexts) {
  Module m;
  try {
    m.Eda->SetParentEnableDisableActions(m.Eda);
    FAIL() << "no exception";
  } catch (const Exception &e) {
    EXPECT_EQ(e.Message, "TEnableDisableActions.SetParentEnableDisableActions: TEnableDisableActions.(edaMain) is Self!");
  }
  EXPECT_EQ(m.Eda->ParentEnableDisableActions(), nullptr);

  TEnableDisableActions child;
  child.SetName("edaChild");
  child.SetParentEnableDisableActions(m.Eda);
  child.SetParentEnableDisableActions(m.Eda); // the same parent again changes nothing
  EXPECT_EQ(m.Eda->Children().Count(), 1);
  try {
    m.Eda->ChildAdd(&child);
    FAIL() << "no exception";
  } catch (const Exception &e) {
    EXPECT_EQ(e.Message, "TEnableDisableActions.ChildAdd: TEnableDisableActions.(edaChild) allready registered!");
  }
  EXPECT_EQ(m.Eda->Children().Count(), 1);
}

TEST(EnableDisableActions, ChildrenFollowTheirParentAndStayBalanced) {
  Module m;
  TActionList childList;
  TAction x;
  childList.Add(&x);
  TEnableDisableActions child;
  child.SetActionList(&childList);

  // Attached to a parent that is already disabled: disabled at once, enabled with the parent.
  m.Eda->DisableActions(false);
  m.Eda->DisableActions(false);
  child.SetParentEnableDisableActions(m.Eda);
  EXPECT_EQ(child.DisableCount(), 1);
  EXPECT_FALSE(x.Enabled());
  m.Eda->EnableActions(false);
  EXPECT_FALSE(x.Enabled());
  m.Eda->EnableActions(false);
  EXPECT_EQ(child.DisableCount(), 0);
  EXPECT_TRUE(x.Enabled());

  // The parent's outermost disable disables the child once, nested ones not again.
  m.Eda->DisableActions(false);
  m.Eda->DisableActions(false);
  EXPECT_EQ(child.DisableCount(), 1);
  child.DisableActions(false); // the child's own lock nests inside
  m.Eda->EnableActions(false);
  m.Eda->EnableActions(false);
  EXPECT_EQ(child.DisableCount(), 1);
  EXPECT_FALSE(x.Enabled());
  child.EnableActions(false);
  EXPECT_TRUE(x.Enabled());

  // Detached while the parent is disabled: enabled again, and the parent no longer reaches it.
  m.Eda->DisableActions(false);
  EXPECT_FALSE(x.Enabled());
  child.SetParentEnableDisableActions(nullptr);
  EXPECT_TRUE(x.Enabled());
  EXPECT_EQ(m.Eda->Children().Count(), 0);
  m.Eda->EnableActions(false);
  EXPECT_EQ(child.DisableCount(), 0);

  // A chain: a disabled grandparent disables the grandchild through the child.
  TActionList grandList;
  TAction y;
  grandList.Add(&y);
  TEnableDisableActions grand;
  grand.SetActionList(&grandList);
  grand.SetParentEnableDisableActions(&child);
  child.SetParentEnableDisableActions(m.Eda);
  m.Eda->DisableActions(true);
  EXPECT_FALSE(y.Enabled());
  m.Eda->EnableActions(true);
  EXPECT_TRUE(y.Enabled());
  grand.SetParentEnableDisableActions(nullptr);
  child.SetParentEnableDisableActions(nullptr);
}

TEST(EnableDisableActions, DestroyedActionsListsAndEnablersAreForgotten) {
  Module m;
  m.Eda->DisableActions(false);
  delete m.B; // leaves the list and the saved states
  m.B = nullptr;
  EXPECT_EQ(m.List->ActionCount(), 2);
  m.Eda->EnableActions(false);
  EXPECT_TRUE(m.A->Enabled());
  EXPECT_TRUE(m.C->Enabled());

  // A destroyed list gives its surviving actions their states back.
  m.Eda->DisableActions(false);
  delete m.List;
  m.List = nullptr;
  EXPECT_EQ(m.Eda->ActionList(), nullptr);
  EXPECT_FALSE(m.Eda->Disabled());
  EXPECT_TRUE(m.A->Enabled());
  m.Eda->DisableActions(false); // without a list: nothing
  EXPECT_FALSE(m.Eda->Disabled());

  // A destroyed disabled child leaves the parent's list; a destroyed disabled parent enables its
  // children and leaves its own actions disabled.
  TActionList pl, cl;
  TAction p, c;
  pl.Add(&p);
  cl.Add(&c);
  auto parent = std::make_unique<TEnableDisableActions>();
  auto child = std::make_unique<TEnableDisableActions>();
  parent->SetActionList(&pl);
  child->SetActionList(&cl);
  auto child2 = std::make_unique<TEnableDisableActions>();
  child2->SetActionList(&cl);
  child->SetParentEnableDisableActions(parent.get());
  child2->SetParentEnableDisableActions(parent.get());
  parent->DisableActions(false);
  child2.reset();
  EXPECT_EQ(parent->Children().Count(), 1);
  parent.reset();
  EXPECT_EQ(child->ParentEnableDisableActions(), nullptr);
  EXPECT_EQ(child->DisableCount(), 0);
  EXPECT_FALSE(p.Enabled());
}

TEST(EnableDisableActions, OwnerDestroysEnablerBeforeItsActions) {
  // Components go last created first: here the enabler goes while still locked and must not
  // touch anything afterwards.
  auto owner = std::make_unique<TComponent>();
  auto *list = new TActionList(owner.get());
  auto *a = new TAction(owner.get());
  list->Add(a);
  auto *eda = new TEnableDisableActions(owner.get());
  eda->SetActionList(list);
  eda->DisableActions(true);
  owner.reset();
  SetScreenCursor(crDefault);
}

TEST(EnableDisableActions, QueuedEventsWaitForTheEventLoopAndThenOnlyNest) {
  Module m;
  // Disabling processes no events: a queued call runs only once the event loop runs again, and
  // one that locks again then nests instead of saving the states of the disabled actions.
  bool ran = false;
  QObject context; // the call goes with the test
  QTimer::singleShot(0, &context, [&] {
    ran = true;
    m.Eda->DisableActions(false);
  });
  m.Eda->DisableActions(true);
  EXPECT_FALSE(ran);
  m.Eda->EnableActions(true);
  m.Eda->DisableActions(true);
  ASSERT_TRUE(testutil::ProcessUntil([&] { return ran; }));
  EXPECT_EQ(m.Eda->DisableCount(), 2);
  m.Eda->EnableActions(false);
  m.Eda->EnableActions(true);
  EXPECT_FALSE(m.Eda->Disabled());
  EXPECT_TRUE(m.A->Enabled());
  EXPECT_TRUE(m.C->Enabled());
  EXPECT_FALSE(m.B->Enabled());
  EXPECT_EQ(ScreenCursor(), crDefault);
}

TEST(EnableDisableActions, FocusReturnsToALiveControlOnly) {
  Module m;
  QWidget form;
  auto *layout = new QVBoxLayout(&form);
  auto *first = new QLineEdit(&form);
  auto *second = new QLineEdit(&form);
  layout->addWidget(first);
  layout->addWidget(second);
  form.show();
  form.activateWindow();
  QApplication::setActiveWindow(&form);
  ASSERT_TRUE(testutil::ProcessUntil([&] { return QApplication::activeWindow() == &form; }, 3000));
  first->setFocus();
  ASSERT_TRUE(testutil::ProcessUntil([&] { return first->hasFocus(); }, 3000));

  m.Eda->DisableActions(false);
  EXPECT_EQ(m.Eda->FocusedControl(), first);
  second->setFocus();
  testutil::ProcessUntil([&] { return second->hasFocus(); }, 3000);
  m.Eda->EnableActions(false);
  EXPECT_TRUE(first->hasFocus());

  // Not restored when switched off.
  m.Eda->SetRestoreFocusedControl(false);
  m.Eda->DisableActions(false);
  second->setFocus();
  testutil::ProcessUntil([&] { return second->hasFocus(); }, 3000);
  m.Eda->EnableActions(false);
  EXPECT_TRUE(second->hasFocus());
  m.Eda->SetRestoreFocusedControl(true);

  // A control destroyed meanwhile, or one that can no longer take the focus, is left alone.
  m.Eda->DisableActions(false);
  EXPECT_EQ(m.Eda->FocusedControl(), second);
  delete second;
  EXPECT_EQ(m.Eda->FocusedControl(), nullptr);
  m.Eda->EnableActions(false);
  first->setFocus();
  testutil::ProcessUntil([&] { return first->hasFocus(); }, 3000);
  m.Eda->DisableActions(false);
  first->setEnabled(false);
  m.Eda->EnableActions(false);
  EXPECT_FALSE(first->hasFocus());
}

TEST(Actions, ExecuteRunsTheHandlerOnlyWhenEnabled) {
  TActionList list;
  auto action = std::make_unique<TAction>();
  action->SetName("actFlOpn");
  action->SetCaption("&open picture");
  action->SetShortCut("Ctrl+O");
  EXPECT_EQ(action->Caption(), "&open picture");
  EXPECT_EQ(action->ShortCut(), "Ctrl+O");
  int runs = 0;
  action->OnExecute = [&](TObject *s) {
    EXPECT_EQ(s, action.get());
    ++runs;
  };
  action->Action()->trigger();
  EXPECT_EQ(runs, 1);
  action->SetEnabled(false);
  EXPECT_FALSE(action->Execute());
  action->Action()->trigger();
  EXPECT_EQ(runs, 1);

  list.Add(action.get());
  list.Add(action.get());
  EXPECT_EQ(list.ActionCount(), 1);
  action.reset();
  EXPECT_EQ(list.ActionCount(), 0);
}
