#include "captionreportlink.h"

#include "pos.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QTcpSocket>
#include <mutex>

namespace {

// Guards the target against a link being destroyed while the agent task
// copies to it; held only for the queueing of one copy.
std::mutex g_targetLock;
CaptionReportLink* g_target = nullptr;

}  // namespace

CaptionReportLink::CaptionReportLink(QObject* parent) : QObject(parent) {}

CaptionReportLink::~CaptionReportLink()
{
    {
        std::lock_guard<std::mutex> lock(g_targetLock);
        if (g_target == this)
            g_target = nullptr;
    }
    dropSocket();
}

bool CaptionReportLink::isConnecting() const
{
    return socket_ && !up_.load() && socket_->state() != QAbstractSocket::UnconnectedState;
}

void CaptionReportLink::setFlag(bool on, const char* serverHost)
{
    flag_ = on;
    if (!on) {
        if (socket_) {
            posLogPrint("RPRT] caption report connection closed (%s)\n", qPrintable(peer_));
            dropSocket();
        }
        return;
    }
    if (up_.load() || socket_)
        return;   // up or on its way
    startConnect(QString::fromLatin1(serverHost ? serverHost : "").trimmed());
}

void CaptionReportLink::startConnect(const QString& host)
{
    QHostAddress address;
    if (host.isEmpty() || !address.setAddress(host)
        || address.protocol() != QAbstractSocket::IPv4Protocol) {
        ++failures_;
        posLogPrint("RPRT] caption report: no server address (\"%s\")\n", qPrintable(host.left(64)));
        return;
    }
    // The stenography listener of this client owns port 3321 on loopback:
    // connecting there would feed the copy back in as stenography input.
    if (address.isLoopback() && port_ == kReportPort) {
        ++failures_;
        posLogPrint("RPRT] caption report: %s:%d is this client's own stenography port, "
                    "not connected\n", qPrintable(host), port_);
        return;
    }
    peer_ = QStringLiteral("%1:%2").arg(host).arg(port_);
    socket_ = new QTcpSocket(this);
    QTcpSocket* s = socket_;
    connect(s, &QTcpSocket::connected, this, [this, s] {
        if (s != socket_)
            return;
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        up_ = true;
        posLogPrint("RPRT] caption report connection up (%s)\n", qPrintable(peer_));
        emit upChanged(true);
    });
    connect(s, &QTcpSocket::errorOccurred, this, [this, s](QAbstractSocket::SocketError) {
        if (s == socket_)
            markDown(up_.load() ? "lost" : "connect failed", s->errorString());
    });
    connect(s, &QTcpSocket::disconnected, this, [this, s] {
        if (s == socket_)
            markDown("lost", QStringLiteral("peer closed"));
    });
    // Anything the endpoint sends is not for us.
    connect(s, &QTcpSocket::readyRead, this, [s] { s->readAll(); });
    posLogPrint("RPRT] caption report connecting (%s)\n", qPrintable(peer_));
    s->connectToHost(address, quint16(port_));
}

void CaptionReportLink::copyBytes(const uint8_t* bytes, int length)
{
    if (!up_.load() || bytes == nullptr || length <= 0)
        return;
    QByteArray copy(reinterpret_cast<const char*>(bytes), length);
    QMetaObject::invokeMethod(this, [this, copy] { writeOnUiThread(copy); },
                              Qt::QueuedConnection);
}

void CaptionReportLink::writeOnUiThread(const QByteArray& bytes)
{
    if (!up_.load() || !socket_)
        return;
    if (socket_->write(bytes) != bytes.size()) {
        markDown("send failed", socket_->errorString());
        return;
    }
    if (socket_->bytesToWrite() > kMaxPendingBytes)
        markDown("send failed", QStringLiteral("endpoint not reading"));
}

void CaptionReportLink::markDown(const char* why, const QString& detail)
{
    ++failures_;
    posLogPrint("RPRT] caption report connection %s (%s): %s\n", why, qPrintable(peer_),
                qPrintable(detail));
    const bool wasUp = up_.load();
    dropSocket();
    if (wasUp)
        emit upChanged(false);
}

void CaptionReportLink::dropSocket()
{
    up_ = false;
    if (!socket_)
        return;
    QTcpSocket* s = socket_;
    socket_ = nullptr;
    s->disconnect(this);
    s->abort();
    s->deleteLater();
}

void CaptionReportLink::close()
{
    const bool wasUp = up_.load();
    if (socket_)
        posLogPrint("RPRT] caption report connection closed (%s)\n", qPrintable(peer_));
    dropSocket();
    if (wasUp)
        emit upChanged(false);
}

void CaptionReportLink::installHook(CaptionReportLink* link)
{
    setCaptionReportTarget(link);
}

void setCaptionReportTarget(CaptionReportLink* link)
{
    std::lock_guard<std::mutex> lock(g_targetLock);
    g_target = link;
}

CaptionReportLink* captionReportTarget()
{
    std::lock_guard<std::mutex> lock(g_targetLock);
    return g_target;
}

void captionReportHook(const uint8_t* bytes, int length)
{
    std::lock_guard<std::mutex> lock(g_targetLock);
    if (g_target)
        g_target->copyBytes(bytes, length);
}
