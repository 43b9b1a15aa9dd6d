// Readouts that change many times a second (the surfaces' P-V and RMS, the Zernike terms' values) draw their text
// without laying it out again: the layout of a text depends only on which characters are digits, so it is made
// once per such pattern, and each new value only swaps the digits' glyphs. On an opaque background of one colour
// the digits are not even blended: each is copied from pictures of the text made once with every digit the same.
#pragma once

#include <QFont>
#include <QGlyphRun>
#include <QImage>
#include <QLabel>
#include <QString>
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
    // How many of the kept layouts' texts were copied from pictures rather than drawn glyph by glyph.
    int copiedTexts() const { return copied_; }

private:
    struct Line {
        QPointF origin;
        QGlyphRun run;  // glyphs of the pattern, one per character, at their positions
        int first = 0;  // the line's first character in the text; -1 for a line without digits
    };
    // Pictures of a kept layout's text on one background in one colour: the text with every digit d
    // (digits[d]), each digit's column span in them, and the picture last shown.
    struct Cell {
        int index = 0;  // the digit's character in the text
        int left = 0, width = 0;  // its columns
    };
    struct Canvas {
        bool made = false, usable = false;
        int draws = 0;  // times the text was drawn without pictures
        QRgb background = 0, pen = 0;
        int format = 0;
        int hints = 0;
        std::array<QImage, 10> digits;
        std::vector<Cell> cells;
        int top = 0, bottom = 0;  // the rows in which the digits differ
        QRect ink;                // the pixels any digit or other character inks
        QImage shown;
        QString shownText;
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
        qreal digitAdvance = 0;
        Canvas canvas;
    };

    Layout& layoutFor(const QString& pattern, const QRect& rect, int flags, const QFont& font) const;
    static Layout makeLayout(const QString& pattern, const QRect& rect, int flags, const QFont& font);
    // The text drawn glyph by glyph from its kept layout, with the painter's pen.
    static void drawLines(QPainter* painter, const Layout& layout, const QString& text);
    // The text copied from the layout's pictures when the painter draws opaque pixels of one colour under it;
    // false, with nothing drawn, where that does not hold.
    static bool copyText(QPainter* painter, Layout& layout, const QString& text, const QColor& pen);
    static void makeCanvas(Layout& layout, QRgb background, const QColor& pen, QImage::Format format, int hints);

    mutable std::vector<Layout> layouts_;  // the latest first
    mutable int kept_ = 0, full_ = 0, copied_ = 0;
    mutable int usualBase_ = -1;  // whether the style underneath draws text as the painter does; -1 not yet known
};

// A label for such readouts: opaque, it fills its own background and draws its frame and text with one painter
// (a label filled by the window and then painted needs two). It looks exactly as a QLabel filled with its
// background; anything but plain text (pictures, rich text, selectable text, mnemonics, wrapped lines) is drawn
// by QLabel itself.
class ReadoutLabel : public QLabel {
    Q_OBJECT
public:
    explicit ReadoutLabel(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    bool plainText() const;
    bool sheetStyle() const;
    mutable QStyle* sheetChecked_ = nullptr;  // the style sheet_ was told for
    mutable bool sheet_ = false;
};
