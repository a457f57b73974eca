// The configuration component of the program: a TConfControl whose store is a TProgMemIniFile on
// the file ConfDestination, plus the lookup of the per-user folders it lives in.
//
// Every activation loads the file; with AutoUpdateFile every last deactivation writes it back
// (atomically, see WideIniFile.h), also after pure reads. Main thread only.
#pragma once

#include <string>

#include "app/CnfCtrl.h"

class TWideMemIniConfControl : public TConfControl {
public:
  explicit TWideMemIniConfControl(TComponent *AOwner = nullptr);

  // The store's file (UTF-8). Kept in the 8-bit destination as EF BB BF and the UTF-8 bytes; a
  // destination without that mark is read as Windows-1252. A change takes effect at the next
  // opening of the store.
  std::string ConfDestination() const;
  void SetConfDestination(const std::string &Value);

  bool AutoUpdateFile() const { return FAutoUpdateFile; }
  void SetAutoUpdateFile(bool Value) { FAutoUpdateFile = Value; }

protected:
  // Open: creates the store on ConfDestination (loading the file if it exists). Close: writes it
  // back if AutoUpdateFile, then frees it (also when writing fails).
  void OpenClose(bool aOpen) override;
};

// Folder kinds of the platform's folder lookup.
constexpr int CSIDL_PERSONAL = 0x0005;
constexpr int CSIDL_APPDATA = 0x001A;      // the user's (roaming) application data
constexpr int CSIDL_LOCAL_APPDATA = 0x001C;

// The path of a well-known per-user folder (UTF-8, without trailing separator), created when
// Create is set and it is missing; empty when the kind is unknown or the folder cannot be had.
// The application-data folder is Qt's generic configuration folder (usually ~/.config).
std::string GetShellFolderPath(int FolderKind, bool Create);

// The program file's name without folder and extension; "Kalvex" when it cannot be told.
std::string ProgramFileName();

// Points the component at <folder of FolderKind>/Orvane/<program file name>/<FileName> and makes
// the folders. When the lookup fails the folder below the user's home is used instead:
// ~/Orvane/<program file name>/. A folder that cannot be made is left to the first write to
// report. Nothing without a component.
void SetupConfigPath(TWideMemIniConfControl *Cnf, int FolderKind, const std::string &FileName);
