// The forced upgrade hands the server's download location to the desktop's
// default "open" action, but only an absolute http or https URL: server
// text is never handed to a program launcher otherwise.
#pragma once

#include <QString>
#include <functional>

// True when text is an absolute http:// or https:// URL with a host.
bool isOpenableUpgradeUrl(const QString& text);
// Opens the location when it is openable; returns whether it was handed on.
bool openUpgradeLocation(const QString& text);
// Replaces the desktop's open action (tests record the call); an empty
// function restores QDesktopServices::openUrl.
void setUpgradeOpener(std::function<void(const QString& url)> opener);
