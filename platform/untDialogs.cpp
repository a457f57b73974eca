#include "platform/untDialogs.h"

#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QRegularExpression>

#include "platform/untActions.h"
#include "platform/untApplication.h"

namespace {

TFileDialogExecuteFunction gExecute;

QString Q(const std::string &S) { return QString::fromStdString(S); }

// The patterns of one entry as Qt writes them: separated by blanks, "*.*" as "*".
QStringList Patterns(const QString &Text) {
  QStringList out;
  for (QString p : Text.split(QRegularExpression("[;,\\s]+"), Qt::SkipEmptyParts)) {
    if (p == "*.*") p = "*";
    if (!out.contains(p)) out << p;
  }
  return out;
}

bool DefaultExecute(TOpenDialog &Dialog) {
  QFileDialog dlg(ScreenActiveForm());
  PrepareQtFileDialog(Dialog, dlg);
  if (ShowModalDialog(&dlg) != QDialog::Accepted) return false;
  const QStringList chosen = dlg.selectedFiles();
  if (chosen.isEmpty()) return false;
  Dialog.Files.clear();
  for (const QString &f : chosen) Dialog.Files.push_back(QDir::toNativeSeparators(f).toStdString());
  Dialog.FileName = Dialog.Files.front();
  const int index = TOpenDialog::QtNameFilters(Dialog.Filter).indexOf(dlg.selectedNameFilter());
  if (index >= 0) Dialog.FilterIndex = index + 1;
  return true;
}

} // namespace

TOpenDialog::TOpenDialog(TComponent *AOwner) : TComponent(AOwner) {}

TSaveDialog::TSaveDialog(TComponent *AOwner) : TOpenDialog(AOwner) { FSave = true; }

bool TOpenDialog::Execute() { return gExecute ? gExecute(*this) : DefaultExecute(*this); }

QStringList TOpenDialog::QtNameFilters(const std::string &Filter) {
  QStringList out;
  const QStringList parts = Q(Filter).split('|');
  if (Filter.empty()) return out;
  for (qsizetype i = 0; i < parts.size(); i += 2) {
    QString desc = parts[i].trimmed();
    const QStringList patterns = Patterns(i + 1 < parts.size() ? parts[i + 1] : QString("*"));
    const QString joined = patterns.isEmpty() ? QString("*") : patterns.join(' ');
    // A description that already names its patterns ("Bitmap (*.bmp)") loses that part: Qt reads
    // the patterns from the last bracket, and they are given in Qt's form below.
    const qsizetype open = desc.lastIndexOf('(');
    if (desc.endsWith(')') && open >= 0 && Patterns(desc.mid(open + 1, desc.size() - open - 2)) == patterns)
      desc = desc.left(open).trimmed();
    if (desc.isEmpty()) desc = joined;
    out << desc + " (" + joined + ")";
  }
  return out;
}

void PrepareQtFileDialog(const TOpenDialog &Dialog, QFileDialog &Qt) {
  const TOpenOptions &o = Dialog.Options;
  if (!Dialog.Title.empty()) Qt.setWindowTitle(Q(Dialog.Title));
  if (Dialog.IsSaveDialog()) {
    Qt.setAcceptMode(QFileDialog::AcceptSave);
    Qt.setFileMode(QFileDialog::AnyFile);
    Qt.setOption(QFileDialog::DontConfirmOverwrite, o.count(ofOverwritePrompt) == 0);
  } else {
    Qt.setAcceptMode(QFileDialog::AcceptOpen);
    Qt.setFileMode(o.count(ofAllowMultiSelect) ? QFileDialog::ExistingFiles
                   : o.count(ofFileMustExist)  ? QFileDialog::ExistingFile
                                               : QFileDialog::AnyFile);
  }
  Qt.setOption(QFileDialog::DontResolveSymlinks, o.count(ofNoDereferenceLinks) != 0);
  if (o.count(ofForceShowHidden)) Qt.setFilter(Qt.filter() | QDir::Hidden);

  const QStringList filters = TOpenDialog::QtNameFilters(Dialog.Filter);
  Qt.setDefaultSuffix(Q(Dialog.DefaultExt));
  if (!filters.isEmpty()) {
    Qt.setNameFilters(filters);
    const int index = Dialog.FilterIndex >= 1 && Dialog.FilterIndex <= filters.size() ? Dialog.FilterIndex : 1;
    Qt.selectNameFilter(filters[index - 1]);
    // A name typed without an extension takes the chosen filter's (a "PNG picture" is saved as
    // .png), or DefaultExt when the filter names none ("All files").
    const QString fallback = Q(Dialog.DefaultExt);
    auto follow = [&Qt, filters, fallback](const QString &Chosen) {
      static const QRegularExpression one("\\(\\*\\.([A-Za-z0-9]+)[ )]");
      const auto m = one.match(Chosen);
      Qt.setDefaultSuffix(filters.contains(Chosen) && m.hasMatch() ? m.captured(1) : fallback);
    };
    follow(filters[index - 1]);
    QObject::connect(&Qt, &QFileDialog::filterSelected, &Qt, follow);
  }

  const QFileInfo file(Q(Dialog.FileName));
  if (!Dialog.InitialDir.empty())
    Qt.setDirectory(Q(Dialog.InitialDir));
  else if (!Dialog.FileName.empty() && !file.path().isEmpty() && file.path() != ".")
    Qt.setDirectory(file.path());
  if (!Dialog.FileName.empty()) Qt.selectFile(file.fileName());
}

TFileDialogExecuteFunction SetFileDialogExecuteFunction(TFileDialogExecuteFunction Function) {
  TFileDialogExecuteFunction old = std::move(gExecute);
  gExecute = std::move(Function);
  return old;
}
