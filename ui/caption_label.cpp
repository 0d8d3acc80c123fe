#include "caption_label.h"

#include "qt_text.h"

namespace pelvoran {

CaptionLabel::CaptionLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText); // never read server or user text as markup
    setWordWrap(true);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setAutoFillBackground(true);
}

void CaptionLabel::setCaption(const Text& caption) {
    caption_ = caption;
    setText(forDisplay(caption));
}

} // namespace pelvoran
