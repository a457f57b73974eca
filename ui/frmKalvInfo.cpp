#include "ui/frmKalvInfo.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSvgRenderer>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <limits>

#include "KalvexVersion.h"
#include "platform/untApplication.h"
#include "platform/untDesktop.h"
#include "platform/untSystem.h"
#include "widgets/untVersionsInfo.h"

// Resources of a static library have to be registered by name, outside any namespace.
static void InitProgramIconResource() { Q_INIT_RESOURCE(kalvexicon); }

QIcon ProgramIcon() {
  static bool registered = false;
  if (!registered) {
    InitProgramIconResource();
    registered = true;
  }
  QIcon icon;
  // Drawn here from the SVG so that no icon-engine plug-in is needed.
  QSvgRenderer renderer(QStringLiteral(":/icons/kalvex.svg"));
  if (!renderer.isValid()) return icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    renderer.render(&p);
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

namespace {
TInfoTimeSource gTime;
QPointer<TfmKalvInfo> gSplash;

BOOL ReadCounter(std::int64_t *Count) {
  return gTime.Counter ? gTime.Counter(Count) : QueryPerformanceCounter(Count);
}

BOOL ReadFrequency(std::int64_t *Frequency) {
  return gTime.Frequency ? gTime.Frequency(Frequency) : QueryPerformanceFrequency(Frequency);
}

// The splash stays at least this long.
constexpr double SplashSeconds = 3.0;
// The layout's pixel values are those of an 8-point interface font 13 pixels high; larger fonts
// scale the whole window.
constexpr double DesignFontHeight = 13.0;

class TLinkLabel : public QLabel {
public:
  using QLabel::QLabel;
  std::function<void(QLabel *Sender)> OnClick;

protected:
  void mouseReleaseEvent(QMouseEvent *Event) override {
    QLabel::mouseReleaseEvent(Event);
    if (Event->button() == Qt::LeftButton && rect().contains(Event->position().toPoint()) && OnClick)
      CallGuarded([this] { OnClick(this); });
  }
};
} // namespace

TfmKalvInfo::TfmKalvInfo(QWidget *Parent, bool ASplash) : QDialog(Parent), FSplash(ASplash) {
  setObjectName(QStringLiteral("fmKalvInfo"));
  FVerInfo = std::make_unique<TVersionsInfo>();
  FVerInfo->SetName("verInfo");
  verInfo = FVerInfo.get();
  CreateComponents(ASplash);
  LayoutComponents();

  setWindowTitle(QStringLiteral("Info ") + QString::fromStdString(Application()->Title()));
  QIcon icon = QApplication::windowIcon();
  if (icon.isNull()) icon = ProgramIcon();
  setWindowIcon(icon);
  imgLogo->setPixmap(icon.pixmap(QSize(32, 32), devicePixelRatio()));
  lblVer->setText(QString::fromStdString(verInfo->FileVersion()));
  lblAuthor->setText(QString::fromStdString(verInfo->Value("Author")));
  lblDescription->setText(QString::fromStdString(verInfo->Value("FileDescription")));

  if (ASplash) {
    FClosable = false;
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowStaysOnTopHint);
  } else {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  }
  // Centred on the screen, whoever the parent is.
  if (QScreen *scr = Parent != nullptr ? Parent->screen() : QGuiApplication::primaryScreen()) {
    const QRect area = scr->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
}

TfmKalvInfo::~TfmKalvInfo() = default;

QString TfmKalvInfo::HomePageAddress() { return QStringLiteral(KALVEX_HOMEPAGE); }

QString TfmKalvInfo::DownloadAddress() {
  QString a = HomePageAddress();
  if (!a.endsWith('/')) a += '/';
  return a + QStringLiteral("download/");
}

QLabel *TfmKalvInfo::MakeLink(const QString &Caption, const QString &Address) {
  auto *l = new TLinkLabel(Caption, pnlHomepage);
  QFont f = l->font();
  f.setBold(true);
  l->setFont(f);
  QPalette pal = l->palette();
  pal.setColor(QPalette::WindowText, QColor(0, 0, 255));
  l->setPalette(pal);
  l->setCursor(Qt::PointingHandCursor);
  l->setToolTip(Address);
  l->OnClick = [this](QLabel *Sender) { lblLinkClick(Sender); };
  return l;
}

void TfmKalvInfo::CreateComponents(bool ASplash) {
  QFont bold = font();
  bold.setBold(true);

  pnlClnt = new QFrame(this);
  pnlClnt->setObjectName(QStringLiteral("pnlClnt"));
  pnlClnt->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  pnlClnt->setLineWidth(1);

  imgLogo = new QLabel(pnlClnt);
  imgLogo->setObjectName(QStringLiteral("imgLogo"));
  imgLogo->setAlignment(Qt::AlignCenter);

  auto caption = [&](const QString &Text, const char *Name) {
    auto *l = new QLabel(Text, pnlClnt);
    l->setObjectName(QString::fromLatin1(Name));
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return l;
  };
  lblVerCap = caption(QStringLiteral("Version:"), "lblVerCap");
  lblVerCap->setFont(bold);
  lblVer = new QLabel(pnlClnt);
  lblVer->setObjectName(QStringLiteral("lblVer"));
  lblVer->setFont(bold);
  lblAuthorCap = caption(QStringLiteral("Author:"), "lblAuthorCap");
  lblAuthor = new QLabel(pnlClnt);
  lblAuthor->setObjectName(QStringLiteral("lblAuthor"));
  lblHomePageCap = caption(QStringLiteral("Homepage:"), "lblHomePageCap");

  pnlHomepage = new QWidget(pnlClnt);
  pnlHomepage->setObjectName(QStringLiteral("pnlHomepage"));
  auto *row = new QHBoxLayout(pnlHomepage);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);
  // The link shows the address without its scheme and closing slash.
  QString shown = HomePageAddress();
  shown.remove(QStringLiteral("https://")).remove(QStringLiteral("http://"));
  while (shown.endsWith('/')) shown.chop(1);
  lblHomePage = MakeLink(shown, HomePageAddress());
  lblHomePage->setObjectName(QStringLiteral("lblHomePage"));
  lblSep = new QLabel(QStringLiteral("   "), pnlHomepage);
  lblSep->setObjectName(QStringLiteral("lblSep"));
  lblDownload = MakeLink(QStringLiteral("Download"), DownloadAddress());
  lblDownload->setObjectName(QStringLiteral("lblDownload"));
  row->addWidget(lblHomePage);
  row->addWidget(lblSep);
  row->addWidget(lblDownload);
  row->addStretch(1);

  bvl1 = new QFrame(pnlClnt);
  bvl1->setObjectName(QStringLiteral("bvl1"));
  bvl1->setFrameStyle(QFrame::HLine | QFrame::Sunken);

  // What the program is for, below the separator.
  lblDescription = new QLabel(pnlClnt);
  lblDescription->setObjectName(QStringLiteral("lblDescription"));
  lblDescription->setWordWrap(true);
  lblDescription->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  pnlBtn = new QWidget(this);
  pnlBtn->setObjectName(QStringLiteral("pnlBtn"));
  if (ASplash) {
    pnlBtn->hide();
  } else {
    btnOK = new QPushButton(QStringLiteral("&OK"), pnlBtn);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setDefault(true);
    connect(btnOK, &QPushButton::clicked, this, [this] { accept(); });
  }
}

void TfmKalvInfo::LayoutComponents() {
  const double s = std::max(1.0, fontMetrics().height() / DesignFontHeight);
  auto S = [s](int v) { return static_cast<int>(std::lround(v * s)); };
  const int rowH = std::max(S(16), fontMetrics().height() + 2);

  // A row that does not fit (a wide font, a long address) widens the window instead of being cut.
  const int homeRow = pnlHomepage->sizeHint().width();
  const int extra = std::max(0, S(128) + homeRow + S(8) - S(328));
  const int clientW = S(344) + extra, clientH = S(176);

  pnlClnt->setGeometry(S(8), S(8), S(328) + extra, S(127));
  imgLogo->setGeometry(S(8), S(8), S(32), S(32));
  const int capX = S(56), capW = S(65), valX = S(128), valW = S(328) + extra - valX - S(8);
  lblVerCap->setGeometry(capX, S(8), capW, rowH);
  lblVer->setGeometry(valX, S(8), valW, rowH);
  lblAuthorCap->setGeometry(capX, S(32), capW, rowH);
  lblAuthor->setGeometry(valX, S(32), valW, rowH);
  lblHomePageCap->setGeometry(capX, S(56), capW, rowH);
  pnlHomepage->setGeometry(valX, S(56), valW, rowH);
  bvl1->setGeometry(S(8), S(77), S(312) + extra, 2);
  lblDescription->setGeometry(capX, S(86), S(328) + extra - capX - S(8), S(127) - S(86) - S(4));

  pnlBtn->setGeometry(0, S(135), clientW, clientH - S(135));
  if (btnOK != nullptr) {
    const int bw = std::max(S(57), btnOK->sizeHint().width());
    const int bh = std::max(S(25), btnOK->sizeHint().height());
    btnOK->setGeometry(clientW - S(8) - bw, pnlBtn->height() - S(8) - bh, bw, bh);
  }
  setFixedSize(clientW, clientH);
}

TInfoTimeSource TfmKalvInfo::SetTimeSource(TInfoTimeSource Source) {
  TInfoTimeSource old = std::move(gTime);
  gTime = std::move(Source);
  return old;
}

double TfmKalvInfo::SecondsShown() const {
  std::int64_t freq = 0;
  if (!ReadFrequency(&freq) || freq <= 0) freq = 1000000;
  std::int64_t now = 0;
  // A counter that cannot be read ends any wait.
  const double counts = ReadCounter(&now)
                            ? static_cast<double>(now) - static_cast<double>(FShowTime)
                            : static_cast<double>(std::numeric_limits<std::int64_t>::max());
  return counts / static_cast<double>(freq);
}

void TfmKalvInfo::showEvent(QShowEvent *Event) {
  QDialog::showEvent(Event);
  std::int64_t now = 0;
  FShowTime = ReadCounter(&now) ? now : 0;
}

void TfmKalvInfo::done(int Result) {
  if (!FClosable) return;
  QDialog::done(Result);
}

void TfmKalvInfo::closeEvent(QCloseEvent *Event) {
  if (!FClosable) {
    Event->ignore();
    return;
  }
  QDialog::closeEvent(Event);
}

void TfmKalvInfo::keyPressEvent(QKeyEvent *Event) {
  if (Event->key() == Qt::Key_Escape && Event->modifiers() == Qt::NoModifier) {
    close();
    Event->accept();
    return;
  }
  QDialog::keyPressEvent(Event);
}

void TfmKalvInfo::lblLinkClick(QLabel *Sender) {
  const std::string address = Trim(Sender->toolTip().toStdString());
  const DWORD code = OpenAddress(address);
  if (code != ERROR_SUCCESS) throw EOSError(code, address + ": " + OpenAddressErrorMessage(code));
}

TfmKalvInfo *TfmKalvInfo::Splash() { return gSplash.data(); }

void TfmKalvInfo::ShowSplash() {
  if (gSplash) return;
  gSplash = new TfmKalvInfo(nullptr, true);
  // Mapped when the event loop starts, with the main window; start-up work runs only after that,
  // from the window's own posted message, so the splash is on screen while it runs.
  gSplash->show();
}

void TfmKalvInfo::CloseSplash(bool Now) {
  if (!gSplash || gSplash->Closable()) return;
  const double left = SplashSeconds - gSplash->SecondsShown();
  if (!Now && left >= 0) {
    TfmKalvInfo *f = gSplash.data();
    if (f->tmrClose == nullptr) {
      f->tmrClose = new QTimer(f);
      f->tmrClose->setObjectName(QStringLiteral("tmrClose"));
      f->tmrClose->setSingleShot(true);
      QObject::connect(f->tmrClose, &QTimer::timeout, f, [f] {
        // Not freed under its own timer's signal: the event loop frees it right after.
        if (gSplash == f && f->SecondsShown() > SplashSeconds) {
          gSplash = nullptr;
          f->SetClosable(true);
          f->close();
          f->deleteLater();
        } else {
          CallGuarded([] { CloseSplash(); });
        }
      });
    }
    f->tmrClose->start(static_cast<int>(std::ceil(left * 1000.0)) + 1);
    return;
  }
  TfmKalvInfo *f = gSplash.data();
  gSplash = nullptr;
  f->SetClosable(true);
  f->close();
  delete f;
}

int TfmKalvInfo::ShowInfo(QWidget *Parent) {
  std::unique_ptr<TfmKalvInfo> f = std::make_unique<TfmKalvInfo>(Parent, false);
  return ShowModalDialog(f.get());
}
