#include "threading/EnableDisableActions.h"

#include <QWidget>
#include <algorithm>

#include "platform/untSysUtils.h"

// ---- TChildEnableDisableActions ----

int TChildEnableDisableActions::IndexOf(const TCustomEnableDisableActions *Item) const {
  const auto it = std::find(FItems.begin(), FItems.end(), Item);
  return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
}

int TChildEnableDisableActions::Add(TCustomEnableDisableActions *Item) {
  FItems.push_back(Item);
  if (Item != nullptr) Notify(Item, lnAdded);
  return Count() - 1;
}

int TChildEnableDisableActions::Remove(TCustomEnableDisableActions *Item) {
  const int i = IndexOf(Item);
  if (i >= 0) Delete(i);
  return i;
}

TCustomEnableDisableActions *TChildEnableDisableActions::Extract(TCustomEnableDisableActions *Item) {
  const int i = IndexOf(Item);
  if (i < 0) return nullptr;
  FItems.erase(FItems.begin() + i);
  if (Item != nullptr) Notify(Item, lnExtracted);
  return Item;
}

void TChildEnableDisableActions::Delete(int Index) {
  if (Index < 0 || Index >= Count())
    throw EListError(Format("List index out of bounds (%d)", Index));
  TCustomEnableDisableActions *item = FItems[static_cast<size_t>(Index)];
  FItems.erase(FItems.begin() + Index);
  if (item != nullptr) Notify(item, lnDeleted);
}

void TChildEnableDisableActions::Clear() {
  while (!FItems.empty()) Delete(Count() - 1);
}

void TChildEnableDisableActions::Forget(const TComponent *Item) {
  FItems.erase(std::remove_if(FItems.begin(), FItems.end(),
                              [Item](TCustomEnableDisableActions *c) { return static_cast<TComponent *>(c) == Item; }),
               FItems.end());
}

void TChildEnableDisableActions::Notify(TCustomEnableDisableActions *Item, TListNotification Action) {
  if (FOwner == nullptr || !FOwner->Disabled()) return;
  if (Action == lnAdded)
    Item->DisableActions(false);
  else
    Item->EnableActions(false);
}

// ---- TCustomEnableDisableActions ----

TCustomEnableDisableActions::TCustomEnableDisableActions(TComponent *AOwner)
    : TComponent(AOwner), FChildren(std::make_unique<TChildEnableDisableActions>(this)) {}

TCustomEnableDisableActions::~TCustomEnableDisableActions() { Detach(); }

void TCustomEnableDisableActions::BeforeDestruction() {
  Detach();
  TComponent::BeforeDestruction();
}

void TCustomEnableDisableActions::Detach() {
  if (FDestroyingSelf) return;
  FDestroyingSelf = true;
  SetParentEnableDisableActions(nullptr);
  for (int i = FChildren->Count() - 1; i >= 0; --i) {
    if (i >= FChildren->Count()) continue; // a child's handler may have removed others
    TCustomEnableDisableActions *child = FChildren->Items(i);
    if (child != nullptr && child->ParentEnableDisableActions() == this)
      child->SetParentEnableDisableActions(nullptr);
  }
  FChildren->Clear();
}

void TCustomEnableDisableActions::SetActionList(TActionList *Value) {
  if (Value == FActionList) return;
  if (FActionList != nullptr) {
    RestoreActions();
    RemoveFreeNotification(FActionList);
  }
  FActionList = Value;
  if (FActionList != nullptr) FreeNotification(FActionList);
}

void TCustomEnableDisableActions::SetParentEnableDisableActions(TCustomEnableDisableActions *Value) {
  if (Value == this)
    throw Exception(ClassName() + ".SetParentEnableDisableActions: " + Value->ClassName() + ".(" +
                    Value->Name() + ") is Self!");
  if (Value == FParentEnableDisableActions) return;
  if (FParentEnableDisableActions != nullptr) {
    TCustomEnableDisableActions *old = FParentEnableDisableActions;
    FParentEnableDisableActions = nullptr;
    RemoveFreeNotification(old);
    old->ChildRemove(this);
  }
  FParentEnableDisableActions = Value;
  if (Value != nullptr) {
    FreeNotification(Value);
    Value->ChildAdd(this);
  }
}

void TCustomEnableDisableActions::ChildAdd(TCustomEnableDisableActions *Child) {
  if (Child == nullptr) return;
  if (FChildren->IndexOf(Child) >= 0)
    throw Exception(ClassName() + ".ChildAdd: " + Child->ClassName() + ".(" + Child->Name() +
                    ") allready registered!");
  FreeNotification(Child);
  FChildren->Add(Child);
}

void TCustomEnableDisableActions::ChildRemove(TCustomEnableDisableActions *Child) {
  if (FChildren->IndexOf(Child) < 0) return;
  if (Child != FParentEnableDisableActions) RemoveFreeNotification(Child);
  FChildren->Remove(Child);
}

void TCustomEnableDisableActions::DisableActions(bool aSetHourGlass) {
  if (FActionList == nullptr) return;
  if (FDisableCount > 0) {
    ++FDisableCount;
    return;
  }
  FFocusedControl = ScreenActiveControl();
  DoBeforeDisableActions();
  FCursorChanged = aSetHourGlass;
  if (aSetHourGlass) {
    FSavedCursor = ScreenCursor();
    SetScreenCursor(crHourGlass);
  }
  FSavedStates.clear();
  FSavedStates.reserve(static_cast<size_t>(FActionList->ActionCount()));
  for (int i = 0; i < FActionList->ActionCount(); ++i) {
    TAction *action = FActionList->Actions(i);
    FSavedStates.push_back({action, action->Enabled()});
    action->SetEnabled(false);
    FreeNotification(action);
  }
  // No events are processed here: the cursor and the disabled commands show as soon as the
  // caller returns to the event loop, and input queued meanwhile must not run in the middle of
  // the caller's work (a job counted but not yet handed to a worker).
  FDisableCount = 1;
  DoAfterDisableActions();
  const auto children = FChildren->FItems;
  for (TCustomEnableDisableActions *child : children)
    if (child != nullptr && FChildren->IndexOf(child) >= 0) child->DisableActions(false);
}

void TCustomEnableDisableActions::EnableActions(bool aRestoreCursor) {
  if (FActionList == nullptr || FDisableCount < 1) return;
  if (FDisableCount == 1) DoBeforeEnableActions(); // still locked: SetActionEnabled writes saved states
  if (FDisableCount < 1) return;                  // the handler ended the lock itself
  if (--FDisableCount != 0) return;
  RestoreActions();
  if (aRestoreCursor && FCursorChanged) SetScreenCursor(FResetCursorToDefault ? crDefault : FSavedCursor);
  FCursorChanged = false;
  DoAfterEnableActions();
  const auto children = FChildren->FItems;
  for (TCustomEnableDisableActions *child : children)
    if (child != nullptr && FChildren->IndexOf(child) >= 0) child->EnableActions(false);
  if (!FDestroyingSelf) RestoreFocus(); // no event processing from inside a destructor
}

void TCustomEnableDisableActions::RestoreFocus() {
  if (!FRestoreFocusedControl || FFocusedControl.isNull()) return;
  try {
    QWidget *control = FFocusedControl.data();
    if (!CanFocus(control) || control->window() != ScreenActiveForm()) return;
    control->setFocus();
  } catch (...) {
    // Giving the focus back is a courtesy; it never turns into an error.
  }
}

void TCustomEnableDisableActions::RestoreActions() {
  if (FDestroyingSelf || Destroying()) return;
  std::vector<TSavedState> saved;
  saved.swap(FSavedStates);
  for (const TSavedState &s : saved) {
    RemoveFreeNotification(s.Action);
    s.Action->SetEnabled(s.Enabled);
  }
  FDisableCount = 0;
}

void TCustomEnableDisableActions::SetActionEnabled(TAction *aAction, bool aEnabled) {
  if (aAction == nullptr) return;
  if (Disabled()) {
    bool saved = false;
    for (TSavedState &s : FSavedStates)
      if (s.Action == aAction) {
        s.Enabled = aEnabled;
        saved = true;
      }
    if (saved) return;
  }
  aAction->SetEnabled(aEnabled);
}

void TCustomEnableDisableActions::Notification(TComponent *AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation != TOperation::opRemove || AComponent == nullptr) return;
  // AComponent is already partly destroyed: only its address is compared, nothing is called.
  FSavedStates.erase(std::remove_if(FSavedStates.begin(), FSavedStates.end(),
                                    [AComponent](const TSavedState &s) {
                                      return static_cast<TComponent *>(s.Action) == AComponent;
                                    }),
                     FSavedStates.end());
  if (static_cast<TComponent *>(FActionList) == AComponent) {
    FActionList = nullptr;
    RestoreActions(); // the actions outlive their list: give them their states back
  }
  if (static_cast<TComponent *>(FParentEnableDisableActions) == AComponent) FParentEnableDisableActions = nullptr;
  FChildren->Forget(AComponent);
}

void TCustomEnableDisableActions::DoBeforeDisableActions() {
  if (BeforeDisableActions) BeforeDisableActions(this);
}
void TCustomEnableDisableActions::DoAfterDisableActions() {
  if (AfterDisableActions) AfterDisableActions(this);
}
void TCustomEnableDisableActions::DoBeforeEnableActions() {
  if (BeforeEnableActions) BeforeEnableActions(this);
}
void TCustomEnableDisableActions::DoAfterEnableActions() {
  if (AfterEnableActions) AfterEnableActions(this);
}
