// Readouts drawn from kept layouts: the text is laid out as the painter lays out a text in a rectangle, once per
// pattern of digits, and each value then only swaps the digits' glyphs (every digit as wide as '0'). Where the
// text lands on opaque pixels of one colour, its digits are copied from pictures made once instead.
#include "readoutstyle.h"

#include <QFontMetricsF>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QRawFont>
#include <QTextDocument>
#include <QStyleOption>
#include <QTextLayout>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

constexpr size_t kKeptLayouts = 32;
// The pictures of a text are checked for ink this far around its rectangle.
constexpr int kInkMargin = 8;
// A layout's text is drawn this many times before pictures of it are made.
constexpr int kDrawsBeforeCanvas = 4;
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
    out.digitAdvance = widths[0].x();
    out.usable = true;
    return out;
}

ReadoutStyle::Layout& ReadoutStyle::layoutFor(const QString& pattern, const QRect& rect, int flags,
                                                    const QFont& font) const {
    for (size_t i = 0; i < layouts_.size(); ++i) {
        Layout& l = layouts_[i];
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
    Layout& layout = layoutFor(patternOf(text), rect, flags, painter->font());
    if (!layout.usable) {
        ++full_;
        QProxyStyle::drawItemText(painter, rect, flags, pal, enabled, text, textRole);
        return;
    }
    ++kept_;
    const QPen saved = painter->pen();
    if (textRole != QPalette::NoRole) painter->setPen(QPen(pal.brush(textRole), saved.widthF()));
    const QBrush ink = painter->pen().brush();
    if (ink.style() == Qt::SolidPattern && copyText(painter, layout, text, ink.color())) {
        ++copied_;
    } else {
        if (layout.clip) {
            painter->save();
            painter->setClipRect(layout.rect, Qt::IntersectClip);
        }
        drawLines(painter, layout, text);
        if (layout.clip) painter->restore();
    }
    painter->setPen(saved);
}

void ReadoutStyle::drawLines(QPainter* painter, const Layout& layout, const QString& text) {
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
}

namespace {

// Columns [left, left + width) of rows [top, bottom) copied from one picture to another of the same size.
void copyColumns(const QImage& from, QImage& to, int left, int width, int top, int bottom) {
    for (int y = top; y < bottom; ++y)
        std::copy_n(reinterpret_cast<const QRgb*>(from.constScanLine(y)) + left, width,
                    reinterpret_cast<QRgb*>(to.scanLine(y)) + left);
}

}  // namespace

void ReadoutStyle::makeCanvas(Layout& layout, QRgb background, const QColor& pen, QImage::Format format, int hints) {
    Canvas& c = layout.canvas;
    const int draws = c.draws;
    c = Canvas();
    c.draws = draws;
    c.made = true;
    c.background = background;
    c.pen = pen.rgba();
    c.format = format;
    c.hints = hints;
    // Each digit's place is fixed by the layout, so a digit is drawn there the same whatever its neighbours: its
    // columns are those its advance covers.
    const qreal advance = layout.digitAdvance;
    if (!(advance > 0)) return;
    for (const Line& line : layout.lines) {
        if (line.first < 0) continue;
        const QVector<QPointF> positions = line.run.positions();
        for (int k = 0; k < positions.size(); ++k) {
            if (!isDigit(layout.pattern.at(line.first + k))) continue;
            const qreal x = line.origin.x() + positions[k].x() - layout.rect.x();
            int left = static_cast<int>(std::floor(x)), right = static_cast<int>(std::floor(x + advance));
            // A clipped text shows only the columns inside its rectangle; a text that is not clipped must lie
            // within the pictures' margins, where its ink is looked for.
            if (layout.clip) {
                left = std::max(left, 0);
                right = std::min(right, layout.rect.width());
            } else if (left < -kInkMargin || right > layout.rect.width() + kInkMargin) {
                return;
            }
            if (right > left) c.cells.push_back({line.first + k, left + kInkMargin, right - left});
        }
    }
    // Pictures with a margin all round, in which nothing may be inked.
    const QSize size = layout.rect.size() + QSize(2 * kInkMargin, 2 * kInkMargin);
    auto render = [&](const QString& text) {
        QImage image(size, format);
        image.fill(background);
        QPainter p(&image);
        p.setRenderHints(QPainter::RenderHints(hints));
        p.setPen(pen);
        p.translate(kInkMargin - layout.rect.x(), kInkMargin - layout.rect.y());
        if (layout.clip) p.setClipRect(layout.rect);
        drawLines(&p, layout, text);
        return image;
    };
    auto withDigits = [&](auto digitAt) {
        QString text = layout.pattern;
        for (size_t i = 0; i < c.cells.size(); ++i) text[c.cells[i].index] = QChar(ushort('0' + digitAt(i)));
        return text;
    };
    std::array<QImage, 10> big;
    const QRect inside(kInkMargin, kInkMargin, layout.rect.width(), layout.rect.height());
    for (int d = 0; d < 10; ++d) {
        big[static_cast<size_t>(d)] = render(withDigits([d](size_t) { return d; }));
        const QImage& image = big[static_cast<size_t>(d)];
        const int width = image.width(), height = image.height();
        for (int y = 0; y < height; ++y) {
            const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            const bool within = y >= inside.top() && y <= inside.bottom();
            QRgb differs = 0;
            // The margin's columns on each side of the rectangle, or the whole row above or below it.
            const int skipFrom = within ? inside.left() : width, skipTo = within ? inside.right() + 1 : width;
            for (int x = 0; x < skipFrom; ++x) differs |= row[x] ^ background;
            for (int x = skipTo; x < width; ++x) differs |= row[x] ^ background;
            if (differs) return;
        }
    }
    // A digit whose ink strays into its neighbours' columns would be cut there: the pictures are used only if
    // texts of mixed digits put together from them are the texts drawn.
    for (int shift = 1; shift < 10; ++shift) {
        auto digitAt = [shift](size_t i) { return static_cast<int>((i + static_cast<size_t>(shift)) % 10); };
        QImage composed = big[0].copy();
        for (size_t i = 0; i < c.cells.size(); ++i)
            copyColumns(big[static_cast<size_t>(digitAt(i))], composed, c.cells[i].left, c.cells[i].width, 0,
                        composed.height());
        // Both made the same way in the same format: equal pictures are equal bytes.
        const QImage drawn = render(withDigits(digitAt));
        if (std::memcmp(composed.constBits(), drawn.constBits(), static_cast<size_t>(drawn.sizeInBytes())) != 0) return;
    }
    for (int d = 0; d < 10; ++d) c.digits[static_cast<size_t>(d)] = big[static_cast<size_t>(d)].copy(inside);
    for (Cell& cell : c.cells) cell.left -= kInkMargin;
    // Only the rows in which the digits differ are ever copied, and only the pixels any of the pictures inks
    // are ever drawn: elsewhere the text leaves the background as it is.
    c.top = c.digits[0].height();
    c.bottom = 0;
    for (int y = 0; y < c.digits[0].height(); ++y)
        for (int d = 1; d < 10; ++d)
            if (std::memcmp(c.digits[0].constScanLine(y), c.digits[static_cast<size_t>(d)].constScanLine(y),
                            static_cast<size_t>(c.digits[0].bytesPerLine())) != 0) {
                c.top = std::min(c.top, y);
                c.bottom = y + 1;
            }
    int inkLeft = INT_MAX, inkRight = -1, inkTop = INT_MAX, inkBottom = -1;
    for (const QImage& image : c.digits) {
        const int width = image.width(), height = image.height();
        for (int y = 0; y < height; ++y) {
            const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (int x = 0; x < width; ++x)
                if (row[x] != background) {
                    inkLeft = std::min(inkLeft, x);
                    inkRight = std::max(inkRight, x);
                    inkTop = std::min(inkTop, y);
                    inkBottom = std::max(inkBottom, y);
                }
        }
    }
    if (inkRight >= 0) c.ink = QRect(QPoint(inkLeft, inkTop), QPoint(inkRight, inkBottom));
    c.shown = c.digits[0].copy();
    c.shownText = layout.pattern;
    c.usable = true;
}

bool ReadoutStyle::copyText(QPainter* painter, Layout& layout, const QString& text, const QColor& pen) {
    // Opaque copies onto a raster picture, at whole device pixels, one device pixel per pixel.
    if (painter->opacity() != 1.0 || painter->compositionMode() != QPainter::CompositionMode_SourceOver) return false;
    QPaintEngine* engine = painter->paintEngine();
    if (!engine || engine->type() != QPaintEngine::Raster) return false;
    QPaintDevice* device = engine->paintDevice();
    if (!device || device->devType() != QInternal::Image) return false;
    const QImage& target = *static_cast<const QImage*>(device);
    const QImage::Format format = target.format();
    if (format != QImage::Format_RGB32 && format != QImage::Format_ARGB32_Premultiplied) return false;
    const QTransform& transform = painter->deviceTransform();
    if (transform.type() > QTransform::TxTranslate || transform.dx() != std::round(transform.dx()) ||
        transform.dy() != std::round(transform.dy()))
        return false;
    const QRect at = layout.rect.translated(static_cast<int>(transform.dx()), static_cast<int>(transform.dy()));
    if (at.isEmpty() || !target.rect().contains(at)) return false;
    const QRgb background = target.pixel(at.topLeft());
    if (qAlpha(background) != 255) return false;
    Canvas& c = layout.canvas;
    const int hints = static_cast<int>(painter->renderHints());
    if (!c.made || c.background != background || c.pen != pen.rgba() || c.format != format || c.hints != hints) {
        // The pictures cost some twenty drawings of the text: made for texts drawn again and again only.
        if (++c.draws < kDrawsBeforeCanvas) return false;
        makeCanvas(layout, background, pen, format, hints);
    }
    if (!c.usable) return false;
    // Where the text inks, the pixels under it are all of that one opaque colour.
    const QRect ink = c.ink.translated(at.topLeft());
    quint64 differs = 0;
    const quint64 pair = (quint64(background) << 32) | background;
    for (int y = ink.top(); y <= ink.bottom(); ++y) {
        const uchar* row = target.constScanLine(y) + ink.left() * 4;
        int x = 0;
        for (; x + 2 <= ink.width(); x += 2) {
            quint64 two;
            std::memcpy(&two, row + x * 4, sizeof two);
            differs |= two ^ pair;
        }
        if (x < ink.width()) differs |= reinterpret_cast<const QRgb*>(row)[x] ^ background;
    }
    if (differs) return false;
    for (const Cell& cell : c.cells) {
        const QChar digit = text.at(cell.index);
        if (digit != c.shownText.at(cell.index))
            copyColumns(c.digits[static_cast<size_t>(digit.unicode() - '0')], c.shown, cell.left, cell.width, c.top,
                        c.bottom);
    }
    c.shownText = text;
    if (!c.ink.isEmpty()) painter->drawImage(QPointF(layout.rect.topLeft() + c.ink.topLeft()), c.shown, c.ink);
    return true;
}

// ---- ReadoutLabel ----

ReadoutLabel::ReadoutLabel(QWidget* parent) : QLabel(parent) {
    // Filled here rather than by the window, which would take a painter of its own for it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(true);
}

bool ReadoutLabel::plainText() const {
    // A label holds a text, a pixmap, a picture or a movie, one at a time: with a text it has none of the others.
    const QString shown = text();
    const bool rich = textFormat() == Qt::RichText || (textFormat() == Qt::AutoText && Qt::mightBeRichText(shown));
    return !shown.isEmpty() && !rich && !wordWrap() && !buddy() &&
           !(textInteractionFlags() & (Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard)) &&
           !sheetStyle();  // a style sheet may give the text another palette
}

bool ReadoutLabel::sheetStyle() const {
    // Looked up by class name once per style the label is given.
    QStyle* now = style();
    if (now != sheetChecked_) {
        sheetChecked_ = now;
        sheet_ = now->inherits("QStyleSheetStyle");
    }
    return sheet_;
}

void ReadoutLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::StyleChange) sheetChecked_ = nullptr;
    QLabel::changeEvent(event);
}

void ReadoutLabel::paintEvent(QPaintEvent* event) {
    const QBrush background = palette().brush(backgroundRole());
    const QRegion& region = event->region();
    auto fill = [&](QPainter& painter) {
        // As the window fills a widget's background.
        if (background.style() == Qt::TexturePattern) {
            painter.save();
            painter.setClipRegion(region);
            painter.drawTiledPixmap(region.boundingRect(), background.texture(), region.boundingRect().topLeft());
            painter.restore();
        } else if (background.gradient() && (background.gradient()->coordinateMode() == QGradient::ObjectBoundingMode ||
                                             background.gradient()->coordinateMode() == QGradient::ObjectMode)) {
            painter.save();
            painter.setClipRegion(region);
            painter.fillRect(rect(), background);
            painter.restore();
        } else {
            for (const QRect& r : region) painter.fillRect(r, background);
        }
    };
    if (!plainText()) {
        {
            QPainter painter(this);
            fill(painter);
            // And what the window draws behind a styled widget: a style sheet's background and border.
            if (testAttribute(Qt::WA_StyledBackground)) {
                QStyleOption option;
                option.initFrom(this);
                style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
            }
        }
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    fill(painter);
    if (frameShape() != QFrame::NoFrame) drawFrame(&painter);
    const QString shown = text();
    // The text's rectangle and flags, as a label lays out plain text.
    const Qt::LayoutDirection direction = shown.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight;
    const int align = QStyle::visualAlignment(direction, alignment()) | Qt::TextExpandTabs;
    QRect box = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    int inset = indent();
    if (inset < 0 && frameWidth()) inset = fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2 - margin();
    if (inset > 0) {
        if (align & Qt::AlignLeft) box.setLeft(box.left() + inset);
        if (align & Qt::AlignRight) box.setRight(box.right() - inset);
        if (align & Qt::AlignTop) box.setTop(box.top() + inset);
        if (align & Qt::AlignBottom) box.setBottom(box.bottom() - inset);
    }
    const int flags = align | (direction == Qt::LeftToRight ? Qt::TextForceLeftToRight : Qt::TextForceRightToLeft);
    style()->drawItemText(&painter, box, flags, palette(), isEnabled(), shown, foregroundRole());
}
