// CDlgServerConfig: the small modal "Server Configure" dialog reached from
// the login dialog's hidden corner. It chooses between the two configured
// servers and edits their names; OK writes Locale and the three names.
#pragma once

#include "quillondialog.h"

class QLineEdit;
class QRadioButton;

struct ServerNames {
    QString ipsvr1;
    QString ipsvr2;
    QString ipsvr1log;
};

class CDlgServerConfig : public QuillonDialog {
    Q_OBJECT
public:
    enum {
        IDD = 133,
        IDC_RADIO1 = 1051,
        IDC_RADIO2 = 1052,
        IDC_SERVER1 = 1053,
        IDC_SERVER2 = 1054,
        IDC_LOGSERVER = 1055,
        IDC_UNUSED_IP = 1056,
    };

    // names: the main window's copies of IPSVR1, IPSVR2 and IPSVR1LOG.
    explicit CDlgServerConfig(const ServerNames& names, QWidget* parent = nullptr);

    int selection() const { return selection_; }
    const ServerNames& names() const { return names_; }

    void OnRadio1();
    void OnRadio2();

protected:
    void accept() override;

private:
    int selection_ = 0;
    ServerNames names_;
    QRadioButton* radio1_;
    QRadioButton* radio2_;
    QLineEdit* server1_;
    QLineEdit* server2_;
    QLineEdit* logServer_;
};
