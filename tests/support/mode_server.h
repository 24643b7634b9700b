#pragma once

#include <QByteArray>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

// An HTTP server on 127.0.0.1 that answers every request with the raw response the test sets,
// optionally after a delay. It counts the requests it has seen.
class ModeServer : public QTcpServer
{
public:
    static QByteArray response(int status, const QByteArray& body,
                               const QByteArray& extraHeaders = {})
    {
        return "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n" + extraHeaders +
               "Content-Type: application/json\r\nContent-Length: " +
               QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }
    static QByteArray compatible() { return response(200, R"({"mode":"quarle"})"); }

    explicit ModeServer(QByteArray answer = compatible(), quint16 port = 0)
        : m_answer(std::move(answer))
    {
        listen(QHostAddress::LocalHost, port);
    }
    void setDelayMs(int delay) { m_delayMs = delay; }
    int requests() const { return m_requests; }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            if (!socket->peek(8192).contains("\r\n\r\n"))
                return;
            socket->readAll();
            ++m_requests;
            QTimer::singleShot(m_delayMs, socket, [socket, answer = m_answer] {
                socket->write(answer);
                socket->disconnectFromHost();
            });
        });
    }

private:
    QByteArray m_answer;
    int m_delayMs = 0;
    int m_requests = 0;
};
