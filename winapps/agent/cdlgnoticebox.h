// CDlgNoticeBox: the modeless "Notice Box" that collects the messages of the
// system manager, each under a time-stamped red header line.
#pragma once

#include "quillondialog.h"

#include <QDateTime>

class CColorListBox;

class CDlgNoticeBox : public QuillonDialog {
    Q_OBJECT
public:
    enum { IDD = 132, IDC_LIST = 1043 };
    // Longest piece of message text on one line.
    static constexpr int kPieceLength = 70;
    static constexpr uint32_t kHeaderColor = 0x0000FF;   // 0x00BBGGRR: red
    static constexpr uint32_t kTextColor = 0x010101;

    explicit CDlgNoticeBox(QWidget* parent = nullptr);

    // Adds the header line stamped with now, then the text in pieces of at
    // most 70 characters, each as "   %s"; the last line is kept in view.
    void AddMessage(const QString& text);
    void AddMessage(const QString& text, const QDateTime& now);
    // Shows the box and brings it to the front.
    void ShowBox();

    CColorListBox* list() const { return list_; }

protected:
    void accept() override;
    void reject() override;

private:
    void addLine(const QString& line, uint32_t bgrColor);

    CColorListBox* list_;
};
