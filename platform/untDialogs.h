// File dialog components: TOpenDialog and TSaveDialog, built on QFileDialog.
//
// The filter is given in the "description|pattern|description|pattern" form, patterns within one
// entry separated by ';' ("JPEG pictures|*.jpg;*.jpeg|All files|*.*"); FilterIndex counts the
// entries from 1. DefaultExt is an extension without the dot, added to a typed name without one.
//
// Execute goes through a replaceable function, so tests set the user's answer and never block
// on a dialog. Main thread only.
#pragma once

#include <QStringList>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/untObjects.h"

class QFileDialog;

enum TOpenOption {
  ofReadOnly,
  ofOverwritePrompt,
  ofHideReadOnly,
  ofNoChangeDir,
  ofShowHelp,
  ofNoValidate,
  ofAllowMultiSelect,
  ofExtensionDifferent,
  ofPathMustExist,
  ofFileMustExist,
  ofCreatePrompt,
  ofShareAware,
  ofNoReadOnlyReturn,
  ofNoTestFileCreate,
  ofNoNetworkButton,
  ofNoLongNames,
  ofOldStyleDialog,
  ofNoDereferenceLinks,
  ofEnableIncludeNotify,
  ofEnableSizing,
  ofDontAddToRecent,
  ofForceShowHidden
};
using TOpenOptions = std::set<TOpenOption>;

class TOpenDialog : public TComponent {
public:
  explicit TOpenDialog(TComponent *AOwner = nullptr);

  std::string Title;           // UTF-8; empty: the platform's own title
  std::string Filter;          // "desc|pattern|..." form
  int FilterIndex = 1;         // 1-based; updated to the filter the user chose
  std::string DefaultExt;      // without the dot
  TOpenOptions Options = {ofHideReadOnly, ofEnableSizing};
  std::string InitialDir;      // UTF-8 folder the dialog starts in
  std::string FileName;        // the chosen file (the first one with ofAllowMultiSelect)
  std::vector<std::string> Files; // all chosen files

  // Shows the dialog; true when the user confirmed it (FileName, Files and FilterIndex are then
  // set), false when cancelled.
  virtual bool Execute();
  bool IsSaveDialog() const { return FSave; }

  // Qt's name filters for Filter: "desc (pattern pattern)"; "*.*" becomes "*" (every file).
  static QStringList QtNameFilters(const std::string &Filter);

protected:
  bool FSave = false;
};

class TSaveDialog : public TOpenDialog {
public:
  explicit TSaveDialog(TComponent *AOwner = nullptr);
};

// Runs the dialog and returns whether the user confirmed it; on confirmation the function sets
// the dialog's FileName, Files and FilterIndex. The default builds a QFileDialog (shown through
// ShowModalDialog of platform/untApplication.h).
using TFileDialogExecuteFunction = std::function<bool(TOpenDialog &Dialog)>;
// Replaces the function; returns the previous one. An empty function restores the default.
TFileDialogExecuteFunction SetFileDialogExecuteFunction(TFileDialogExecuteFunction Function);

// Sets up a QFileDialog as the component describes it (used by the default execute function;
// exposed so that the set-up can be checked).
void PrepareQtFileDialog(const TOpenDialog &Dialog, QFileDialog &Qt);
