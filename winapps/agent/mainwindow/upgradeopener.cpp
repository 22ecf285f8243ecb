#include "upgradeopener.h"

#include "pos.h"

#include <QDesktopServices>
#include <QUrl>

namespace {

std::function<void(const QString&)>& opener()
{
    static std::function<void(const QString&)> f;
    return f;
}

}  // namespace

bool isOpenableUpgradeUrl(const QString& text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

bool openUpgradeLocation(const QString& text)
{
    if (!isOpenableUpgradeUrl(text)) {
        posLogPrint("CAPA] upgrade location is not an http(s) URL: not opened\n");
        return false;
    }
    if (opener())
        opener()(text.trimmed());
    else
        QDesktopServices::openUrl(QUrl(text.trimmed(), QUrl::StrictMode));
    return true;
}

void setUpgradeOpener(std::function<void(const QString& url)> f)
{
    opener() = std::move(f);
}
