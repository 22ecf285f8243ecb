// CaptionReportLink: the window-owned test connection that receives a copy
// of the raw stenography bytes while "Report Caption Text (For Test Only)"
// is checked. The socket lives on the window's thread and is fully
// asynchronous, so neither the window nor the agent task ever waits on the
// network: the agent task's copies are queued to the window's thread.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>

class QTcpSocket;

class CaptionReportLink : public QObject {
    Q_OBJECT
public:
    // The test endpoint listens on this port of the selected server.
    static constexpr int kReportPort = 3321;
    // Bytes waiting to be written beyond this count mean the endpoint has
    // stopped reading: the copy is given up (down, logged).
    static constexpr qint64 kMaxPendingBytes = 1 << 20;

    explicit CaptionReportLink(QObject* parent = nullptr);
    ~CaptionReportLink() override;

    // The main window's caption-report flag (the check box state).
    bool flag() const { return flag_.load(); }
    // True only after a successful connect, until it is closed or drops.
    bool isUp() const { return up_.load(); }
    // True while a connect is on its way.
    bool isConnecting() const;

    // Window thread. on: the flag is set and, unless the connection is up or
    // on its way, a connect to serverHost (a dotted IPv4 address) on port()
    // starts; a failure is logged and leaves the flag set. off: the flag is
    // cleared and any connection (or attempt) is closed.
    void setFlag(bool on, const char* serverHost);
    // Any thread (the agent task's): queues a copy of the bytes for the
    // connection; nothing happens unless it is up. A failed write closes the
    // connection, marks it down and logs.
    void copyBytes(const uint8_t* bytes, int length);
    // Window close: closes the connection (the flag keeps its value).
    void close();

    // Port of the test endpoint (kReportPort unless changed, e.g. by tests
    // whose loopback endpoint cannot use the stenography listener's port).
    int port() const { return port_; }
    void setPort(int port) { port_ = port; }

    // Lines written to the log, for the tests and displays.
    int failures() const { return failures_.load(); }

    // The link the hook reaches (nullptr: none); also sets the hook record's
    // member when the window's hooks are installed by installHook.
    static void installHook(CaptionReportLink* link);

signals:
    // Window thread: the connection came up or went down.
    void upChanged(bool up);

private:
    void startConnect(const QString& host);
    void writeOnUiThread(const QByteArray& bytes);
    void markDown(const char* why, const QString& detail);
    void dropSocket();

    QTcpSocket* socket_ = nullptr;
    int port_ = kReportPort;
    QString peer_;
    std::atomic<bool> flag_{false};
    std::atomic<bool> up_{false};
    std::atomic<int> failures_{0};
};

// The caption-report target of the agent task: the console context's
// reportCaptionBytes hook (captionReportHook) copies to it. Setting nullptr
// withdraws it; a link that is destroyed withdraws itself.
void setCaptionReportTarget(CaptionReportLink* link);
CaptionReportLink* captionReportTarget();
// The hook for ConsoleWindowHooks::reportCaptionBytes.
void captionReportHook(const uint8_t* bytes, int length);
