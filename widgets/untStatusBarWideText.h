// TStatusBarWideText: sets the texts of a status bar's panels and sizes every panel to its text
// (width 0 while the text is empty). The hint panel is measured in bold, because its owner draws
// it bold.
//
// Measuring: leading and trailing characters up to code 32 are removed, other control characters
// become blanks and runs of blanks shrink to one; with UseTextOffset the text measured is two
// blanks, the text and one blank. The bar's border and the spacing between panels are added.
//
// Only the main thread uses it.
#pragma once

#include <QFont>
#include <QPointer>
#include <QString>
#include <functional>

#include "platform/untObjects.h"
#include "widgets/untStatusBar.h"

class TStatusBarWideText : public TComponent {
public:
  explicit TStatusBarWideText(TComponent *AOwner = nullptr);

  TStatusBar *StatusBar() const { return FStatusBar.data(); }
  // Refreshes every panel's width (not while the component is being loaded).
  void SetStatusBar(TStatusBar *Value);
  int HintPanel() const { return FHintPanel; }
  void SetHintPanel(int Value) { FHintPanel = Value; }
  bool UseTextOffset() const { return FUseTextOffset; }
  void SetUseTextOffset(bool Value) { FUseTextOffset = Value; }

  // Fired before a panel's text is measured, so that the owner can adjust the font.
  std::function<void(TObject *Sender, int Panel, QFont &Font)> OnApplyFont;

  // Sets the panel's text (as given; it is drawn cleaned) and its width. Nothing happens
  // without a status bar or for an index outside the panels.
  void SetPanelText(int Index, const std::string &Text);
  std::string PanelText(int Index) const;
  // Recomputes every panel's width from its current text.
  void RefreshWidths();
  // The width a panel needs for Text; -1 without a status bar.
  int MeasureText(int Index, const QString &Text);

  // The cleaned one-line form of a status text.
  static QString CleanText(const QString &Text);

  void BeginLoad() { FLoading = true; }
  void Loaded();

protected:
  virtual void DoApplyFont(int Panel, QFont &Font);

private:
  int PanelWidth(int Index, const QString &Text);

  QPointer<TStatusBar> FStatusBar;
  int FHintPanel = -1;
  bool FUseTextOffset = true;
  bool FLoading = false;
};
