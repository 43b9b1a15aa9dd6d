// Readouts that change many times a second (the surfaces' P-V and RMS, the Zernike terms' values) draw their text
// without laying it out again: the layout of a text depends only on which characters are digits, so it is made
// once per such pattern, and each new value only swaps the digits' glyphs.
#pragma once

#include <QFont>
#include <QGlyphRun>
#include <QProxyStyle>
#include <QRect>

#include <array>
#include <vector>

class ReadoutStyle : public QProxyStyle {
    Q_OBJECT
public:
    // Draws as `base` does (this style takes it over); null gives the application's style.
    explicit ReadoutStyle(QStyle* base = nullptr);

    void drawItemText(QPainter* painter, const QRect& rect, int flags, const QPalette& pal, bool enabled,
                      const QString& text, QPalette::ColorRole textRole = QPalette::NoRole) const override;

    // How many texts were drawn from a kept layout, and how many were laid out in full.
    int keptLayouts() const { return kept_; }
    int fullLayouts() const { return full_; }

private:
    struct Line {
        QPointF origin;
        QGlyphRun run;  // glyphs of the pattern, one per character, at their positions
        int first = 0;  // the line's first character in the text; -1 for a line without digits
    };
    struct Layout {
        QString pattern;
        QRect rect;
        int flags = 0;
        QFont font;
        bool usable = false;
        bool clip = false;
        std::vector<Line> lines;
        std::array<quint32, 10> digits{};  // glyph of each digit, all as wide as the pattern's '0'
    };

    const Layout& layoutFor(const QString& pattern, const QRect& rect, int flags, const QFont& font) const;
    static Layout makeLayout(const QString& pattern, const QRect& rect, int flags, const QFont& font);

    mutable std::vector<Layout> layouts_;  // the latest first
    mutable int kept_ = 0, full_ = 0;
    mutable int usualBase_ = -1;  // whether the style underneath draws text as the painter does; -1 not yet known
};
