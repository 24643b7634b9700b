#pragma once

#include <QByteArray>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

// An HTTP server on 127.0.0.1 that answers every request with the raw `answer`, after `delayMs`.
// It counts the requests it has seen, and keeps the last.
struct ModeServer : QTcpServer
{
    static QByteArray response(int status, const QByteArray& body)
    {
        return "HTTP/1.1 " + QByteArray::number(status) +
               " Status\r\nContent-Type: application/json\r\nContent-Length: " +
               QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }
    static QByteArray compatible() { return response(200, R"({"mode":"quarle"})"); }

    explicit ModeServer(QByteArray answer = compatible(), int delayMs = 0)
        : answer(std::move(answer)), delayMs(delayMs)
    {
        listen(QHostAddress::LocalHost);
    }
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            if (!socket->peek(8192).contains("\r\n\r\n"))
                return;
            lastRequest = socket->readAll();
            ++requests;
            QTimer::singleShot(delayMs, socket, [socket, reply = answer] {
                socket->write(reply);
                socket->disconnectFromHost();
            });
        });
    }

    QByteArray answer;
    int delayMs;
    int requests = 0;
    QByteArray lastRequest; // as it came
};
