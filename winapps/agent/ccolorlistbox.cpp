#include "ccolorlistbox.h"

#include "qcolors.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

CColorListBox::CColorListBox(QWidget* parent) : QListWidget(parent)
{
    setItemDelegate(new CColorListBoxDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

int CColorListBox::AddString(const QString& text, uint32_t bgrColor)
{
    auto* item = new QListWidgetItem(text);
    item->setData(kColorRole, uint(bgrColor & 0xFFFFFF));
    addItem(item);
    return count() - 1;
}

QString CColorListBox::GetText(int index) const
{
    const QListWidgetItem* it = item(index);
    return it ? it->text() : QString();
}

uint32_t CColorListBox::GetItemColor(int index) const
{
    const QListWidgetItem* it = item(index);
    return it ? uint32_t(it->data(kColorRole).toUInt()) : 0;
}

void CColorListBox::SetCurSel(int index)
{
    if (index < 0 || index >= count()) {
        clearSelection();
        return;
    }
    setCurrentRow(index);
    scrollToItem(item(index));
}

int CColorListBox::lineHeight() const
{
    // The height of a menu check mark on the original platform: a little
    // taller than the text.
    return qMax(fontMetrics().height() + 4, 16);
}

QColor CColorListBox::lineFillColor(int index, bool selected) const
{
    if (index < 0 || index >= count())
        return QColor();
    if (selected)
        return qcolors::fromBgr(GetItemColor(index));
    return palette().color(QPalette::Active, QPalette::Base);
}

QColor CColorListBox::lineTextColor(int index, bool selected, bool enabled) const
{
    if (index < 0 || index >= count())
        return QColor();
    const uint32_t color = GetItemColor(index);
    const QColor grey = palette().color(QPalette::Disabled, QPalette::Text);
    if (color != 0) {
        if (selected)
            return qcolors::inverted(qcolors::fromBgr(color));
        return enabled ? qcolors::fromBgr(color) : grey;
    }
    if (selected)
        return palette().color(QPalette::Active, QPalette::HighlightedText);
    return enabled ? palette().color(QPalette::Active, QPalette::Text) : grey;
}

CColorListBoxDelegate::CColorListBoxDelegate(CColorListBox* list)
    : QStyledItemDelegate(list), list_(list)
{
}

QSize CColorListBoxDelegate::sizeHint(const QStyleOptionViewItem& option,
                                      const QModelIndex& index) const
{
    const QString text = index.data(Qt::DisplayRole).toString();
    const int width = option.fontMetrics.horizontalAdvance(text) + 8;
    return QSize(width, list_->lineHeight());
}

void CColorListBoxDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const
{
    const int row = index.row();
    if (row < 0 || row >= list_->count())
        return;
    const bool selected = option.state & QStyle::State_Selected;
    const bool enabled = list_->isEnabled();

    painter->save();
    painter->fillRect(option.rect, list_->lineFillColor(row, selected));

    if ((option.state & QStyle::State_HasFocus) && list_->hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.QStyleOption::operator=(option);
        focus.backgroundColor = list_->lineFillColor(row, selected);
        list_->style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, list_);
    }

    QString text = index.data(Qt::DisplayRole).toString();
    int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;
    if (list_->UseTabStops())
        flags |= Qt::TextExpandTabs;
    else
        text.replace(u'\t', u' ');
    painter->setPen(list_->lineTextColor(row, selected, enabled));
    painter->setBackgroundMode(Qt::TransparentMode);
    const QRect textRect = option.rect.adjusted(2, 0, -2, 0);
    painter->drawText(textRect, flags, text);
    painter->restore();
}
