// Commands: TAction (a named component around a QAction) and TActionList (a module's actions in
// their order), plus the screen-wide cursor and focus that the command enabler saves and restores.
//
// Why a component around QAction: the module owns its commands as components, and holders of
// commands (action lists, the command enabler) forget a destroyed one through the removal
// notification of TComponent (FreeNotification / Notification with opRemove) rather than through
// Qt signals. The QAction itself is owned by its TAction; menus and tool bars only show it.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/untObjects.h"

class QAction;
class QWidget;

class TAction : public TComponent {
public:
  explicit TAction(TComponent *AOwner = nullptr);
  ~TAction() override;

  // The Qt action shown in menus and tool bars; its triggered signal runs Execute.
  QAction *Action() const { return FAction.get(); }

  // The caption with '&' before the mnemonic letter (UTF-8), the hint shown in the status bar.
  std::string Caption() const;
  void SetCaption(const std::string &Value);
  std::string Hint() const;
  void SetHint(const std::string &Value);
  // A key sequence in Qt's portable text form ("Ctrl+O"); empty for none.
  std::string ShortCut() const;
  void SetShortCut(const std::string &Value);

  bool Enabled() const;
  void SetEnabled(bool Value);
  bool Visible() const;
  void SetVisible(bool Value);
  bool Checked() const;
  void SetChecked(bool Value);

  int ImageIndex() const { return FImageIndex; }
  void SetImageIndex(int Value) { FImageIndex = Value; }
  std::intptr_t Tag() const { return FTag; }
  void SetTag(std::intptr_t Value) { FTag = Value; }

  // Runs OnExecute if the action is enabled; returns whether a handler ran.
  virtual bool Execute();
  std::function<void(TObject *Sender)> OnExecute;

protected:
  virtual void DoExecute();

private:
  std::unique_ptr<QAction> FAction;
  int FImageIndex = -1;
  std::intptr_t FTag = 0;
};

// The actions of a module in their order. Not owning: the actions belong to their owner (usually
// the same module); a destroyed action leaves the list by itself.
class TActionList : public TComponent {
public:
  explicit TActionList(TComponent *AOwner = nullptr);
  ~TActionList() override;

  int ActionCount() const { return static_cast<int>(FActions.size()); }
  TAction *Actions(int Index) const { return FActions.at(static_cast<size_t>(Index)); }
  int IndexOf(const TAction *Action) const;

  // Adds the action at the end (nothing if it is already in the list).
  void Add(TAction *Action);
  void Remove(TAction *Action);

protected:
  void Notification(TComponent *AComponent, TOperation Operation) override;

private:
  std::vector<TAction *> FActions; // not owned
};

// Cursor values as the platform numbers them.
using TCursor = std::int16_t;
constexpr TCursor crDefault = 0;
constexpr TCursor crArrow = -2;
constexpr TCursor crCross = -3;
constexpr TCursor crIBeam = -4;
constexpr TCursor crSizeNESW = -6;
constexpr TCursor crSizeNS = -7;
constexpr TCursor crSizeNWSE = -8;
constexpr TCursor crSizeWE = -9;
constexpr TCursor crHourGlass = -11;
constexpr TCursor crNo = -18;
constexpr TCursor crAppStart = -19;
constexpr TCursor crHandPoint = -21;
constexpr TCursor crSizeAll = -22;

// The screen cursor is one entry on Qt's override-cursor stack: crDefault means this unit has
// none installed (widgets show their own cursors); any other value shows that cursor over every
// window. Setting another value changes the entry, crDefault removes it.
TCursor ScreenCursor();
void SetScreenCursor(TCursor Value);

// The widget that has the keyboard focus (nullptr when none), and the active top-level window.
QWidget *ScreenActiveControl();
QWidget *ScreenActiveForm();
// Whether the widget can take the focus now: visible, enabled (with its parents) and accepting
// focus.
bool CanFocus(const QWidget *Control);
