// The command enabler: locks every action of an action list while the program is busy and gives
// each one its own state back afterwards.
//
// DisableActions … EnableActions bracket busy work and nest; only the outermost pair saves and
// restores the actions' states, the screen cursor and the focused control. Enablers can form a
// tree through ParentEnableDisableActions: a parent's outermost disable disables its children
// once, its last enable enables them again. While disabled, SetActionEnabled changes the saved
// state, so the change shows when the lock ends.
//
// Destroyed actions, action lists, parents and children are forgotten through the removal
// notification of TComponent. The focused control is held through a QPointer, so a control that
// was destroyed meanwhile is never touched.
//
// Main thread only: it changes actions, the cursor and the focus. It never processes events itself.
#pragma once

#include <QPointer>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/untActions.h"
#include "platform/untObjects.h"
#include "platform/untSysUtils.h"

class QWidget;
class TCustomEnableDisableActions;

enum TListNotification { lnAdded, lnExtracted, lnDeleted };

// The registered children of an enabler. Adding a child to a disabled enabler disables the child
// once; deleting or extracting it from a disabled enabler enables it once, so the children's
// counts stay balanced when they come and go while their parent is disabled.
class TChildEnableDisableActions {
public:
  explicit TChildEnableDisableActions(TCustomEnableDisableActions *AOwner) : FOwner(AOwner) {}
  virtual ~TChildEnableDisableActions() = default;
  TChildEnableDisableActions(const TChildEnableDisableActions &) = delete;
  TChildEnableDisableActions &operator=(const TChildEnableDisableActions &) = delete;

  TCustomEnableDisableActions *Owner() const { return FOwner; }
  int Count() const { return static_cast<int>(FItems.size()); }
  TCustomEnableDisableActions *Items(int Index) const { return FItems.at(static_cast<size_t>(Index)); }
  int IndexOf(const TCustomEnableDisableActions *Item) const;

  int Add(TCustomEnableDisableActions *Item);
  // Removes the item (lnDeleted); returns its former index or -1.
  int Remove(TCustomEnableDisableActions *Item);
  // Removes the item (lnExtracted); returns it, or nullptr when it was not in the list.
  TCustomEnableDisableActions *Extract(TCustomEnableDisableActions *Item);
  void Delete(int Index);
  // Deletes every item, last first.
  void Clear();

protected:
  virtual void Notify(TCustomEnableDisableActions *Item, TListNotification Action);

private:
  friend class TCustomEnableDisableActions;
  // Drops a child that is being destroyed, without calling it.
  void Forget(const TComponent *Item);

  TCustomEnableDisableActions *FOwner; // not owned
  std::vector<TCustomEnableDisableActions *> FItems; // not owned
};

class TCustomEnableDisableActions : public TComponent {
public:
  using TNotifyEvent = std::function<void(TObject *Sender)>;

  explicit TCustomEnableDisableActions(TComponent *AOwner = nullptr);
  ~TCustomEnableDisableActions() override;
  void BeforeDestruction() override;

  void DisableActions(bool aSetHourGlass);
  void EnableActions(bool aRestoreCursor);
  // While disabled, an action with a saved state gets aEnabled as its saved state and stays
  // disabled; otherwise the action changes at once.
  void SetActionEnabled(TAction *aAction, bool aEnabled);
  bool Disabled() const { return FDisableCount > 0; }

  // Registers a child; raises if it is registered already. ChildRemove unregisters it.
  void ChildAdd(TCustomEnableDisableActions *Child);
  void ChildRemove(TCustomEnableDisableActions *Child);

  int DisableCount() const { return FDisableCount; }
  TCursor SavedCursor() const { return FSavedCursor; }
  bool CursorChanged() const { return FCursorChanged; }
  QWidget *FocusedControl() const { return FFocusedControl.data(); }
  const TChildEnableDisableActions &Children() const { return *FChildren; }

protected:
  TActionList *ActionList() const { return FActionList; }
  void SetActionList(TActionList *Value);
  TCustomEnableDisableActions *ParentEnableDisableActions() const { return FParentEnableDisableActions; }
  void SetParentEnableDisableActions(TCustomEnableDisableActions *Value);
  bool ResetCursorToDefault() const { return FResetCursorToDefault; }
  void SetResetCursorToDefault(bool Value) { FResetCursorToDefault = Value; }
  bool RestoreFocusedControl() const { return FRestoreFocusedControl; }
  void SetRestoreFocusedControl(bool Value) { FRestoreFocusedControl = Value; }

  TNotifyEvent BeforeDisableActions;
  TNotifyEvent AfterDisableActions;
  TNotifyEvent BeforeEnableActions;
  TNotifyEvent AfterEnableActions;

  virtual void DoBeforeDisableActions();
  virtual void DoAfterDisableActions();
  virtual void DoBeforeEnableActions();
  virtual void DoAfterEnableActions();

  void Notification(TComponent *AComponent, TOperation Operation) override;
  // Gives every saved action its state back and ends the lock (count 0); skipped while the
  // component is being destroyed, so a destroyed disabled enabler leaves its actions disabled.
  void RestoreActions();

private:
  struct TSavedState {
    TAction *Action; // not owned; dropped when the action is destroyed
    bool Enabled;
  };

  void Detach();
  void RestoreFocus();

  TActionList *FActionList = nullptr;                              // not owned
  TCustomEnableDisableActions *FParentEnableDisableActions = nullptr; // not owned
  std::unique_ptr<TChildEnableDisableActions> FChildren;
  std::vector<TSavedState> FSavedStates;
  std::int32_t FDisableCount = 0;
  TCursor FSavedCursor = crDefault;
  bool FResetCursorToDefault = false;
  bool FCursorChanged = false;
  QPointer<QWidget> FFocusedControl; // also stands for its window: null once it is destroyed
  bool FRestoreFocusedControl = true;
  bool FDestroyingSelf = false;
};

class TEnableDisableActions : public TCustomEnableDisableActions {
public:
  explicit TEnableDisableActions(TComponent *AOwner = nullptr) : TCustomEnableDisableActions(AOwner) {}

  using TCustomEnableDisableActions::ActionList;
  using TCustomEnableDisableActions::SetActionList;
  using TCustomEnableDisableActions::ParentEnableDisableActions;
  using TCustomEnableDisableActions::SetParentEnableDisableActions;
  using TCustomEnableDisableActions::ResetCursorToDefault;
  using TCustomEnableDisableActions::SetResetCursorToDefault;
  using TCustomEnableDisableActions::RestoreFocusedControl;
  using TCustomEnableDisableActions::SetRestoreFocusedControl;
  using TCustomEnableDisableActions::BeforeDisableActions;
  using TCustomEnableDisableActions::AfterDisableActions;
  using TCustomEnableDisableActions::BeforeEnableActions;
  using TCustomEnableDisableActions::AfterEnableActions;
};
