#include "ui/fraKalvRectNoises.h"

#include <QLabel>
#include <QMenu>
#include <algorithm>

#include "platform/untApplication.h"
#include "ui/untNoiseHost.h"
#include "widgets/TntExtraEdits.h"

namespace {
std::vector<TfrKalvRectNoises *> &RectNoisesListRef() {
  static std::vector<TfrKalvRectNoises *> list;
  return list;
}
} // namespace

const std::vector<TfrKalvRectNoises *> &RectNoisesList() { return RectNoisesListRef(); }

int ClampTypedPosition(TKalvPosField Field, int Value, const TRect &Bounds, int PW, int PH) {
  switch (Field) {
  case kpfLeft: return std::max(0, std::min(Value, PW - Bounds.Width()));
  case kpfTop: return std::max(0, std::min(Value, PH - Bounds.Height()));
  // The minimum side gives way to the picture's edge: a region never reaches past it.
  case kpfWidth: return std::min(PW - Bounds.Left, std::max(std::min(KalvRegionMinSide, PW), std::min(Value, PW - Bounds.Left)));
  case kpfHeight: return std::min(PH - Bounds.Top, std::max(std::min(KalvRegionMinSide, PH), std::min(Value, PH - Bounds.Top)));
  }
  return Value;
}

TfrKalvRectNoises::TfrKalvRectNoises(QWidget *Parent) : TfrKalvNoises(Parent) {
  lblName->setText(QStringLiteral("Region"));
  lblName->adjustSize();
  // Region captions take their colours when results arrive.
  for (TfrKalvCustomNoiseDraw *c : Charts()) c->ResetCaptionColor();
  const struct {
    TTntExtraLabeledEdit *Edit;
    void (TfrKalvRectNoises::*Handler)(TObject *);
  } fields[] = {{edtPosLeft, &TfrKalvRectNoises::edtPosLeftValue},
                {edtPosTop, &TfrKalvRectNoises::edtPosTopValue},
                {edtPosWidth, &TfrKalvRectNoises::edtPosWidthValue},
                {edtPosHeight, &TfrKalvRectNoises::edtPosHeightValue}};
  for (const auto &f : fields) {
    f.Edit->setReadOnly(false);
    f.Edit->OnValue = [this, h = f.Handler](TObject *Sender) { (this->*h)(Sender); };
  }
  RectNoisesListRef().push_back(this);
}

TfrKalvRectNoises::~TfrKalvRectNoises() {
  auto &l = RectNoisesListRef();
  l.erase(std::remove(l.begin(), l.end(), this), l.end());
}

void TfrKalvRectNoises::edtPosLeftValue(TObject *) { PositionTyped(kpfLeft, edtPosLeft); }
void TfrKalvRectNoises::edtPosTopValue(TObject *) { PositionTyped(kpfTop, edtPosTop); }
void TfrKalvRectNoises::edtPosWidthValue(TObject *) { PositionTyped(kpfWidth, edtPosWidth); }
void TfrKalvRectNoises::edtPosHeightValue(TObject *) { PositionTyped(kpfHeight, edtPosHeight); }

void TfrKalvRectNoises::PositionTyped(TKalvPosField Field, TTntExtraLabeledEdit *Edit) {
  if (Region == nullptr) return;
  TRect b = Region->RegionBounds();
  const int current[] = {b.Left, b.Top, b.Width(), b.Height()};
  bool ok = false;
  const int v = TTntExtraCustomEdit::TextToInteger(Edit->text(), &ok);
  if (!ok) {
    // No number (an empty field, a lone sign, too many digits): the region stays as it is.
    Edit->SetAsInteger(current[Field]);
    return;
  }
  const int n = ClampTypedPosition(Field, v, b, Region->PictureWidth(), Region->PictureHeight());
  if (n != current[Field]) {
    switch (Field) {
    case kpfLeft: b = Rect(n, b.Top, n + b.Width(), b.Bottom); break;
    case kpfTop: b = Rect(b.Left, n, b.Right, n + b.Height()); break;
    case kpfWidth: b.Right = b.Left + n; break;
    case kpfHeight: b.Bottom = b.Top + n; break;
    }
    Region->SetRegionBounds(b);
    Region->Recalculate();
  }
  if (n != v) Edit->SetAsInteger(n);
}

void TfrKalvRectNoises::FillContextMenu(QMenu *Menu) {
  TfrKalvNoises::FillContextMenu(Menu);
  TNoiseChartHost *host = NoiseChartHost();
  if (host == nullptr) return;
  Menu->addSeparator();
  if (QAction *a = host->NoiseAction(nhaClose)) Menu->addAction(a);
  if (QAction *a = host->NoiseAction(nhaCloseAll)) Menu->addAction(a);
}
