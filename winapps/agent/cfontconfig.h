// CFontConfig: the modal "Font Configuration" dialog of the caption screen:
// face, size, text colour and background with a live preview. Apply (either
// Apply button) hands the four values to the console, writes them to the
// settings store and reformats the caption screen; any other way out
// writes nothing.
#pragma once

#include "quillondialog.h"

#include <QColor>
#include <cstdint>
#include <functional>

class QComboBox;
class QTextEdit;
class UserScreenDisplay;

class CFontConfig : public QuillonDialog {
    Q_OBJECT
public:
    enum {
        IDD = 143,
        IDC_TEXT_COLOR = 1050,
        IDC_SCREEN_COLOR = 1071,
        IDC_FACE = 1072,
        IDC_SIZE = 1073,
        IDC_PREVIEW = 1074,
        IDC_APPLY2 = 1049,
    };
    static constexpr char kSampleText[] = "Hi. This is sample Text.";

    // The platform's colour chooser: returns true and sets *chosen on OK.
    using ColorChooser = std::function<bool(QWidget* parent, const QColor& initial, QColor* chosen)>;
    // Replaces the chooser (tests); an empty function restores QColorDialog.
    static void setColorChooser(ColorChooser chooser);

    // screen: the caption screen to reformat on Apply (may be null).
    explicit CFontConfig(UserScreenDisplay* screen, QWidget* parent = nullptr);

    int sizeIndex() const { return sizeIdx_; }
    int faceIndex() const { return faceIdx_; }
    uint32_t textColor() const { return textColor_; }
    uint32_t backgroundColor() const { return bgColor_; }
    QTextEdit* preview() const { return preview_; }

    void OnTextColor();
    void OnScreenColor();
    void OnApply();

private:
    void formatPreview();
    bool chooseColor(uint32_t* bgr);

    UserScreenDisplay* screen_;
    QComboBox* faceCombo_;
    QComboBox* sizeCombo_;
    QTextEdit* preview_;
    int sizeIdx_ = 3;
    int faceIdx_ = 0;
    uint32_t textColor_ = 0;
    uint32_t bgColor_ = 0xFFFFFF;
};
