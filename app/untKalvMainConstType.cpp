#include "app/untKalvMainConstType.h"

#include "platform/untSysUtils.h"

std::string FileDialogGroupName(TFileDialogGroup Group) {
  switch (Group) {
  case fdgOpenPicture: return "fdgOpenPicture";
  case fdgSavePicture: return "fdgSavePicture";
  case fdgProject: return "fdgProject";
  }
  throw EConvertError(Format("Invalid file dialog group %d", static_cast<int>(Group)));
}
