#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into an orderly quit: the handler only writes a byte to a
// pipe, and the byte arrives here on the main thread.
class QuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;

signals:
    void quitRequested(int signalNumber);

private:
    QSocketNotifier* m_notifier = nullptr;
};
