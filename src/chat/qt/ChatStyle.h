#pragma once

#include <QColor>
#include <QFont>
#include <QRect>
#include <QString>

#include <string>

namespace tarvo::chatqt {

// The chat's teal: the avatar, the child's bubbles and the send button.
QColor teal();
// The toast's green border and glow, and the lighter green it breathes to.
QColor glowGreen();
QColor glowGreenLight();
// The platform's red for warnings (the failed-send line).
QColor systemRed();

// The application font at `pixels` device-independent pixels.
QFont systemFont(int pixels, bool bold = false);

// "{{x, y}, {w, h}}", the rectangle notation of the chat's log lines.
std::string rectNotation(const QRect& rect);

inline QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace tarvo::chatqt
