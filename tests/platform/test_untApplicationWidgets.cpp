#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTimer>

#include "platform/untApplication.h"

TEST(TApplication, ModalRunIsReplaceable) {
  QDialog dlg;
  QDialog *seen = nullptr;
  SetShowModalFunction([&](QDialog *d) { seen = d; return 1; });
  EXPECT_EQ(ShowModalDialog(&dlg), 1);
  EXPECT_EQ(seen, &dlg);
  SetShowModalFunction({});
}

// With the widget part linked in, the default message box is a QMessageBox on screen.
TEST(TApplication, WidgetPartShowsAMessageBox) {
  QString shown;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
      shown = box->text();
      box->button(QMessageBox::Yes)->click();
    }
  });
  poll.start(10);
  EXPECT_EQ(MessageBox("Replace?", "A T T E N T I O N !", MB_YESNO | MB_ICONQUESTION), IDYES);
  EXPECT_EQ(shown, "Replace?");
}
