#pragma once
// A filled rectangle with a thin border: the link lamps of the About window.
#include <QColor>
#include <QWidget>

namespace qtx {

class Lamp : public QWidget {
    Q_OBJECT
  public:
    explicit Lamp(QWidget* parent) : QWidget(parent) {}
    void SetColor(const QColor& c) {
        color_ = c;
        update();
    }
    QColor Color() const { return color_; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QColor color_{224, 224, 224};
};

}  // namespace qtx
