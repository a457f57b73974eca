// A mouse event sent straight to a widget, as the platform would deliver it.
#pragma once

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>

namespace testutil {

inline void Mouse(QWidget *W, QEvent::Type Type, QPoint P, Qt::MouseButton Button, Qt::MouseButtons Buttons,
                  Qt::KeyboardModifiers Mods = Qt::NoModifier) {
  QMouseEvent e(Type, QPointF(P), W->mapToGlobal(QPointF(P)), Button, Buttons, Mods);
  QApplication::sendEvent(W, &e);
}

} // namespace testutil
