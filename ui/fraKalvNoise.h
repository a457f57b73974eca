// The single-channel chart: the chart frame with the channel's S/N ratio, S mean and N mean.
//
// Main thread only.
#pragma once

#include "ui/fraKalvCustomNoiseDraw.h"

class QLabel;
class TTntExtraUnitLabeledEdit;
class TTntExtraLabeledEdit;

class TfrKalvNoise : public TfrKalvCustomNoiseDraw {
  Q_OBJECT
public:
  explicit TfrKalvNoise(QWidget *Parent = nullptr);

  TTntExtraUnitLabeledEdit *edtSNRatio = nullptr;
  TTntExtraLabeledEdit *edtSMean = nullptr;
  TTntExtraLabeledEdit *edtNMean = nullptr;
  // Over the top of the chart, right under the figures, only when more than 1% of the area's
  // pixels are clipped in the channel (its S/N ratio then means little): "clipped 3.2%".
  QLabel *lblClipped = nullptr;

  // The caption takes Data's colour, then as for every chart.
  void SetData(int Index, const TChannelNoiseData *Data) override;
  // Fills the three fields from channel 0 (empty where a figure is unavailable) and the clipped
  // mark, then draws.
  void RedrawCharts() override;

protected:
  void resizeEvent(QResizeEvent *Event) override;

private:
  void PlaceClipped();
};
