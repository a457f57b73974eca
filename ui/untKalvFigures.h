// The figures of the noise panels out of the window: as tab-separated text for the clipboard and
// as the CSV of kalvex --measure --format csv (same columns, same numbers), so figures copied or
// exported from the window and measured on the command line can be put side by side.
//
// Main thread only (the panels are read as they show).
#pragma once

#include <QString>
#include <string>
#include <vector>

#include "cli/untMeasure.h"

class TfrKalvNoises;
class TKalvRegionFigures;
struct TRect;

// What the figures belong to, so that several pastes can be told apart: the picture's name (when
// FileName is given; its name without the folder, escaped as on the command line) and the area in
// the command line's words ("picture 0,0 2000 x 1300", "region 150,150 500 x 450"), a line each.
// Then a header line "channel, S/N ratio dB, S mean, N mean" and one line per channel (R, G, B,
// L*, RG, GB, BR), tab-separated, with the panel's figures at two decimals; a figure the panel
// does not have is empty. Lines end in "\n".
QString NoisePanelFiguresText(const TfrKalvNoises &Panel, const std::string &FileName = {});

// The panel's area (a region panel: its region's bounds; the picture panel: its fields) and the
// sums of its seven channels.
TAreaResult NoisePanelArea(const TfrKalvNoises &Panel);

// A region's area (Bounds) and the sums of its seven channels from the figures it keeps, which are
// there whether or not its panel has been made; the same as NoisePanelArea of its panel.
TAreaResult RegionFiguresArea(const TKalvRegionFigures &Figures, const TRect &Bounds);

// The CSV of the picture file FileName (PW x PH pixels) with one area per panel, in order.
std::string NoisePanelsCsv(const std::string &FileName, int PW, int PH,
                           const std::vector<TfrKalvNoises *> &Panels);
std::string AreasCsv(const std::string &FileName, int PW, int PH, std::vector<TAreaResult> Areas);
