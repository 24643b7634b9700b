#pragma once

#include <QString>

// What the menu shows about the server. Whether a running server is the application's own is
// told by the controller's serverProcess, not by the state.
class ServerState
{
public:
    enum class Case
    {
        failed,
        starting,
        running,
        stopped
    };

    static ServerState failed(QString message)
    {
        return ServerState(Case::failed, std::move(message));
    }
    static ServerState starting() { return ServerState(Case::starting); }
    static ServerState running() { return ServerState(Case::running); }
    static ServerState stopped() { return ServerState(Case::stopped); }

    Case kind() const { return m_case; }
    // The failure's text; empty for the other cases.
    const QString& message() const { return m_message; }
    bool operator==(const ServerState&) const = default;

private:
    explicit ServerState(Case kind, QString message = {})
        : m_case(kind), m_message(std::move(message))
    {}

    Case m_case;
    QString m_message;
};
