// CColorListBox: a list whose lines each carry their own text colour
// (0x00BBGGRR; 0 means the system colours). A selected line is filled with
// its own colour and drawn in the inverted colour; a disabled list draws
// grey text.
#pragma once

#include <QListWidget>
#include <QStyledItemDelegate>
#include <cstdint>

class CColorListBox : public QListWidget {
    Q_OBJECT
public:
    // Item data role holding the line colour (0x00BBGGRR as uint).
    static constexpr int kColorRole = Qt::UserRole + 1;

    explicit CColorListBox(QWidget* parent = nullptr);

    // Appends a line; returns its index.
    int AddString(const QString& text, uint32_t bgrColor = 0);
    int GetCount() const { return count(); }
    QString GetText(int index) const;
    uint32_t GetItemColor(int index) const;
    void SetCurSel(int index);
    int GetCurSel() const { return currentRow(); }
    // Expand tab characters when drawing (the list uses tab stops).
    void SetUseTabStops(bool on) { useTabStops_ = on; viewport()->update(); }
    bool UseTabStops() const { return useTabStops_; }

    // The colours a line is drawn with; an invalid index gives invalid colours.
    QColor lineFillColor(int index, bool selected) const;
    QColor lineTextColor(int index, bool selected, bool enabled) const;
    // Height of every line.
    int lineHeight() const;

private:
    bool useTabStops_ = false;
};

// Draws the lines of a CColorListBox.
class CColorListBoxDelegate : public QStyledItemDelegate {
public:
    explicit CColorListBoxDelegate(CColorListBox* list);
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    CColorListBox* list_;
};
