#include "ui/UiStyle.h"

#include <QApplication>

namespace tarvo::ui {

QFont systemFont(int pixelSize, QFont::Weight weight) {
    QFont font = QApplication::font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QColor rgb(double r, double g, double b, double a) {
    return QColor::fromRgbF(r, g, b, a);
}

QColor grey(double white) {
    return QColor::fromRgbF(white, white, white, 1.0);
}

}  // namespace tarvo::ui
