// Readouts drawn from kept layouts: the text is laid out as the painter lays out a text in a rectangle, once per
// pattern of digits, and each value then only swaps the digits' glyphs (every digit as wide as '0').
#include "readoutstyle.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QRawFont>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace {

constexpr size_t kKeptLayouts = 32;
// The flags a kept layout handles: alignment (absolute or not: the same left to right), the left-to-right
// direction readouts are drawn in, clipping or not, tabs expanded (texts with tabs are not kept).
constexpr int kHandled = Qt::AlignLeft | Qt::AlignRight | Qt::AlignHCenter | Qt::AlignAbsolute |
                         Qt::AlignVertical_Mask | Qt::TextForceLeftToRight | Qt::TextDontClip | Qt::TextSingleLine |
                         Qt::TextExpandTabs;

bool isDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

QString patternOf(const QString& text) {
    QString pattern = text;
    for (QChar& c : pattern)
        if (isDigit(c)) c = QLatin1Char('0');
    return pattern;
}

// Texts the painter would change before laying them out (tabs, mnemonics, returns), or whose lines begin or end
// with spaces (whose width the painter counts apart), are drawn by the style underneath.
bool plainLines(const QString& text) {
    QChar before = QLatin1Char('\n');
    for (const QChar c : text) {
        if (c == QLatin1Char('\t') || c == QLatin1Char('&') || c == QLatin1Char('\r') || c == QChar(ushort(0x9c)) ||
            c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return false;
        if ((c == QLatin1Char(' ') && before == QLatin1Char('\n')) || (c == QLatin1Char('\n') && before == QLatin1Char(' ')))
            return false;
        before = c;
    }
    return before != QLatin1Char(' ');
}

}  // namespace

ReadoutStyle::ReadoutStyle(QStyle* base) : QProxyStyle(base) {}

ReadoutStyle::Layout ReadoutStyle::makeLayout(const QString& pattern, const QRect& rect, int flags, const QFont& font) {
    Layout out;
    out.pattern = pattern;
    out.rect = rect;
    out.flags = flags;
    out.font = font;
    if ((flags & ~kHandled) != 0 || !(flags & Qt::TextForceLeftToRight) || !plainLines(pattern)) return out;
    QString text = pattern;
    const bool singleLine = flags & Qt::TextSingleLine;
    for (QChar& c : text)
        if (c == QLatin1Char('\n')) c = singleLine ? QChar(QLatin1Char(' ')) : QChar(QChar::LineSeparator);

    // Lines on whole pixels, one under the other, as tall as their ascent and descent, with the font's leading
    // between them; lines past the rectangle's bottom are not made unless the text is not clipped.
    QTextLayout layout(text, font);
    QTextOption option;
    option.setTextDirection(Qt::LeftToRight);
    option.setAlignment(Qt::AlignLeft);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    const QFontMetricsF metrics(font);
    const qreal leading = metrics.leading();
    const bool dontClip = flags & Qt::TextDontClip;
    qreal height = -leading, width = 0;
    layout.beginLayout();
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(0x01000000);
        height += leading;
        height = std::ceil(height);
        line.setPosition(QPointF(0.0, height));
        height += line.ascent() + line.descent();
        width = std::max(width, line.naturalTextWidth());
        if (!dontClip && height >= rect.height()) break;
    }
    layout.endLayout();

    qreal top = 0, left = 0;
    if (flags & Qt::AlignBottom)
        top = rect.height() - height;
    else if (flags & Qt::AlignVCenter)
        top = (rect.height() - height) / 2;
    if (flags & Qt::AlignRight)
        left = rect.width() - width;
    else if (flags & Qt::AlignHCenter)
        left = (rect.width() - width) / 2;
    out.clip = !dontClip && !QRectF(rect).contains(QRectF(rect.x() + left, rect.y() + top, width, height));

    QRawFont raw;
    for (int i = 0; i < layout.lineCount(); ++i) {
        const QTextLine line = layout.lineAt(i);
        qreal x = 0;
        if (flags & Qt::AlignRight)
            x = rect.width() - line.horizontalAdvance();
        else if (flags & Qt::AlignHCenter)
            x = (rect.width() - line.horizontalAdvance()) / 2;
        QString chars = text.mid(line.textStart(), line.textLength());
        if (chars.endsWith(QChar::LineSeparator)) chars.chop(1);
        if (chars.isEmpty()) continue;
        // One glyph per character in their order, each where the advances before it put it (no kerning): then
        // another digit of the same width is another glyph at the same place. A line without digits is drawn
        // as it was laid out.
        const QList<QGlyphRun> runs = line.glyphRuns();
        if (runs.size() != 1) return out;
        const QGlyphRun& run = runs.front();
        raw = run.rawFont();
        if (!std::any_of(chars.begin(), chars.end(), isDigit)) {
            out.lines.push_back({QPointF(rect.x() + x, rect.y() + top), run, -1});
            continue;
        }
        const QVector<quint32> glyphs = run.glyphIndexes();
        if (glyphs.size() != chars.size() || glyphs != raw.glyphIndexesForString(chars)) return out;
        const QVector<QPointF> advances = raw.advancesForGlyphIndexes(glyphs);
        const QVector<QPointF> positions = run.positions();
        if (advances.size() != glyphs.size() || positions.size() != glyphs.size()) return out;
        qreal at = positions.front().x();
        for (int k = 0; k < glyphs.size(); ++k) {
            if (std::abs(positions[k].x() - at) > 1.0 / 256 || positions[k].y() != positions.front().y()) return out;
            at += advances[k].x();
        }
        out.lines.push_back({QPointF(rect.x() + x, rect.y() + top), run, line.textStart()});
    }
    if (out.lines.empty() || !raw.isValid()) return out;
    const QVector<quint32> digits = raw.glyphIndexesForString(QStringLiteral("0123456789"));
    const QVector<QPointF> widths = raw.advancesForGlyphIndexes(digits);
    if (digits.size() != 10 || widths.size() != 10) return out;
    for (int d = 0; d < 10; ++d) {
        // A digit narrower or wider than '0' would move what follows it: no kept layout for this font.
        if (widths[d] != widths[0] || digits[d] == 0) return out;
        out.digits[static_cast<size_t>(d)] = digits[d];
    }
    out.usable = true;
    return out;
}

const ReadoutStyle::Layout& ReadoutStyle::layoutFor(const QString& pattern, const QRect& rect, int flags,
                                                    const QFont& font) const {
    for (size_t i = 0; i < layouts_.size(); ++i) {
        const Layout& l = layouts_[i];
        if (l.rect == rect && l.flags == flags && l.pattern == pattern && l.font == font) return l;
    }
    if (layouts_.size() >= kKeptLayouts) layouts_.pop_back();
    layouts_.insert(layouts_.begin(), makeLayout(pattern, rect, flags, font));
    return layouts_.front();
}

void ReadoutStyle::drawItemText(QPainter* painter, const QRect& rect, int flags, const QPalette& pal, bool enabled,
                                const QString& text, QPalette::ColorRole textRole) const {
    if (text.isEmpty()) return;
    // Enabled text is drawn by the usual styles as the painter draws it with the role's colour; anything else
    // is left to the style underneath.
    if (usualBase_ < 0) {
        // The style underneath is fixed once this style is made: its name is looked at once, not per readout.
        const QString base = baseStyle()->objectName().toLower();
        usualBase_ = base == QLatin1String("fusion") || base == QLatin1String("windows") ? 1 : 0;
    }
    if (!painter || !enabled || usualBase_ == 0) {
        QProxyStyle::drawItemText(painter, rect, flags, pal, enabled, text, textRole);
        return;
    }
    const Layout& layout = layoutFor(patternOf(text), rect, flags, painter->font());
    if (!layout.usable) {
        ++full_;
        QProxyStyle::drawItemText(painter, rect, flags, pal, enabled, text, textRole);
        return;
    }
    ++kept_;
    const QPen saved = painter->pen();
    if (textRole != QPalette::NoRole) painter->setPen(QPen(pal.brush(textRole), saved.widthF()));
    if (layout.clip) {
        painter->save();
        painter->setClipRect(layout.rect, Qt::IntersectClip);
    }
    for (const Line& line : layout.lines) {
        if (line.first < 0) {
            painter->drawGlyphRun(line.origin, line.run);
            continue;
        }
        QGlyphRun run = line.run;
        QVector<quint32> glyphs = run.glyphIndexes();
        bool swapped = false;
        for (int k = 0; k < glyphs.size(); ++k) {
            const QChar c = text.at(line.first + k);
            if (isDigit(c) && c != QLatin1Char('0')) {
                glyphs[k] = layout.digits[static_cast<size_t>(c.unicode() - '0')];
                swapped = true;
            }
        }
        if (swapped) run.setGlyphIndexes(glyphs);
        painter->drawGlyphRun(line.origin, run);
    }
    if (layout.clip) painter->restore();
    painter->setPen(saved);
}
