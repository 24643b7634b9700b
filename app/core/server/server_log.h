#pragma once

#include "base/file_error.h"

#include <QDateTime>
#include <QString>

// The open server log: one descriptor opened for appending and closed on exec, which becomes
// the server's standard output and standard error.
class LogHandle
{
public:
    explicit LogHandle(int fd = -1) : m_fd(fd) {}
    LogHandle(LogHandle&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    LogHandle& operator=(LogHandle&& other) noexcept;
    LogHandle(const LogHandle&) = delete;
    LogHandle& operator=(const LogHandle&) = delete;
    ~LogHandle() { close(); }

    int fd() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    // Flushes to permanent storage, then closes, on a thread of its own: returns at once, and
    // the handle is closed here. Failures of either are of no consequence.
    void flushAndClose();
    void close();

private:
    int m_fd;
};

inline constexpr qint64 ServerLogRotationLimit = 10'485'760; // rotated only when larger

// "\n--- Tarvessa Audio Server launch 2026-12-05T18:04:08Z ---\n", always in UTC.
QByteArray launchHeader(const QDateTime& when);

// Rotates "server.log" to "server.previous.log" when it is over the limit, creates it when
// missing, opens it for appending and writes the launch header.
Expected<LogHandle> openServerLog(const QString& logFile, const QString& previousLogFile,
                                  const QDateTime& now = QDateTime::currentDateTimeUtc());
