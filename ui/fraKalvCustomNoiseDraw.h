// A noise chart frame: a caption strip, the chart picture and the height drag bar, and the job
// that draws the picture on a thread-manager worker.
//
// Threads: the frame lives on the main thread. Its draw job copies everything it needs when it is
// made (size, scale, channels) and on the worker touches only its own bitmap and copies; it
// reaches the frame again only in its done step on the main thread.
//
// Frame and job know each other while a drawing is under way. A frame destroyed while its job is
// queued or running detaches the job (the job's Frame becomes nullptr); the job then still draws
// and is freed as usual, and its picture is dropped. A job destroyed first (a thread manager
// giving up its waiting jobs) tells the frame, which then starts again on its next request.
#pragma once

#include <QPointer>
#include <QSize>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/untGraphics.h"
#include "engine/untKalvPicJobData.h"
#include "threading/untThreadMan.h"
#include "ui/fraKalvCustomNoise.h"

class QLabel;
class QContextMenuEvent;
class TfrKalvCustomNoiseDraw;

// The default chart height (double click on the drag bar, "&set chart to default height").
constexpr int KalvChartDefaultHeight = 250;
// The smallest height the drag bar leaves a chart.
constexpr int KalvChartMinHeight = 50;

// The scale figures of a chart's channels (a nullptr channel counts as an empty one): the highest
// count of any level, the sum of all counts, and the highest level with a count (with Fitted the
// level below which 99.9% of the counts lie); 255 when no level has a count.
std::int64_t ChannelsMaxCount(const TChannelNoiseArray &Channels);
std::int64_t ChannelsTotalCount(const TChannelNoiseArray &Channels);
std::uint8_t ChannelsMaxLevel(const TChannelNoiseArray &Channels, bool Fitted);

class TDrawThreadManJob : public TThreadManJob {
public:
  TDrawThreadManJob();
  ~TDrawThreadManJob() override;

  TfrKalvCustomNoiseDraw *Frame = nullptr; // not owned; nullptr once the frame is gone
  std::unique_ptr<TBitmap24> Bitmap;       // the drawn picture, handed to the frame at the end
  int Width = 0, Height = 0; // in the frame's (device-independent) pixels
  double Scale = 1;           // device pixels per frame pixel; the bitmap is Scale times larger
  std::int64_t MaxCount = 0;
  std::int64_t TotalCount = 0;
  std::uint8_t MaxLevel = 255;
  bool Fitted = false; // MaxLevel is a fitted level ("fit to 99.9% of counts")

  // Frees the copies held, then copies every element (nullptr elements become empty channels).
  void SetChannels(const TChannelNoiseArray &Value);
  TChannelNoiseArray Channels() const;

  void DoInternExecute(TThreadManThread *aThread) override;
  void DoDone(TThreadManThread *aThread) override;

private:
  std::vector<std::unique_ptr<TChannelNoiseData>> FChannels; // owned copies
};

class TfrKalvCustomNoiseDraw : public TfrKalvCustomNoise {
  Q_OBJECT
public:
  explicit TfrKalvCustomNoiseDraw(QWidget *Parent = nullptr);
  ~TfrKalvCustomNoiseDraw() override;

  QWidget *pnlTop = nullptr;
  QLabel *lblCh = nullptr;
  TKalvEventPanel *pnlClnt = nullptr;
  TKalvEventPanel *pnlBtm = nullptr;

  // The noise panel holding the chart (not owned); its scale and redraw are used when set.
  QPointer<TfrKalvCustomNoise> OwnerPanel;

  int ChartGroup() const { return static_cast<int>(Tag()); }
  void SetChartGroup(int Value) { SetTag(Value); }
  QString Caption() const;
  void SetCaption(const QString &Value);
  void SetCaptionColor(TColor Color);
  void ResetCaptionColor(); // back to the default text colour

  // The frame's height; a change fires OnResize (the panel's ChartResized).
  int FrameHeight() const { return FHeight; }
  void SetFrameHeight(int Value);
  TNotifyEvent OnResize;

  TChannelNoiseArray Channels() const;
  int ChannelCount() const { return static_cast<int>(FChannels.size()); }
  void SetChannelCount(int N);
  void ClearData();
  // Channels[Index] takes a copy of Data (nullptr: the channel is emptied), then the panel (or,
  // in same-scale mode, every panel) redraws.
  virtual void SetData(int Index, const TChannelNoiseData *Data);
  // SetData without the redraw (the caller redraws once after several).
  void AssignData(int Index, const TChannelNoiseData *Data);
  // The redraw SetData ends with: every panel in same-scale mode, else the owner panel's charts.
  void RedrawAfterData();

  std::int64_t GetMaxCount(int Group) override;
  std::int64_t GetTotalCount(int Group) override;
  std::uint8_t GetMaxLevel(int Group) override;
  void RedrawCharts() override;

  void StartDraw();
  // The default-height operation (also the drag bar's double click).
  void pnlBtmDblClick();

  TBitmap24 *Picture() const { return FPicture.get(); }
  // The size, in the frame's own pixels, that Picture was drawn for (it holds that size times
  // the screen's device-pixel ratio).
  QSize PictureSize() const { return FPictureSize; }
  bool Drawing() const { return FDrawing; }
  bool RedrawPending() const { return FRedrawPending; }
  // Draw jobs this frame has queued so far.
  int DrawCount() const { return FDrawCount; }
  bool Dragging() const { return FDragging; }

protected:
  void contextMenuEvent(QContextMenuEvent *Event) override;
  virtual void DoResize();

private:
  friend class TDrawThreadManJob;
  void pnlClntPaint(QPaintEvent *Event);
  void pnlClntResize();
  void pnlBtmMouseDown(QMouseEvent *Event);
  void pnlBtmMouseMove(QMouseEvent *Event);
  void pnlBtmMouseUp(QMouseEvent *Event);
  // The job's done step.
  void DrawDone(TDrawThreadManJob *Job);

  bool FDragging = false;
  int FDragStartY = 0;
  int FDragStartHeight = 0;
  std::unique_ptr<TBitmap24> FPicture;
  QSize FPictureSize;
  bool FFittingShown = false; // a picture of the panel's own size has been painted
  std::vector<std::unique_ptr<TChannelNoiseData>> FChannels;
  bool FDrawing = false;
  bool FRedrawPending = false;
  TDrawThreadManJob *FJob = nullptr; // the queued or running job, not owned
  int FHeight = 0;
  int FDrawCount = 0;
};
