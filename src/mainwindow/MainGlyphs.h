#pragma once
// The pictures of the main window's speed buttons, drawn rather than loaded,
// so the program needs no image files beside it.

#include <QIcon>
#include <QString>

namespace qvt {

// The glyph of the speed button `name` ("Scan1D" and "Scan2D" for the two
// scan modes); an empty icon for a name without a glyph.
QIcon ToolGlyph(const QString& name);

} // namespace qvt
