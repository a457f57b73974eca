// The info window: the program's icon, version, author and links to its home and download pages.
// It serves as the start-up splash (shown for at least 3 seconds, not closable by the user, kept
// above all other windows) and as the modal dialog of the info command.
//
// Only the main thread uses it.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/untObjects.h"
#include "platform/untSysUtils.h"

class QFrame;
class QLabel;
class QPushButton;
class QWidget;
class TVersionsInfo;

// The program's icon (from the compiled-in SVG), at the usual sizes.
QIcon ProgramIcon();

// Where the splash takes its time from; the platform's high-resolution counter unless a test puts
// in a clock of its own. Empty members keep the platform's function.
struct TInfoTimeSource {
  std::function<BOOL(std::int64_t *Count)> Counter;
  std::function<BOOL(std::int64_t *Frequency)> Frequency;
};

class QTimer;

class TfmKalvInfo : public QDialog, public TObject {
  Q_OBJECT
public:
  // ASplash: the splash look (not closable, no OK button, above all windows, no border icons).
  explicit TfmKalvInfo(QWidget *Parent = nullptr, bool ASplash = false);
  ~TfmKalvInfo() override;

  // Creates and shows the splash at once (nothing if one exists).
  static void ShowSplash();
  // Closes and frees the splash once it has been shown for more than 3.0 seconds: at once when it
  // has, else from a timer when the time is up (the caller never waits). Now closes it at once
  // whatever its time (the main window has gone).
  static void CloseSplash(bool Now = false);
  static TfmKalvInfo *Splash();
  // The info command: creates the window, shows it modally (through the platform's modal seam)
  // and frees it. Returns the dialog's result.
  static int ShowInfo(QWidget *Parent = nullptr);

  static TInfoTimeSource SetTimeSource(TInfoTimeSource Source);

  bool Closable() const { return FClosable; }
  void SetClosable(bool Value) { FClosable = Value; }
  // Seconds since the window was shown.
  double SecondsShown() const;

  // The home and download page addresses.
  static QString HomePageAddress();
  static QString DownloadAddress();

  QFrame *pnlClnt = nullptr;
  QLabel *imgLogo = nullptr;
  QLabel *lblVerCap = nullptr;
  QLabel *lblVer = nullptr;
  QLabel *lblAuthorCap = nullptr;
  QLabel *lblAuthor = nullptr;
  QLabel *lblHomePageCap = nullptr;
  QWidget *pnlHomepage = nullptr;
  QLabel *lblHomePage = nullptr;
  QLabel *lblSep = nullptr;
  QLabel *lblDownload = nullptr;
  QFrame *bvl1 = nullptr;
  QLabel *lblDescription = nullptr;
  QWidget *pnlBtn = nullptr;
  QPushButton *btnOK = nullptr;
  TVersionsInfo *verInfo = nullptr; // owned

  // Opens the link's target (the trimmed tooltip); raises EOSError when that fails.
  void lblLinkClick(QLabel *Sender);

  void done(int Result) override;

protected:
  void showEvent(QShowEvent *Event) override;
  void closeEvent(QCloseEvent *Event) override;
  void keyPressEvent(QKeyEvent *Event) override;

private:
  void CreateComponents(bool ASplash);
  void LayoutComponents();
  QLabel *MakeLink(const QString &Caption, const QString &Address);

  std::unique_ptr<TVersionsInfo> FVerInfo;
  bool FClosable = true;
  std::int64_t FShowTime = 0;
  bool FSplash = false;
  QTimer *tmrClose = nullptr; // the splash's own close timer
};
