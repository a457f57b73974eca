// Mouse events for the tests: sent straight to a widget, or queued as the platform delivers them.
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

// The same event queued, as a real mouse's arrives: delivered when the event loop next runs.
inline void PostMouse(QWidget *W, QEvent::Type Type, QPoint P, Qt::MouseButton Button, Qt::MouseButtons Buttons) {
  QApplication::postEvent(W, new QMouseEvent(Type, QPointF(P), W->mapToGlobal(QPointF(P)), Button, Buttons,
                                             Qt::NoModifier));
}

// A left-button drag from From to To in W's coordinates, through every step of Steps. A region
// moves under the pointer: each position is taken where the widget is now. With RunEvents the
// event loop runs between moves, as it does for a user; without, no job's done event is handled
// during the drag.
inline void Drag(QWidget *W, QPoint From, QPoint To, int Steps = 1, bool RunEvents = false) {
  const QPoint start = W->mapToGlobal(From);
  Mouse(W, QEvent::MouseButtonPress, From, Qt::LeftButton, Qt::LeftButton);
  for (int i = 1; i <= Steps; ++i) {
    Mouse(W, QEvent::MouseMove, W->mapFromGlobal(start + (To - From) * i / Steps), Qt::NoButton, Qt::LeftButton);
    if (RunEvents) QApplication::processEvents();
  }
  Mouse(W, QEvent::MouseButtonRelease, W->mapFromGlobal(start + (To - From)), Qt::LeftButton, Qt::NoButton);
}

} // namespace testutil
