#pragma once

#include <QColor>
#include <QFont>

class QApplication;

namespace tarvo::ui {

// Every window of the agent carries this WM_CLASS (instance and class), the
// identifier the app-limit enforcer spares as this product's own.
inline constexpr char kWindowClass[] = "app.tarvo.agent";

// The system font at `pixelSize` device-independent pixels and `weight`.
QFont systemFont(int pixelSize, QFont::Weight weight);
// A colour from red, green, blue and alpha in 0…1.
QColor rgb(double r, double g, double b, double a = 1.0);
// A grey of brightness `white` in 0…1, opaque.
QColor grey(double white);

}  // namespace tarvo::ui
