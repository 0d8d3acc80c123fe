#pragma once

class QWidget;

namespace pelvoran {

/// Moves a top-level window to the centre of the primary screen's available
/// area.
void centreOnScreen(QWidget* window);

} // namespace pelvoran
