#include "chat/qt/ChatStyle.h"

#include <QApplication>

namespace tarvo::chatqt {

QColor teal() {
    return QColor::fromRgbF(0.0f, 0.522f, 0.459f);
}
QColor glowGreen() {
    return QColor::fromRgbF(0.086f, 0.639f, 0.29f);
}
QColor glowGreenLight() {
    return QColor::fromRgbF(0.44f, 0.87f, 0.53f);
}
QColor systemRed() {
    return QColor(255, 59, 48);
}

QFont systemFont(int pixels, bool bold) {
    QFont font = QApplication::font();
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

std::string rectNotation(const QRect& rect) {
    return "{{" + std::to_string(rect.x()) + ", " + std::to_string(rect.y()) + "}, {" +
           std::to_string(rect.width()) + ", " + std::to_string(rect.height()) + "}}";
}

}  // namespace tarvo::chatqt
