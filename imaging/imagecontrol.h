#pragma once

// The image control: holds one page image, converts its depth, hands bitmaps
// to another instance, saves to and loads from memory buffers, and shows the
// page fitted, zoomed and panned. The main window holds two: the display
// (ImagXpress7_1) and a hidden one that keeps the page unaltered
// (ImagXpress7_2).

#include "eval/labelmap.h"

#include <QAbstractScrollArea>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace corvanel::imaging {

// A bitmap copied out of one control for another (what CopyDIB returns and
// hDIB takes). Move-only; owned by whoever holds it.
class Bitmap {
public:
    Bitmap() = default;
    explicit Bitmap(QImage image) : image_(std::move(image)) {}
    Bitmap(Bitmap&&) noexcept = default;
    Bitmap& operator=(Bitmap&&) noexcept = default;
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;
    bool isNull() const { return image_.isNull(); }
    const QImage& image() const { return image_; }
    QImage release() { return std::move(image_); }

private:
    QImage image_;
};

// An image saved into memory by SaveFile. Move-only. Its last
// width x height bytes are the 8-bit pixels (palette indexes), `width` bytes a
// row, top row first, no padding; what comes before them describes the image
// (size and palette) for LoadBuffer.
class SavedBuffer {
public:
    SavedBuffer() = default;
    SavedBuffer(SavedBuffer&&) noexcept = default;
    SavedBuffer& operator=(SavedBuffer&&) noexcept = default;
    SavedBuffer(const SavedBuffer&) = delete;
    SavedBuffer& operator=(const SavedBuffer&) = delete;

    std::size_t size() const { return bytes_.size(); }
    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    bool empty() const { return bytes_.empty(); }

private:
    friend class ImageControl;
    std::vector<std::uint8_t> bytes_;
};

class ImageControl : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit ImageControl(QWidget* parent = nullptr);
    ~ImageControl() override;

    // FileName: loads the image at `path` (TIFF including 1-bit CCITT group 4,
    // PNG, BMP, JPEG and whatever Qt's plugins read) and shows it. On failure
    // the control keeps no image (IWidth and IHeight are 0) and lastError()
    // says why, in a sentence fit for a message box.
    bool setFileName(const std::filesystem::path& path);
    std::filesystem::path fileName() const { return fileName_; }
    const QString& lastError() const { return lastError_; }

    std::int32_t IWidth() const;
    std::int32_t IHeight() const;
    std::int16_t IBPP() const;  // bits per pixel: 1, 8, 24 or 32; 0 when empty
    bool hasImage() const;
    const QImage& image() const;

    // Converts the image held, in place. bits 1: black and white (palette,
    // dither ignored: a threshold at mid grey). bits 8: 256-entry palette of
    // our choice: index 0 black, 255 white, 1 an outline colour that stands
    // out from all others, every other index a distinct saturated colour;
    // the page's black and white pixels become indexes 0 and 255 (of a 1-bit
    // image the darker palette entry is the ink; other images are thresholded
    // at mid grey first). bits 24 and 32: true colour. Other values: no change.
    void ColorDepth(int bits, int palette, int dithered);

    // A copy of the image held, for another control's setHDIB.
    Bitmap CopyDIB() const;
    // Takes over `bitmap` as the image held and shows it.
    void setHDIB(Bitmap bitmap);

    // 0 none, 1 horizontal, 2 vertical, 3 both (shown when the page is larger
    // than the view).
    void setScrollBars(int mode);
    int scrollBars() const { return scrollBars_; }

    // 2: the whole page fitted into the view, aspect kept. Other modes are
    // taken as 2. The user zooms with the wheel and the +/= and - keys (never
    // out past the fit) and fits again with F or a double-click on the page.
    void ZoomToFit(int mode);
    double zoom() const { return zoom_; }
    // Zoom to `factor` keeping the image point under `viewPoint` in place.
    void zoomAround(double factor, QPointF viewPoint);
    // Zooms so that `imageRect` (image pixels) spans about a third of the
    // view, never below the fit zoom, and centres it as far as scrolling allows.
    void showRegion(const QRect& imageRect);

    // Shows `image`, a picture of the same page, instead of the image held,
    // which stays as it is: the I* properties, CopyDIB, SaveFile and the
    // loaders keep working on the held image while the view stays. Zoom and
    // fit follow the image shown. A null image clears the view.
    void setViewInstead(QImage image);
    void clearViewInstead();
    bool showsViewInstead() const { return !instead_.isNull(); }

    // An outline drawn around `imageRect` (image pixels, inclusive), outside
    // it; std::nullopt removes it.
    void setHighlight(std::optional<QRect> imageRect);
    std::optional<QRect> highlight() const { return highlight_; }

    // The pixel of the shown image under a viewport point; nullopt off the page.
    std::optional<QPoint> imagePixelAt(QPointF viewPoint) const;

    // Save settings and SaveFile. With SaveToBuffer true, SaveFile writes the
    // image held into a new buffer, taken with takeSaveBuffer(): an 8-bit
    // image with its own palette, any other as ColorDepth(8) would convert it
    // (the image held stays as it is). SaveFileType and SaveTIFFCompression
    // are kept for the callers that set them; the buffer layout is fixed.
    // False, with lastError(), without SaveToBuffer or without an image.
    void setSaveToBuffer(bool on) { saveToBuffer_ = on; }
    void setSaveFileType(int type) { saveFileType_ = type; }
    void setSaveTIFFCompression(int compression) { saveTIFFCompression_ = compression; }
    bool SaveFile();
    std::optional<SavedBuffer> takeSaveBuffer();

    // Loads and shows the image in a buffer saved by SaveFile (of this or
    // another control). The caller keeps the buffer. False when the buffer
    // does not hold such an image; the image held then stays.
    bool LoadBuffer(const SavedBuffer& buffer);

    // Offset of the first pixel byte in a saved buffer: its size less
    // width x height; the buffer's size when it holds fewer bytes than that.
    static std::size_t pixelOffset(const SavedBuffer& buffer, std::int32_t width, std::int32_t height);

signals:
    // The pointer moved over `imagePixel` of the shown image.
    void pixelHovered(QPoint imagePixel);
    // The pointer left the page or the view.
    void hoverLeft();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    struct Impl;
    const QImage& shown() const { return instead_.isNull() ? image_ : instead_; }
    void imageChanged();
    void shownChanged();
    void updateScrollBars();
    double fitZoom() const;
    void zoomBy(double notches, QPointF viewPoint);
    void hoverAt(QPointF viewPoint);
    QSize scaledSize() const;
    QPoint pageOrigin() const;

    std::filesystem::path fileName_;
    QString lastError_;
    QImage image_;
    QImage instead_;
    std::optional<QRect> highlight_;
    int scrollBars_ = 0;
    double zoom_ = 1.0;
    bool fitted_ = true;
    bool saveToBuffer_ = false;
    int saveFileType_ = 0;
    int saveTIFFCompression_ = 0;
    std::optional<SavedBuffer> saved_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace corvanel::imaging
