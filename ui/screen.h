#pragma once

class QWidget;

namespace pelvoran {

/// Moves a top-level window, frame included, to the centre of the primary
/// screen's available area; one too big for it starts at the area's top-left.
void centreOnScreen(QWidget* window);

} // namespace pelvoran
