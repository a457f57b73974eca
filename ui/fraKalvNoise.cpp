#include "ui/fraKalvNoise.h"

#include <QFontMetrics>
#include <QLabel>

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
}

void TfrKalvNoise::SetData(int Index, const TChannelNoiseData *Data) {
  if (Data != nullptr) SetCaptionColor(Data->Color);
  TfrKalvCustomNoiseDraw::SetData(Index, Data);
}

void TfrKalvNoise::RedrawCharts() {
  const TChannelNoiseArray ch = Channels();
  if (ch.empty() || ch[0] == nullptr) {
    edtSNRatio->setText(QString());
    edtSMean->setText(QString());
    edtNMean->setText(QString());
  } else {
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
