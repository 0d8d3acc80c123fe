#pragma once

#include "forms/form_layout.h"
#include "platform/text.h"

#include <QRect>
#include <QString>

namespace pelvoran {

using namespace Qt::StringLiterals;

inline QString toQString(TextView t) {
    return QString::fromUtf16(t.data(), static_cast<qsizetype>(t.size()));
}

inline Text toText(const QString& s) {
    return Text(reinterpret_cast<const char16_t*>(s.utf16()), static_cast<std::size_t>(s.size()));
}

/// The text as a widget shows it: the lone carriage return that breaks lines
/// in captions and messages becomes a line feed.
inline QString forDisplay(TextView t) {
    QString s = toQString(t);
    s.replace(u"\r\n"_s, u"\n"_s);
    s.replace(QChar(u'\r'), QChar(u'\n'));
    return s;
}

/// Positions and sizes are laid out in twips: 15 twips to a pixel at 96 dpi.
/// Qt's high-DPI scaling takes it from there.
constexpr int px(int twips) {
    return layout::toPixels(twips);
}

inline QRect toRect(const layout::Twips& t) {
    return QRect(px(t.left), px(t.top), px(t.width), px(t.height));
}

inline QSize toSize(const layout::Twips& t) {
    return QSize(px(t.width), px(t.height));
}

} // namespace pelvoran
