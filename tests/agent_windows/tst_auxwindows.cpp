// Notice box, caption screen, font configuration and progress popup.
#include "captionformat.h"
#include "ccolorlistbox.h"
#include "cdlgnoticebox.h"
#include "cfontconfig.h"
#include "dlgprogress.h"
#include "qcolors.h"
#include "userscreendisplay.h"
#include "windowtest.h"

#include <QComboBox>
#include <QLabel>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QPointer>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTextEdit>
#include <QThread>

using namespace settings;

class TestAuxWindows : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        windowtest::clearStore();
        windowtest::resetContext();
        CFontConfig::setColorChooser({});
    }

    // ---- notice box ----
    void noticeSplitsIntoPiecesOfSeventy()
    {
        CDlgNoticeBox box;
        QCOMPARE(box.windowTitle(), QStringLiteral("Notice Box"));
        QCOMPARE(box.control(1043), static_cast<QWidget*>(box.list()));
        QString text;
        for (int i = 0; i < 150; ++i)
            text += QChar(u'a' + i % 26);
        box.AddMessage(text, QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7)));
        CColorListBox* list = box.list();
        QCOMPARE(list->GetCount(), 4);
        QCOMPARE(list->GetText(0), QStringLiteral("[03/04 05:06:07] Message from System Manager"));
        QCOMPARE(list->GetItemColor(0), 0x0000FFu);
        QCOMPARE(list->GetText(1), "   " + text.mid(0, 70));
        QCOMPARE(list->GetText(2), "   " + text.mid(70, 70));
        QCOMPARE(list->GetText(3), "   " + text.mid(140));
        QCOMPARE(list->GetText(3).size(), 13);
        for (int i = 1; i < 4; ++i)
            QCOMPARE(list->GetItemColor(i), 0x010101u);
        QCOMPARE(list->GetCurSel(), 3);
    }

    void noticeEdgeLengths()
    {
        CDlgNoticeBox box;
        box.AddMessage(QString());   // only the header
        QCOMPARE(box.list()->GetCount(), 1);
        QVERIFY(QRegularExpression("^\\[\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\] Message from System Manager$")
                    .match(box.list()->GetText(0))
                    .hasMatch());
        box.AddMessage(QString(70, u'x'));   // exactly one piece
        QCOMPARE(box.list()->GetCount(), 3);
        QCOMPARE(box.list()->GetText(2), "   " + QString(70, u'x'));
        box.AddMessage(QString(71, u'y'));
        QCOMPARE(box.list()->GetCount(), 6);
        QCOMPARE(box.list()->GetText(5), QStringLiteral("   y"));
        QCOMPARE(box.list()->GetCurSel(), 5);
        // Lines are only added: the first message is still there.
        QCOMPARE(box.list()->GetText(2), "   " + QString(70, u'x'));
    }

    void noticeBoxHidesInsteadOfClosing()
    {
        CDlgNoticeBox box;
        box.ShowBox();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        QTest::keyClick(&box, Qt::Key_Escape);
        QVERIFY(!box.isVisible());
        box.ShowBox();
        QVERIFY(box.isVisible());
    }

    // ---- caption screen ----
    void captionScreenOpensWhereTheStoreSays()
    {
        UserScreenDisplay screen;
        QCOMPARE(screen.windowTitle(), QStringLiteral("Caption Screen"));
        QCOMPARE(screen.control(1069), static_cast<QWidget*>(screen.edit()));
        QCOMPARE(screen.pos(), QPoint(100, 100));
        QCOMPARE(screen.size(), QSize(480, 500));
        QVERIFY(!screen.isVisible());
        QVERIFY(!screen.visibleFlag());
        // It cannot be made smaller than the kept client rectangle.
        screen.resize(10, 10);
        QCOMPARE(screen.size(), screen.keptMinimumSize());
        // The edit control follows the window.
        screen.ClearAndShow();
        QVERIFY(QTest::qWaitForWindowExposed(&screen));
        screen.resize(600, 400);
        QTRY_COMPARE(screen.edit()->size(), QSize(600, 400));
    }

    void captionScreenWritesItsPositionBack()
    {
        windowtest::writeRaw(kInitialization, kScreenHorizPos, 40);
        windowtest::writeRaw(kInitialization, kScreenVertPos, 60);
        windowtest::writeRaw(kInitialization, kScreenWidth, 300);
        windowtest::writeRaw(kInitialization, kScreenHeight, 200);
        {
            UserScreenDisplay screen;
            QCOMPARE(screen.pos(), QPoint(40, 60));
            QCOMPARE(screen.size(), QSize(300, 200));
            screen.move(70, 80);
            screen.resize(320, 240);
        }
        QCOMPARE(readInt(kInitialization, kScreenHorizPos, 0), 70);
        QCOMPARE(readInt(kInitialization, kScreenVertPos, 0), 80);
        QCOMPARE(readInt(kInitialization, kScreenWidth, 0), 320);
        QCOMPARE(readInt(kInitialization, kScreenHeight, 0), 240);
        // A stored size that is unusable is kept inside sane bounds.
        windowtest::writeRaw(kInitialization, kScreenWidth, -5);
        windowtest::writeRaw(kInitialization, kScreenHeight, 2000000000);
        UserScreenDisplay odd;
        QCOMPARE(odd.width(), odd.keptMinimumSize().width());
        QVERIFY(odd.height() <= 16000);
    }

    void captionScreenNeverOpensOffEveryScreen_data()
    {
        QTest::addColumn<int>("left");
        QTest::addColumn<int>("top");
        QTest::addColumn<bool>("kept");
        QTest::newRow("far right, far up") << 2147483647 << -50000 << false;
        QTest::newRow("far left") << -50000 << 100 << false;
        QTest::newRow("far down right") << 100000 << 100000 << false;
        QTest::newRow("int limits") << int(-2147483647 - 1) << 2147483647 << false;
        QTest::newRow("partly on the screen") << -300 << 50 << true;
    }

    void captionScreenNeverOpensOffEveryScreen()
    {
        QFETCH(int, left);
        QFETCH(int, top);
        QFETCH(bool, kept);
        windowtest::writeRaw(kInitialization, kScreenHorizPos, left);
        windowtest::writeRaw(kInitialization, kScreenVertPos, top);
        const QRect primary = QGuiApplication::primaryScreen()->availableGeometry();
        {
            UserScreenDisplay screen;
            if (kept) {
                QCOMPARE(screen.pos(), QPoint(left, top));
            } else {
                QVERIFY(primary.contains(screen.pos()));
                QVERIFY(primary.intersects(screen.frameGeometry()));
            }
        }
        // Not moved by the agent: the store keeps what it held.
        QCOMPARE(readInt(kInitialization, kScreenHorizPos, 0), left);
        QCOMPARE(readInt(kInitialization, kScreenVertPos, 0), top);
        // Moved by the agent: the new place is written.
        {
            UserScreenDisplay screen;
            screen.move(primary.topLeft() + QPoint(7, 9));
        }
        QCOMPARE(readInt(kInitialization, kScreenHorizPos, 0), primary.x() + 7);
        QCOMPARE(readInt(kInitialization, kScreenVertPos, 0), primary.y() + 9);
    }

    void captionScreenCloseOnlyHides()
    {
        auto* screen = new UserScreenDisplay;
        QPointer<UserScreenDisplay> alive(screen);
        screen->ClearAndShow();
        QVERIFY(screen->visibleFlag());
        QVERIFY(QTest::qWaitForWindowExposed(screen));
        screen->close();
        QVERIFY(!screen->isVisible());
        QVERIFY(!screen->visibleFlag());
        QCoreApplication::processEvents();
        QVERIFY(alive);
        QTest::keyClick(screen, Qt::Key_Escape);
        QVERIFY(alive);
        delete screen;
    }

    void appendHandlesBackspaceAndCounts()
    {
        UserScreenDisplay screen;
        screen.ClearAndShow();
        screen.Append("hello ", 6);
        const int before = screen.count();
        QCOMPARE(before, 6);
        const char bytes[] = {'a', 'b', 0x08, 'c'};
        screen.Append(bytes, 4);
        QCOMPARE(screen.plainText(), QStringLiteral(" hello ac"));
        QCOMPARE(screen.count(), before + 2);
        // Two line feeds from the main window's timer.
        screen.Append("\n\n", 2);
        QCOMPARE(screen.plainText(), QStringLiteral(" hello ac\n\n"));
        // CR LF is one line end.
        screen.Append("x\r\ny", 4);
        QCOMPARE(screen.plainText(), QStringLiteral(" hello ac\n\nx\ny"));
    }

    void appendHoldsACharacterCutAtThePieceEnd()
    {
        UserScreenDisplay screen;
        screen.ClearScreen();
        const int start = screen.count();
        // "é" is C3 A9: the lead byte ends the first piece.
        screen.Append("caf\xC3", 4);
        QCOMPARE(screen.plainText(), QStringLiteral(" caf"));
        QCOMPARE(screen.pendingBytes(), QByteArray("\xC3"));
        screen.Append("\xA9!", 2);
        QCOMPARE(screen.plainText(), QString::fromUtf8(" caf\xC3\xA9!"));
        QCOMPARE(screen.count(), start + 3 + 2 + 1);
        // A three-byte character cut after its second byte.
        screen.Append("\xE4\xB8", 2);
        QCOMPARE(screen.pendingBytes().size(), 2);
        screen.Append("\xAD", 1);
        QVERIFY(screen.plainText().endsWith(QString::fromUtf8("\xE4\xB8\xAD")));
        QVERIFY(screen.pendingBytes().isEmpty());
        // A pending byte does not survive clearing.
        screen.Append("\xC3", 1);
        screen.ClearScreen();
        screen.Append("z", 1);
        QCOMPARE(screen.plainText(), QStringLiteral(" z"));
    }

    void appendShowsEachBadByteAsOneReplacement_data()
    {
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("count");
        const QString r(QChar::ReplacementCharacter);
        QTest::newRow("lead byte before a blank")
            << QByteArrayList{"caf\xE9 ok."} << " caf" + r + " ok." << 8;
        QTest::newRow("four-byte lead before text") << QByteArrayList{"x\xF0" "abcd."} << " x" + r + "abcd." << 7;
        QTest::newRow("continuation byte alone") << QByteArrayList{"\x80" "ab"} << " " + r + "ab" << 3;
        QTest::newRow("byte that never leads") << QByteArrayList{"\xFF" "a"} << " " + r + "a" << 2;
        QTest::newRow("overlong form") << QByteArrayList{"\xC0\xAF" "z"} << " " + r + r + "z" << 3;
        QTest::newRow("surrogate") << QByteArrayList{"\xED\xA0\x80"} << " " + r + r + r << 3;
        QTest::newRow("above U+10FFFF") << QByteArrayList{"\xF4\x90\x80\x80"} << " " + r + r + r + r << 4;
        QTest::newRow("sequence broken by text") << QByteArrayList{"\xE4\xB8" "x"} << " " + r + r + "x" << 3;
        QTest::newRow("broken across pieces") << QByteArrayList{"\xE4", "x"} << " " + r + "x" << 2;
        QTest::newRow("valid after a bad byte")
            << QByteArrayList{"\xE9\xC3\xA9"} << " " + r + QString::fromUtf8("\xC3\xA9") << 3;
    }

    void appendShowsEachBadByteAsOneReplacement()
    {
        QFETCH(QByteArrayList, pieces);
        QFETCH(QString, shown);
        QFETCH(int, count);
        UserScreenDisplay screen;
        screen.ClearScreen();
        for (const QByteArray& piece : pieces)
            screen.Append(piece.constData(), int(piece.size()));
        QCOMPARE(screen.plainText(), shown);
        QCOMPARE(screen.count(), count);
        QVERIFY(screen.pendingBytes().isEmpty());
    }

    // Backspaces with nothing counted keep the count at 0, and a CR LF cut
    // between two pieces is one line end, as it is in one piece.
    void appendCountAndLineEndsDoNotDependOnThePieces_data()
    {
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("count");
        QTest::newRow("backspaces before any text") << QByteArrayList{"\x08\x08\x08", "ab"} << "ab" << 2;
        QTest::newRow("backspaces past the text") << QByteArrayList{"a", "\x08\x08", "b"} << "b" << 1;
        QTest::newRow("CR LF in one piece") << QByteArrayList{"a\r\nb"} << " a\nb" << 4;
        QTest::newRow("CR LF cut between pieces") << QByteArrayList{"a\r", "\nb"} << " a\nb" << 4;
        QTest::newRow("CR at a piece end, then text") << QByteArrayList{"a\r", "b"} << " a\nb" << 3;
        QTest::newRow("LF CR is two line ends") << QByteArrayList{"a\n", "\rb"} << " a\n\nb" << 4;
    }

    void appendCountAndLineEndsDoNotDependOnThePieces()
    {
        QFETCH(QByteArrayList, pieces);
        QFETCH(QString, shown);
        QFETCH(int, count);
        UserScreenDisplay screen;
        screen.ClearScreen();
        for (const QByteArray& piece : pieces)
            screen.Append(piece.constData(), int(piece.size()));
        QCOMPARE(screen.plainText(), shown);
        QCOMPARE(screen.count(), count);
    }

    void appendSurvivesAnyPieces()
    {
        UserScreenDisplay screen;
        QRandomGenerator rng(20261210);
        // Valid UTF-8 cut at arbitrary points shows exactly the whole text.
        const QString whole = QString::fromUtf8("caf\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87 "
                                                "\xF0\x9F\x98\x80 na\xC3\xAFve text ");
        const QByteArray bytes = whole.toUtf8().repeated(20);
        for (int round = 0; round < 20; ++round) {
            screen.ClearScreen();
            int pos = 0;
            while (pos < bytes.size()) {
                const int n = qMin(int(rng.bounded(1, 9)), int(bytes.size()) - pos);
                screen.Append(bytes.constData() + pos, n);
                QVERIFY(screen.pendingBytes().size() <= 3);
                pos += n;
            }
            QCOMPARE(screen.plainText(), QStringLiteral(" ") + whole.repeated(20));
            QCOMPARE(screen.count(), int(bytes.size()));
        }
        // Arbitrary bytes never break it.
        for (int round = 0; round < 200; ++round) {
            QByteArray junk(int(rng.bounded(0, 40)), '\0');
            for (char& ch : junk)
                ch = char(rng.bounded(256));
            screen.Append(junk.constData(), int(junk.size()));
            QVERIFY(screen.pendingBytes().size() <= 3);
        }
        screen.Append(nullptr, 5);
        screen.Append("x", 0);
    }

    void appendFromATaskThread()
    {
        UserScreenDisplay screen;
        screen.ClearScreen();
        UserScreenDisplay::setTaskTarget(&screen);
        QThread* task = QThread::create([] {
            for (int i = 0; i < 20; ++i) {
                const QByteArray piece = QByteArray::number(i % 10);
                UserScreenDisplay::AppendFromTask(piece.constData(), int(piece.size()));
            }
        });
        task->start();
        QTRY_VERIFY_WITH_TIMEOUT(task->isFinished(), 10000);
        delete task;
        QCOMPARE(screen.plainText(), QStringLiteral(" 01234567890123456789"));
        UserScreenDisplay::setTaskTarget(nullptr);
        UserScreenDisplay::AppendFromTask("x", 1);   // no target: nothing
        QCOMPARE(screen.count(), 20);
    }

    void clearAndApplyFormat()
    {
        UserScreenDisplay screen;
        screen.Append("some text", 9);
        ConsoleContext& c = conContext();
        c.ScreenColorBg = 0x00FFFF;          // yellow
        c.ScreenColorFg = 0x0000FF;          // red
        c.ScreenFontSizeIdx = 11;            // 18 points
        c.ScreenFFontNameIdx = 14;           // "Verdana Bold"
        screen.ClearScreen();
        QCOMPARE(screen.plainText(), QStringLiteral(" "));
        QCOMPARE(screen.count(), 0);
        QCOMPARE(editBackground(screen.edit()), QColor(255, 255, 0));
        screen.Append("X", 1);
        QTextCursor cursor(screen.edit()->document());
        cursor.movePosition(QTextCursor::End);
        const QTextCharFormat f = cursor.charFormat();
        QCOMPARE(f.fontPointSize(), 18.0);
        QCOMPARE(f.foreground().color(), QColor(255, 0, 0));
        QCOMPARE(f.fontFamilies().toStringList().value(0), QStringLiteral("Verdana"));
        QCOMPARE(f.fontWeight(), int(QFont::Bold));
        QVERIFY(!f.fontUnderline());

        // Out-of-range indexes: face 0 and size index 3, the copies kept.
        c.ScreenFontSizeIdx = 99;
        c.ScreenFFontNameIdx = -4;
        screen.ApplyFormat();
        QCOMPARE(screen.currentFormat().fontPointSize(), 10.0);
        QCOMPARE(screen.currentFormat().fontFamilies().toStringList().value(0),
                 QStringLiteral("MS Gothic"));
        QCOMPARE(c.ScreenFontSizeIdx.load(), 99);
    }

    void textInTheBackgroundColourIsDrawnInAContrastingOne_data()
    {
        QTest::addColumn<int>("background");
        QTest::addColumn<int>("text");
        QTest::addColumn<QColor>("drawn");
        QTest::newRow("white on white") << 0xFFFFFF << 0xFFFFFF << QColor(0, 0, 0);
        QTest::newRow("black on black") << 0x000000 << 0x000000 << QColor(255, 255, 255);
        QTest::newRow("yellow on yellow") << 0x00FFFF << 0x00FFFF << QColor(0, 0, 0);
        QTest::newRow("dark blue on dark blue") << 0x800000 << 0x800000 << QColor(255, 255, 255);
        QTest::newRow("equal apart from the unused byte") << 0x00FFFFFF << int(0xFFFFFFFF) << QColor(0, 0, 0);
        QTest::newRow("red on yellow stays") << 0x00FFFF << 0x0000FF << QColor(255, 0, 0);
    }

    void textInTheBackgroundColourIsDrawnInAContrastingOne()
    {
        QFETCH(int, background);
        QFETCH(int, text);
        QFETCH(QColor, drawn);
        ConsoleContext& c = conContext();
        c.ScreenColorBg = background;
        c.ScreenColorFg = text;
        UserScreenDisplay screen;
        screen.ClearScreen();
        screen.Append("X", 1);
        QTextCursor cursor(screen.edit()->document());
        cursor.movePosition(QTextCursor::End);
        QCOMPARE(cursor.charFormat().foreground().color(), drawn);
        // The settings keep their values.
        QCOMPARE(c.ScreenColorFg.load(), text);
        QCOMPARE(c.ScreenColorBg.load(), background);
    }

    // ---- font configuration ----
    void fontConfigOpensWithTheConsoleCopies()
    {
        ConsoleContext& c = conContext();
        c.ScreenFontSizeIdx = 5;
        c.ScreenFFontNameIdx = 8;
        c.ScreenColorFg = 0x00FF00;
        c.ScreenColorBg = 0x000000;
        CFontConfig dlg(nullptr);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Font Configuration"));
        auto* face = dlg.controlAs<QComboBox>(1072);
        auto* size = dlg.controlAs<QComboBox>(1073);
        QCOMPARE(face->count(), 17);
        QCOMPARE(size->count(), 24);
        QCOMPARE(size->itemText(0), QStringLiteral("7"));
        QCOMPARE(size->itemText(23), QStringLiteral("30"));
        QCOMPARE(face->currentIndex(), 8);
        QCOMPARE(size->currentIndex(), 5);
        QCOMPARE(dlg.preview()->toPlainText(), QStringLiteral("Hi. This is sample Text."));
        QCOMPARE(editBackground(dlg.preview()), QColor(0, 0, 0));
        QTextCursor cursor(dlg.preview()->document());
        cursor.setPosition(3);
        QCOMPARE(cursor.charFormat().foreground().color(), QColor(0, 255, 0));
        QCOMPARE(cursor.charFormat().fontPointSize(), 12.0);
        QVERIFY(!dlg.preview()->textCursor().hasSelection());
        QVERIFY(!dlg.control(1049)->isVisibleTo(&dlg));
        QCOMPARE(dlg.controlAs<QPushButton>(1050)->text(), QStringLiteral("Text Color.."));
        QCOMPARE(dlg.controlAs<QPushButton>(1071)->text(), QStringLiteral("Screen Color.."));
    }

    void applyWithoutChangesRewritesTheFourSettings()
    {
        ConsoleContext& c = conContext();
        c.ScreenFontSizeIdx = 30;      // out of range: kept as it is
        c.ScreenFFontNameIdx = 2;
        c.ScreenColorFg = 0x123456;
        c.ScreenColorBg = 0x654321;
        UserScreenDisplay screen;
        CFontConfig dlg(&screen);
        QCOMPARE(dlg.controlAs<QComboBox>(1073)->currentIndex(), -1);
        QVERIFY(!windowtest::rawValue(kSettings, kScreenColorBg).isValid());
        dlg.controlAs<QPushButton>(1)->click();
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(readInt(kSettings, kScreenFontSizeIdx, -1), 30);
        QCOMPARE(readInt(kSettings, kScreenFFontNameIdx, -1), 2);
        QCOMPARE(readInt(kSettings, kScreenColorFg, -1), 0x123456);
        QCOMPARE(readInt(kSettings, kScreenColorBg, -1), 0x654321);
        // The caption screen took the format.
        QCOMPARE(editBackground(screen.edit()), qcolors::fromBgr(0x654321));
    }

    void choicesChangeThePreviewAndApplyWritesThem()
    {
        UserScreenDisplay screen;
        CFontConfig::setColorChooser([](QWidget*, const QColor&, QColor* chosen) {
            *chosen = QColor(0x33, 0x66, 0x99);
            return true;
        });
        CFontConfig dlg(&screen);
        dlg.controlAs<QPushButton>(1050)->click();
        QCOMPARE(dlg.textColor(), qcolors::toBgr(QColor(0x33, 0x66, 0x99)));
        CFontConfig::setColorChooser([](QWidget*, const QColor&, QColor*) { return false; });
        dlg.controlAs<QPushButton>(1071)->click();   // cancelled: unchanged
        QCOMPARE(dlg.backgroundColor(), 0xFFFFFFu);
        dlg.controlAs<QComboBox>(1072)->setCurrentIndex(13);
        dlg.controlAs<QComboBox>(1073)->setCurrentIndex(23);
        QCOMPARE(dlg.faceIndex(), 13);
        QCOMPARE(dlg.sizeIndex(), 23);
        QTextCursor cursor(dlg.preview()->document());
        cursor.setPosition(2);
        QCOMPARE(cursor.charFormat().fontPointSize(), 30.0);
        QCOMPARE(cursor.charFormat().foreground().color(), QColor(0x33, 0x66, 0x99));
        // The hidden Apply does the same as the visible one.
        dlg.controlAs<QPushButton>(1049)->click();
        QCOMPARE(readInt(kSettings, kScreenFFontNameIdx, -1), 13);
        QCOMPARE(readInt(kSettings, kScreenFontSizeIdx, -1), 23);
        QCOMPARE(uint32_t(readInt(kSettings, kScreenColorFg, -1)), qcolors::toBgr(QColor(0x33, 0x66, 0x99)));
        QCOMPARE(conContext().ScreenFFontNameIdx.load(), 13);
        QCOMPARE(screen.currentFormat().fontPointSize(), 30.0);
    }

    void closingOtherwiseWritesNothing()
    {
        CFontConfig dlg(nullptr);
        dlg.controlAs<QComboBox>(1073)->setCurrentIndex(0);
        dlg.reject();
        QVERIFY(!windowtest::rawValue(kSettings, kScreenFontSizeIdx).isValid());
        QCOMPARE(conContext().ScreenFontSizeIdx.load(), 3);
    }

    // ---- progress popup ----
    void popupClosesAfterItsLifetime()
    {
        QWidget parent;
        parent.resize(400, 300);
        parent.show();
        QElapsedTimer clock;
        clock.start();
        QPointer<DlgProgress> popup =
            DlgProgress::ShowProgress(&parent, "Call dropped(Something wrong progress)", 1500);
        QPointer<DlgProgress> second = DlgProgress::ShowProgress(&parent, "second", 200);
        QVERIFY(popup->isVisible());
        QCOMPARE(popup->windowTitle(), QString());
        QCOMPARE(popup->controlAs<QLabel>(1030)->text(),
                 QStringLiteral("Call dropped(Something wrong progress)"));
        QVERIFY(popup->isWindowTimerActive(101));
        QCOMPARE(popup->windowTimerInterval(101), 1500);
        QVERIFY(popup->windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(!popup->control(1)->isVisible() && !popup->control(2)->isVisible());
        // Several popups live side by side; the short one goes first.
        QTRY_VERIFY_WITH_TIMEOUT(second.isNull(), 3000);
        QVERIFY(!popup.isNull());
        QTRY_VERIFY_WITH_TIMEOUT(popup.isNull(), 6000);
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(elapsed >= 1500, qPrintable(QString::number(elapsed)));
        QVERIFY2(elapsed < 1500 + 2500, qPrintable(QString::number(elapsed)));
    }
};

QUILLON_WINDOW_TEST_MAIN(TestAuxWindows)
#include "tst_auxwindows.moc"
