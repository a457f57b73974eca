// The remembered folder of each group of file dialogs, kept in the user configuration (section
// "File", one key per TFileDialogGroup). Called around every file dialog of the main module.
// Main thread only.
#pragma once

#include "app/CnfCtrl.h"
#include "app/untKalvMainConstType.h"
#include "platform/untDialogs.h"

// Before a dialog is shown: starts it in the group's remembered folder if that still exists,
// otherwise in the folder of the dialog's previous file; then empties the file name. The
// configuration is activated and deactivated around the read (so, with AutoUpdateFile, the file
// is written); an error in either passes on and the dialog should not be shown.
void PrepareFileDialog(TConfControl &Cnf, TOpenDialog &Dialog, TFileDialogGroup Group);

// After the user confirmed a dialog: stores the folder of the chosen file for the group. An error
// writing the configuration passes on. A folder whose name holds a line break cannot be stored in
// the file and is not remembered.
void RememberFileDialogFolder(TConfControl &Cnf, const TOpenDialog &Dialog, TFileDialogGroup Group);

// The folder part of a file name, without trailing separator ("/" stays for the root).
std::string ExtractFileDir(const std::string &FileName);
