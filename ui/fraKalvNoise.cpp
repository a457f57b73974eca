#include "ui/fraKalvNoise.h"

#include <QFontMetrics>
#include <QLabel>
#include <algorithm>

#include "widgets/TntExtraEdits.h"

namespace {

template <class E> E *MakeField(QWidget *Parent, const char *Name, int Left, const char *Caption) {
  auto *e = new E(Parent);
  e->setObjectName(Name);
  e->SetInputType(itFloat);
  e->SetDecimal(2);
  e->SetAlignment(taRightJustify);
  e->setReadOnly(true);
  e->setFocusPolicy(Qt::ClickFocus);
  e->SetLabelPositionCaption(lpLeft);
  e->EditLabelCaption()->SetCaption(QString::fromUtf8(Caption));
  e->SetBounds(Left, 8, 58, e->sizeHint().height());
  return e;
}

void ShowFigure(TTntExtraCustomEdit *Field, bool Available, float Value) {
  if (Available)
    Field->SetAsExtended(Value);
  else
    Field->setText(QString());
}

} // namespace

TfrKalvNoise::TfrKalvNoise(QWidget *Parent) : TfrKalvCustomNoiseDraw(Parent) {
  SetChannelCount(1);
  // Positions follow the texts' widths in the strip's font, so no label runs into its neighbour
  // whatever font the desktop uses.
  const QFontMetrics fm(pnlTop->font());
  QFont bold = pnlTop->font();
  bold.setBold(true);
  constexpr int Field = 58, Spacing = 3, Gap = 10;
  const int snr = 8 + QFontMetrics(bold).horizontalAdvance(QStringLiteral("WW")) + Gap +
                  fm.horizontalAdvance(QStringLiteral("S/N ratio")) + Spacing;
  edtSNRatio = MakeField<TTntExtraUnitLabeledEdit>(pnlTop, "edtSNRatio", snr, "S/N ratio");
  edtSNRatio->SetLabelPositionUnit(lpRight);
  edtSNRatio->EditLabelUnit()->SetCaption("dB");
  edtSNRatio->SetLabelsPosition();
  const int sMean = snr + Field + Spacing + fm.horizontalAdvance(QStringLiteral("dB")) + Gap +
                    fm.horizontalAdvance(QStringLiteral("S mean")) + Spacing;
  edtSMean = MakeField<TTntExtraLabeledEdit>(pnlTop, "edtSMean", sMean, "S mean");
  const int nMean = sMean + Field + Gap + fm.horizontalAdvance(QStringLiteral("N mean")) + Spacing;
  edtNMean = MakeField<TTntExtraLabeledEdit>(pnlTop, "edtNMean", nMean, "N mean");
  // On the chart, where its top is empty (the counts of a histogram fall off from the left), so the
  // strip of figures keeps its width.
  lblClipped = new QLabel(pnlClnt);
  lblClipped->setObjectName(QStringLiteral("lblClipped"));
  QPalette red = lblClipped->palette();
  red.setColor(QPalette::WindowText, QColor(200, 0, 0));
  red.setColor(QPalette::Window, QColor(255, 255, 255));
  lblClipped->setPalette(red);
  lblClipped->setAutoFillBackground(true);
  lblClipped->setAttribute(Qt::WA_TransparentForMouseEvents);
  lblClipped->setContentsMargins(3, 0, 3, 0);
  lblClipped->hide();
}

void TfrKalvNoise::SetData(int Index, const TChannelNoiseData *Data) {
  if (Data != nullptr) SetCaptionColor(Data->Color);
  TfrKalvCustomNoiseDraw::SetData(Index, Data);
}

void TfrKalvNoise::RedrawCharts() {
  const TChannelNoiseArray ch = Channels();
  lblClipped->hide();
  if (ch.empty() || ch[0] == nullptr) {
    edtSNRatio->setText(QString());
    edtSMean->setText(QString());
    edtNMean->setText(QString());
  } else {
    // The same mark as kalvex --measure's text output.
    if (ch[0]->SCount > 0 && ch[0]->Clipped * 100 > ch[0]->SCount) {
      lblClipped->setText(QStringLiteral("clipped %1%").arg(100.0 * static_cast<double>(ch[0]->Clipped) /
                                                                static_cast<double>(ch[0]->SCount),
                                                            0, 'f', 1));
      lblClipped->adjustSize();
      PlaceClipped();
      lblClipped->show();
    }
    float v = 0;
    bool ok = ch[0]->GetSNRatio(v);
    ShowFigure(edtSNRatio, ok, v);
    ok = ch[0]->GetSMean(v);
    ShowFigure(edtSMean, ok, v);
    ok = ch[0]->GetNMean(v);
    ShowFigure(edtNMean, ok, v);
  }
  StartDraw();
}

void TfrKalvNoise::PlaceClipped() {
  // The chart spans the frame's width.
  lblClipped->move(std::max(0, (width() - lblClipped->width()) / 2), 2);
}

void TfrKalvNoise::resizeEvent(QResizeEvent *Event) {
  TfrKalvCustomNoiseDraw::resizeEvent(Event);
  PlaceClipped();
}
