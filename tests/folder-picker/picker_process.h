#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

// How one run of a picker executable ended and everything it wrote.
struct PickerRun
{
    QByteArray out;
    QByteArray err;
    int exitCode = -1;
    bool exitedNormally = false;
};

// A picker started with a home of its own, since Qt's dialog remembers the last folder there.
// It is killed if it has not finished by the deadline or is still running when dropped.
class PickerProcess
{
public:
    PickerProcess(const QString& program, const QStringList& arguments,
                  QProcessEnvironment env = QProcessEnvironment::systemEnvironment())
    {
        env.insert(QStringLiteral("HOME"), m_home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path());
        m_process.setProcessEnvironment(env);
        m_process.start(program, arguments);
    }
    ~PickerProcess()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

    PickerRun finish()
    {
        if (!m_process.waitForFinished(20000))
            return {};
        return {m_process.readAllStandardOutput(), m_process.readAllStandardError(),
                m_process.exitCode(), m_process.exitStatus() == QProcess::NormalExit};
    }

private:
    QTemporaryDir m_home;
    QProcess m_process;
};
