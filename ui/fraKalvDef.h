// The program's frame base and the small event panel the frames are built from.
//
// Main thread only.
#pragma once

#include <QFrame>
#include <QWidget>
#include <cstdint>
#include <functional>

#include "platform/untObjects.h"

class QMouseEvent;
class QPaintEvent;
class QResizeEvent;

// A plain panel whose paint, resize and mouse events go to callbacks (each run guarded, so an
// exception reaches the application's error display instead of the event loop).
class TKalvEventPanel : public QWidget {
  Q_OBJECT
public:
  explicit TKalvEventPanel(QWidget *Parent = nullptr);

  std::function<void(QPaintEvent *)> OnPaint; // without one the panel paints its background
  std::function<void()> OnResize;
  std::function<void(QMouseEvent *)> OnMouseDown;
  std::function<void(QMouseEvent *)> OnMouseMove;
  std::function<void(QMouseEvent *)> OnMouseUp;
  std::function<void(QMouseEvent *)> OnDblClick;

protected:
  void paintEvent(QPaintEvent *Event) override;
  void resizeEvent(QResizeEvent *Event) override;
  void mousePressEvent(QMouseEvent *Event) override;
  void mouseMoveEvent(QMouseEvent *Event) override;
  void mouseReleaseEvent(QMouseEvent *Event) override;
  void mouseDoubleClickEvent(QMouseEvent *Event) override;
};

// The base of the program's frames: a QFrame that is also a TObject, with a tag.
class TfrKalvDef : public QFrame, public TObject {
  Q_OBJECT
public:
  explicit TfrKalvDef(QWidget *Parent = nullptr);

  std::intptr_t Tag() const { return FTag; }
  void SetTag(std::intptr_t Value) { FTag = Value; }

private:
  std::intptr_t FTag = 0;
};
