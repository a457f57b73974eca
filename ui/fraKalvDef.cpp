#include "ui/fraKalvDef.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>

#include "platform/untApplication.h"

TKalvEventPanel::TKalvEventPanel(QWidget *Parent) : QWidget(Parent) {}

void TKalvEventPanel::paintEvent(QPaintEvent *Event) {
  if (!OnPaint) {
    QWidget::paintEvent(Event);
    return;
  }
  CallGuarded([&] { OnPaint(Event); });
}

void TKalvEventPanel::resizeEvent(QResizeEvent *Event) {
  QWidget::resizeEvent(Event);
  if (OnResize) CallGuarded([&] { OnResize(); });
}

void TKalvEventPanel::mousePressEvent(QMouseEvent *Event) {
  if (OnMouseDown) CallGuarded([&] { OnMouseDown(Event); });
  else QWidget::mousePressEvent(Event);
}

void TKalvEventPanel::mouseMoveEvent(QMouseEvent *Event) {
  if (OnMouseMove) CallGuarded([&] { OnMouseMove(Event); });
  else QWidget::mouseMoveEvent(Event);
}

void TKalvEventPanel::mouseReleaseEvent(QMouseEvent *Event) {
  if (OnMouseUp) CallGuarded([&] { OnMouseUp(Event); });
  else QWidget::mouseReleaseEvent(Event);
}

void TKalvEventPanel::mouseDoubleClickEvent(QMouseEvent *Event) {
  if (OnDblClick) CallGuarded([&] { OnDblClick(Event); });
  else QWidget::mouseDoubleClickEvent(Event);
}

TfrKalvDef::TfrKalvDef(QWidget *Parent) : QFrame(Parent) {}
