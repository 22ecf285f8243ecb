// The colour list and the blinking colour field.
#include "ccolorlistbox.h"
#include "ccolorstaticst.h"
#include "consoleevent.h"
#include "qcolors.h"
#include "quillondialog.h"
#include "windowtest.h"

#include <QImage>
#include <vector>

namespace {

class EventRecorder : public QObject {
public:
    std::vector<std::pair<int, uintptr_t>> seen;

protected:
    bool event(QEvent* e) override
    {
        if (ConsoleEvent::isConsoleEvent(e)) {
            auto* ce = static_cast<ConsoleEvent*>(e);
            seen.push_back({ce->message(), ce->wparam()});
            return true;
        }
        return QObject::event(e);
    }
};

// Counts the pixels of a colour inside a rectangle of an image.
int countColor(const QImage& image, const QRect& rect, const QColor& color, int tolerance = 8)
{
    int n = 0;
    const QRect r = rect.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (qAbs(c.red() - color.red()) <= tolerance &&
                qAbs(c.green() - color.green()) <= tolerance &&
                qAbs(c.blue() - color.blue()) <= tolerance)
                ++n;
        }
    return n;
}

}  // namespace

class TestColorControls : public QObject {
    Q_OBJECT
private slots:
    void listLineColours()
    {
        CColorListBox list;
        list.AddString("header", 0x0000FF);
        list.AddString("system", 0);
        QCOMPARE(list.GetCount(), 2);
        QCOMPARE(list.GetItemColor(0), 0x0000FFu);
        const QColor red(255, 0, 0);
        QCOMPARE(list.lineTextColor(0, false, true), red);
        QCOMPARE(list.lineFillColor(0, true), red);
        // Selected: each colour byte inverted, 0x00BBGGRR 0xFFFF00.
        QCOMPARE(list.lineTextColor(0, true, true), qcolors::fromBgr(0xFFFF00));
        const QColor grey = list.palette().color(QPalette::Disabled, QPalette::Text);
        QCOMPARE(list.lineTextColor(0, false, false), grey);
        // Line colour 0: the system colours.
        QCOMPARE(list.lineTextColor(1, false, true), list.palette().color(QPalette::Active, QPalette::Text));
        QCOMPARE(list.lineTextColor(1, true, true),
                 list.palette().color(QPalette::Active, QPalette::HighlightedText));
        QCOMPARE(list.lineTextColor(1, false, false), grey);
        QCOMPARE(list.lineFillColor(1, false), list.palette().color(QPalette::Active, QPalette::Base));
        // No line: nothing to draw.
        QVERIFY(!list.lineTextColor(5, false, true).isValid());
        QVERIFY(!list.lineFillColor(-1, false).isValid());
    }

    void listDrawsRedLinesAndSelectedLinesOnRed()
    {
        CColorListBox list;
        list.resize(300, 120);
        list.AddString("MMMMMMMMMMMMMMMMMMMM", 0x0000FF);
        list.AddString("MMMMMMMMMMMMMMMMMMMM", 0x0000FF);
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        list.SetCurSel(1);
        const QImage image = list.viewport()->grab().toImage();
        const QRect line0 = list.visualItemRect(list.item(0));
        const QRect line1 = list.visualItemRect(list.item(1));
        QVERIFY(line0.height() >= list.fontMetrics().height());
        // Unselected: red text on the window colour.
        QVERIFY(countColor(image, line0, QColor(255, 0, 0), 40) > 10);
        QVERIFY(countColor(image, line0, QColor(0, 255, 255), 40) == 0);
        // Selected: a red background with text in the inverted colour.
        QVERIFY(countColor(image, line1, QColor(255, 0, 0)) > line1.width() * line1.height() / 2);
        QVERIFY(countColor(image, line1, QColor(0, 255, 255), 40) > 10);
    }

    void listKeepsTheLastLineInViewWhenSelected()
    {
        CColorListBox list;
        list.resize(200, 80);
        list.show();
        for (int i = 0; i < 50; ++i)
            list.SetCurSel(list.AddString(QString("line %1").arg(i), 0x010101));
        QCOMPARE(list.GetCurSel(), 49);
        QVERIFY(list.viewport()->rect().intersects(list.visualItemRect(list.item(49))));
        QCOMPARE(list.GetText(49), QStringLiteral("line 49"));
    }

    void fieldStartsWithTheSystemColours()
    {
        CColorStaticST field("KA FAIL");
        QCOMPARE(field.currentTextColor(), field.palette().color(QPalette::ButtonText));
        QCOMPARE(field.BlinkTimerId(), 0);
        QCOMPARE(field.textPhase(), 0);
        QCOMPARE(field.textFormat(), Qt::PlainText);
        field.SetBkColor(qcolors::fromRgb(0xFF0000));
        field.SetTextColor(qcolors::fromRgb(0x010101));
        QCOMPARE(field.currentBkColor(), QColor(255, 0, 0));
        QCOMPARE(field.currentTextColor(), QColor(1, 1, 1));
        // The painted background is the field's colour.
        field.resize(80, 20);
        const QImage image = field.grab().toImage();
        QCOMPARE(image.pixelColor(2, 2), QColor(255, 0, 0));
    }

    void tickWithBothSwitchesOffChangesNothing()
    {
        EventRecorder parent;
        CColorStaticST field("x");
        field.SetBkBlinkColors(Qt::red, Qt::green);
        field.SetBlinkNotify(&parent);
        const QColor before = field.currentBkColor();
        for (int i = 0; i < 3; ++i)
            field.OnBlinkTimer();
        QCoreApplication::processEvents();
        QCOMPARE(field.textPhase(), 0);
        QCOMPARE(field.bkPhase(), 0);
        QCOMPARE(field.currentBkColor(), before);
        QVERIFY(parent.seen.empty());
    }

    void textBlinkNotifiesOnEveryOnPhase()
    {
        QuillonDialog dialog;
        EventRecorder parent;
        auto* field = new CColorStaticST("TRY", &dialog);
        dialog.registerControl(1021, field);
        field->SetTextBlinkColors(qcolors::fromRgb(0x010101), qcolors::fromRgb(0xE6E6E6));
        field->EnableTextBlink(true);
        field->SetBlinkNotify(&parent);
        std::vector<int> phases;
        for (int i = 0; i < 4; ++i) {
            field->OnBlinkTimer();
            phases.push_back(field->textPhase());
            QCOMPARE(field->currentTextColor(), qcolors::fromRgb(phases.back() ? 0xE6E6E6 : 0x010101));
        }
        QCOMPARE(phases, (std::vector<int>{1, 0, 1, 0}));
        QTRY_COMPARE(int(parent.seen.size()), 2);
        for (auto& s : parent.seen) {
            QCOMPARE(s.first, 1024);
            QCOMPARE(s.second, uintptr_t(1021));
        }
    }

    void backgroundBlinksOnItsOwnTimer()
    {
        EventRecorder parent;
        auto* field = new CColorStaticST("1");
        field->SetBkBlinkColors(qcolors::fromRgb(0xFF0000), qcolors::fromRgb(0x33FF00));
        field->EnableBkBlink(true);
        field->SetBlinkNotify(&parent, 1030);
        field->StartBlinkTimer(7, 30);
        QCOMPARE(field->BlinkTimerId(), 7);
        QTRY_VERIFY_WITH_TIMEOUT(parent.seen.size() >= 2, 5000);
        QCOMPARE(parent.seen[0].first, 1030);
        QCOMPARE(parent.seen[0].second, uintptr_t(0));   // no registered id
        QCOMPARE(field->textPhase(), 0);
        field->StopBlinkTimer();
        QCOMPARE(field->BlinkTimerId(), 0);
        const int phase = field->bkPhase();
        QTest::qWait(100);
        QCOMPARE(field->bkPhase(), phase);
        // Destroying a field whose timer runs stops it (nothing fires later).
        field->StartBlinkTimer(7, 10);
        delete field;
        parent.seen.clear();
        QTest::qWait(60);
        QVERIFY(parent.seen.empty());
    }
};

QUILLON_WINDOW_TEST_MAIN(TestColorControls)
#include "tst_colorcontrols.moc"
