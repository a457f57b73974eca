// What the main module needs of the main window. The window (ui/frmKalvMain) implements it; the
// module reaches the window only through it, so app never depends on ui.
//
// Main thread only.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/untBitmaps.h"
#include "platform/untSysUtils.h"

// The most regions the window holds: each takes a page with its noise panel (about 110 widgets)
// and nine chart pictures. Files with more are refused before anything is made (CheckRegionCount).
constexpr int KalvMaxWindowRegions = 1000;

// Raises EReadError when the regions of FileName (Count of them), with the Present ones kept,
// are more than the window holds.
void CheckRegionCount(const std::string &FileName, std::size_t Count, std::size_t Present = 0);

class TBitmap;
class TWideFileMemIniFile;
class TKalvNoiseTarget;
class TfrKalvCustomNoiseDraw;
class QWidget;

class TKalvMainIntf {
public:
  virtual ~TKalvMainIntf() = default;

  // The window that receives the progress messages of the picture jobs (WM_APP + 1 / + 2).
  virtual HWND ProgressWnd() = 0;
  // The picture of page 1..7 (TPicKind), nullptr for any other page or while there is none.
  virtual TBitmap *GetPageBitmap(int Page) = 0;
  // Hands a picture to the view of page 1..7, which owns it from now on (a picture for any other
  // page is freed); nullptr clears the view.
  virtual void SetPageBitmap(int Page, std::unique_ptr<TBitmap> Bitmap) = 0;
  // The whole-picture noise panel (frNs).
  virtual TKalvNoiseTarget *PictureNoisePanel() = 0;
  // The caption of the RGB picture page (tbsRGB).
  virtual void SetPictureCaption(const std::string &Caption) = 0;

  // A new region between two corners, fitted into the picture (degenerate corners make none).
  virtual void AddRegion(int X1, int Y1, int X2, int Y2) = 0;
  // AddRegion for each corner pair in order; many of them are added in steps from the event loop
  // (the module counts the adding as work until the last one is in).
  virtual void AddRegions(std::vector<std::array<int, 4>> Corners) = 0;
  // The bounds of every region in the order they were made (Right and Bottom excluded).
  virtual std::vector<TRect> RegionRects() = 0;
  virtual void ClearRegions() = 0;
  // The regions block (section format Format, "Region.%.8x") of the region list, in list order.
  virtual void SaveRegions(TWideFileMemIniFile &Ini, const std::string &Format) = 0;
  // Adds the regions of Ini's regions block, fitted into the picture. With regions present the
  // user is asked first: Yes replaces them, No keeps them (the new ones follow), Cancel (or
  // closing the question) changes nothing.
  virtual void LoadRegions(const TWideFileMemIniFile &Ini, const std::string &Format) = 0;
  virtual void RemoveCurrentRegion() = 0;
  virtual void RedrawAllCharts() = 0;
  // The default height for one chart (its pnlBtmDblClick).
  virtual void SetChartDefaultHeight(TfrKalvCustomNoiseDraw *Chart) = 0;

  // Status panel texts (stxMain) and a repaint of the status bar (stbMain).
  virtual void SetStatusText(int Panel, const std::string &Text) = 0;
  virtual void InvalidateStatusBar() = 0;

  // The window as parent of dialogs, and closing it.
  virtual QWidget *MainWidget() = 0;
  virtual void CloseMainWindow() = 0;
};
