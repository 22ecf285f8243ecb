#include "cdariduruapp.h"

#include "agentlinkops_product.h"
#include "cdariduruDlg.h"
#include "settingsstore.h"
#include "sound/soundplayer.h"

#include <cstdio>

CDarIduruApp::CDarIduruApp(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("QuillonAgent"));
    setOrganizationName(QStringLiteral("Quillon"));
    setApplicationVersion(QStringLiteral(QUILLON_VERSION_STRING));
    setDesktopFileName(QStringLiteral("quillon-agent"));
}

int CDarIduruApp::StartApplication()
{
    installProductAgentLinkOps();
    installProductSoundPlayer();
    CDarIduruDlg window;
    const int result = window.DoModal();
    settings::flush();
    std::fflush(nullptr);
    return result == QDialog::Accepted ? 0 : 1;
}
