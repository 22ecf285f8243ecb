// Shared set-up of the window tests: the offscreen platform, a settings
// store in a fresh temporary folder, and helpers to wait for conditions.
#pragma once

#include "concontext.h"
#include "settingsstore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>

namespace windowtest {

// Removes every key of the store.
inline void clearStore()
{
    QSettings store(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Quillon"),
                    QStringLiteral("QuillonAgent"));
    store.clear();
    store.sync();
}

// Reads a key straight from the file, bypassing the store's helpers.
inline QVariant rawValue(const char* section, const char* key)
{
    QSettings store(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Quillon"),
                    QStringLiteral("QuillonAgent"));
    return store.value(QString::fromLatin1(section) + u'/' + QString::fromLatin1(key));
}

inline void writeRaw(const char* section, const char* key, const QVariant& value)
{
    QSettings store(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Quillon"),
                    QStringLiteral("QuillonAgent"));
    store.setValue(QString::fromLatin1(section) + u'/' + QString::fromLatin1(key), value);
    store.sync();
}

// The console context as the main window leaves it after reading the
// caption screen settings of a fresh store.
inline void resetContext()
{
    conContextReset();
    ConsoleContext& c = conContext();
    c.useStenoSoftware = 1;
    c.ScreenColorBg = 0xFFFFFF;
    c.ScreenColorFg = 0;
    c.ScreenFontSizeIdx = 3;
    c.ScreenFFontNameIdx = 0;
}

}  // namespace windowtest

// main() of a window test: a temporary XDG_CONFIG_HOME (so the store lives
// there), the offscreen platform unless another was chosen, then QtTest.
#define QUILLON_WINDOW_TEST_MAIN(TestClass)                                   \
    int main(int argc, char** argv)                                           \
    {                                                                         \
        QTemporaryDir configHome;                                             \
        qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());          \
        if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))                   \
            qputenv("XDG_RUNTIME_DIR", configHome.path().toLocal8Bit());      \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                   \
            qputenv("QT_QPA_PLATFORM", "offscreen");                          \
        QApplication app(argc, argv);                                         \
        TestClass tc;                                                         \
        return QTest::qExec(&tc, argc, argv);                                 \
    }
