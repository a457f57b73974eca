#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <fstream>
#include <gtest/gtest.h>

#include "platform/untApplication.h"
#include "platform/untDialogs.h"
#include "tests/common/TestUtil.h"

TEST(Dialogs, FiltersBecomeQtNameFilters) {
  EXPECT_EQ(TOpenDialog::QtNameFilters("JPEG pictures|*.jpg;*.jpe; *.jpeg|All files|*.*"),
            (QStringList{"JPEG pictures (*.jpg *.jpe *.jpeg)", "All files (*)"}));
  // A description naming its own patterns is not doubled; one naming something else keeps it.
  EXPECT_EQ(TOpenDialog::QtNameFilters("Bitmap (*.bmp)|*.bmp|All Files (*.*)|*.*"),
            (QStringList{"Bitmap (*.bmp)", "All Files (*)"}));
  EXPECT_EQ(TOpenDialog::QtNameFilters("Pictures (JPEG)|*.jpg"), QStringList{"Pictures (JPEG) (*.jpg)"});
  // Missing parts: a lone description takes every file, a missing description the patterns.
  EXPECT_EQ(TOpenDialog::QtNameFilters("Only"), QStringList{"Only (*)"});
  EXPECT_EQ(TOpenDialog::QtNameFilters("|*.txt|Rest|"), (QStringList{"*.txt (*.txt)", "Rest (*)"}));
  EXPECT_TRUE(TOpenDialog::QtNameFilters("").isEmpty());
}

TEST(Dialogs, QtDialogIsSetUpAsTheComponentSays) {
  testutil::TempDir dir;
  const QString folder = QString::fromStdString(dir.Path.string());
  TSaveDialog save;
  save.Title = "save picture";
  save.Filter = "Bitmap|*.bmp|JPEG|*.jpg";
  save.FilterIndex = 2;
  save.DefaultExt = "jpg";
  save.InitialDir = dir.Path.string();
  save.FileName = "/elsewhere/old.jpg";
  {
    QFileDialog qt;
    qt.setOption(QFileDialog::DontUseNativeDialog);
    PrepareQtFileDialog(save, qt);
    EXPECT_EQ(qt.windowTitle(), "save picture");
    EXPECT_EQ(qt.acceptMode(), QFileDialog::AcceptSave);
    EXPECT_TRUE(qt.testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_EQ(qt.nameFilters(), (QStringList{"Bitmap (*.bmp)", "JPEG (*.jpg)"}));
    EXPECT_EQ(qt.selectedNameFilter(), "JPEG (*.jpg)");
    EXPECT_EQ(qt.defaultSuffix(), "jpg");
    EXPECT_EQ(QDir(qt.directory()).canonicalPath(), QDir(folder).canonicalPath());
  }
  save.Options.insert(ofOverwritePrompt);
  save.FilterIndex = 7; // out of range: the first filter
  save.InitialDir.clear();
  save.FileName = dir.Path.string() + "/old.jpg"; // without a start folder: the file's folder
  {
    QFileDialog qt;
    qt.setOption(QFileDialog::DontUseNativeDialog);
    PrepareQtFileDialog(save, qt);
    EXPECT_FALSE(qt.testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_EQ(qt.selectedNameFilter(), "Bitmap (*.bmp)");
    EXPECT_EQ(QDir(qt.directory()).canonicalPath(), QDir(folder).canonicalPath());
    // A name typed without an extension gets the chosen filter's.
    EXPECT_EQ(qt.defaultSuffix(), "bmp");
    emit qt.filterSelected("JPEG (*.jpg)");
    EXPECT_EQ(qt.defaultSuffix(), "jpg");
  }
  save.Filter = "Text|*.txt|All files|*.*";
  {
    QFileDialog qt;
    qt.setOption(QFileDialog::DontUseNativeDialog);
    PrepareQtFileDialog(save, qt);
    EXPECT_EQ(qt.defaultSuffix(), "txt");
    emit qt.filterSelected("All files (*)");
    EXPECT_EQ(qt.defaultSuffix(), "jpg"); // no extension of its own: DefaultExt
  }
  TOpenDialog open;
  open.Options.insert(ofFileMustExist);
  {
    QFileDialog qt;
    PrepareQtFileDialog(open, qt);
    EXPECT_EQ(qt.acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(qt.fileMode(), QFileDialog::ExistingFile);
  }
  open.Options.insert(ofAllowMultiSelect);
  {
    QFileDialog qt;
    PrepareQtFileDialog(open, qt);
    EXPECT_EQ(qt.fileMode(), QFileDialog::ExistingFiles);
  }
}

TEST(Dialogs, ExecuteReportsTheChoiceOrTheCancel) {
  testutil::TempDir dir;
  std::ofstream(dir.Path / "a.bmp") << "x";
  TOpenDialog open;
  open.Filter = "JPEG|*.jpg|Bitmap|*.bmp";
  open.InitialDir = dir.Path.string();

  // The real QFileDialog, answered through the modal seam.
  auto previous = SetShowModalFunction([&](QDialog *d) {
    auto *qt = qobject_cast<QFileDialog *>(d);
    EXPECT_NE(qt, nullptr);
    qt->selectNameFilter("Bitmap (*.bmp)");
    qt->selectFile(QString::fromStdString((dir.Path / "a.bmp").string()));
    return static_cast<int>(QDialog::Accepted);
  });
  ASSERT_TRUE(open.Execute());
  EXPECT_EQ(QFileInfo(QString::fromStdString(open.FileName)).canonicalFilePath(),
            QFileInfo(QString::fromStdString((dir.Path / "a.bmp").string())).canonicalFilePath());
  EXPECT_EQ(open.Files.size(), 1u);
  EXPECT_EQ(open.FilterIndex, 2);

  SetShowModalFunction([](QDialog *) { return static_cast<int>(QDialog::Rejected); });
  const std::string before = open.FileName;
  EXPECT_FALSE(open.Execute());
  EXPECT_EQ(open.FileName, before);
  SetShowModalFunction(previous);

  // The whole execution replaced.
  auto old = SetFileDialogExecuteFunction([](TOpenDialog &d) {
    d.FileName = "/x/y.jpg";
    return d.IsSaveDialog();
  });
  TSaveDialog save;
  EXPECT_TRUE(save.Execute());
  EXPECT_EQ(save.FileName, "/x/y.jpg");
  EXPECT_FALSE(open.Execute());
  SetFileDialogExecuteFunction(old);
}
