// Types shared by the main module and the units around it.
#pragma once

#include <string>

// Groups of file dialogs that share one remembered folder; the names are the keys in the
// configuration's section "File".
enum TFileDialogGroup {
  fdgOpenPicture = 0, // dlgPicOpn
  fdgSavePicture = 1, // dlgPicSve
  fdgProject = 2      // dlgPrjImp, dlgPrjExp, dlgRgnImp, dlgRgnExp
};

// "fdgOpenPicture", "fdgSavePicture", "fdgProject"; raises EConvertError for another value.
std::string FileDialogGroupName(TFileDialogGroup Group);
