#include "widgets/untStatusBarWideText.h"

#include <QFontMetrics>

TStatusBarWideText::TStatusBarWideText(TComponent *AOwner) : TComponent(AOwner) {}

void TStatusBarWideText::SetStatusBar(TStatusBar *Value) {
  FStatusBar = Value;
  if (!FLoading) RefreshWidths();
}

void TStatusBarWideText::Loaded() {
  FLoading = false;
  RefreshWidths();
}

QString TStatusBarWideText::CleanText(const QString &Text) {
  int first = 0, last = static_cast<int>(Text.size()) - 1;
  while (first <= last && Text[first].unicode() <= 32) ++first;
  while (last >= first && Text[last].unicode() <= 32) --last;
  QString out;
  out.reserve(last - first + 1);
  for (int i = first; i <= last; ++i) {
    QChar c = Text[i].unicode() < 32 ? QChar(' ') : Text[i];
    if (c == QChar(' ') && !out.isEmpty() && out.back() == QChar(' ')) continue;
    out.append(c);
  }
  return out;
}

void TStatusBarWideText::DoApplyFont(int Panel, QFont &Font) {
  if (OnApplyFont) OnApplyFont(this, Panel, Font);
}

int TStatusBarWideText::MeasureText(int Index, const QString &Text) {
  TStatusBar *bar = StatusBar();
  if (bar == nullptr) return -1;
  QString s = CleanText(Text);
  if (FUseTextOffset) s = QStringLiteral("  ") + s + QStringLiteral(" ");
  // A copy of the bar's font stands for the bar's own, so nothing needs restoring afterwards.
  QFont font = bar->font();
  if (Index == FHintPanel) font.setBold(true);
  DoApplyFont(Index, font);
  return QFontMetrics(font).horizontalAdvance(s) + bar->BorderWidth() + bar->PanelSpacing();
}

int TStatusBarWideText::PanelWidth(int Index, const QString &Text) {
  return CleanText(Text).isEmpty() ? 0 : MeasureText(Index, Text);
}

void TStatusBarWideText::SetPanelText(int Index, const std::string &Text) {
  TStatusBar *bar = StatusBar();
  if (bar == nullptr || Index < 0 || Index >= bar->PanelCount()) return;
  QString text = QString::fromStdString(Text);
  bar->SetPanelText(Index, text);
  bar->SetPanelWidth(Index, PanelWidth(Index, text));
}

std::string TStatusBarWideText::PanelText(int Index) const {
  TStatusBar *bar = StatusBar();
  if (bar == nullptr || Index < 0 || Index >= bar->PanelCount()) return {};
  return bar->Panel(Index).Text.toStdString();
}

void TStatusBarWideText::RefreshWidths() {
  TStatusBar *bar = StatusBar();
  if (bar == nullptr) return;
  // The last panel fills the rest of the bar and keeps its width.
  for (int i = 0; i + 1 < bar->PanelCount(); ++i) bar->SetPanelWidth(i, PanelWidth(i, bar->Panel(i).Text));
}
