// The readiness probe against a real HTTP server, and the readiness wait's ticks and limits.
#include "lifecycle.h"

class ProbeAndWaitTest : public QObject
{
    Q_OBJECT

    // Runs one probe and returns its answer, checking it arrives once and never inside the call.
    static bool probeOnce(TarvessaAudioServerAppDelegate& controller)
    {
        int calls = 0;
        bool answer = false;
        bool returned = false;
        controller.probeServer([&](bool compatible) {
            QVERIFY(returned);
            ++calls;
            answer = compatible;
        });
        returned = true;
        [&] { QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 5000); }();
        QTest::qWait(0); // a duplicate completion would be queued by now
        [&] { QCOMPARE(calls, 1); }();
        return answer;
    }

private slots:
    void probeJudgesAnswers_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("compatible");
        using S = ModeServer;
        QTest::newRow("200 with the mode") << S::compatible() << true;
        QTest::newRow("other members ignored")
            << S::response(200, R"({"mode":"quarle","v":2})") << true;
        QTest::newRow("another mode") << S::response(200, R"({"mode":"other"})") << false;
        QTest::newRow("mode in another case") << S::response(200, R"({"mode":"Quarle"})") << false;
        QTest::newRow("no mode") << S::response(200, R"({"name":"quarle"})") << false;
        QTest::newRow("mode not a string") << S::response(200, R"({"mode":1})") << false;
        QTest::newRow("an array") << S::response(200, R"(["quarle"])") << false;
        QTest::newRow("not JSON") << S::response(200, "mode=quarle") << false;
        QTest::newRow("empty body") << S::response(200, "") << false;
        QTest::newRow("204") << S::response(204, "") << false;
        QTest::newRow("304") << S::response(304, "") << false;
        QTest::newRow("201 with the mode") << S::response(201, R"({"mode":"quarle"})") << false;
    }
    void probeJudgesAnswers()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, compatible);
        ModeServer server(answer);
        Lifecycle life(server.serverPort());
        QCOMPARE(probeOnce(*life.controller), compatible);
        QCOMPARE(server.requests(), 1);
    }

    void probeNeverFollowsRedirectsOrProxies()
    {
        ModeServer server;
        // A redirect to a compatible answer is still not one.
        ModeServer redirecting(ModeServer::response(
            302, "",
            "Location: http://127.0.0.1:" + QByteArray::number(server.serverPort()) +
                "/api/app-mode\r\n"));
        Lifecycle redirected(redirecting.serverPort());
        QVERIFY(!probeOnce(*redirected.controller));
        QCOMPARE(server.requests(), 0);

        // A proxy in the environment must not divert a loopback probe.
        qputenv("http_proxy", "http://127.0.0.1:9");
        qputenv("HTTP_PROXY", "http://127.0.0.1:9");
        Lifecycle proxied(server.serverPort());
        const bool answer = probeOnce(*proxied.controller);
        qunsetenv("http_proxy");
        qunsetenv("HTTP_PROXY");
        QVERIFY(answer);
    }

    void probeGivesUpOnSlowOrAbsentServers()
    {
        ModeServer slow;
        slow.setDelayMs(2000); // past the shortened 300 ms timeout
        Lifecycle life(slow.serverPort());
        QVERIFY(!probeOnce(*life.controller));

        Lifecycle nobody(freePort());
        QVERIFY(!probeOnce(*nobody.controller));
    }

    void waitSucceedsAtATickAndOpensTheBrowserOnce()
    {
        ModeServer server;
        Lifecycle life(server.serverPort());
        life.controller->waitUntilReady(true);
        QVERIFY(life.controller->readinessTimer);
        QCOMPARE(server.requests(), 0); // no probe at the moment of the call
        QTRY_VERIFY(life.stateIs(ServerState::Case::running));
        QVERIFY(!life.controller->readinessTimer);
        QVERIFY(!life.controller->openBrowserWhenReady);
        QTest::qWait(100); // later ticks and results must not open it again
        QCOMPARE(life.account.workspace.openedUrls,
                 QList<QUrl>{QUrl(QStringLiteral("http://127.0.0.1:%1").arg(life.port))});
    }

    void waitKeepsAPendingBrowserRequest()
    {
        ModeServer server;
        Lifecycle life(server.serverPort());
        life.controller->waitUntilReady(true);
        life.controller->waitUntilReady(false);
        QTRY_COMPARE(life.account.workspace.openedUrls.size(), 1);
    }

    // Ticks of 80 ms against a server that says "not yet" at once: each tick is one probe, and
    // the wait gives up at the limit's tick, not one before or after.
    void waitGivesUpAtTheLimitsTick_data()
    {
        QTest::addColumn<bool>("waitAgain"); // a second wait, begun after a few ticks
        QTest::newRow("one wait") << false;
        QTest::newRow("a new wait counts from zero") << true;
    }
    void waitGivesUpAtTheLimitsTick()
    {
        QFETCH(bool, waitAgain);
        ModeServer notYet(ModeServer::response(503, ""));
        ControllerTimings timings = fastTimings();
        timings.readinessTick = std::chrono::milliseconds(80);
        timings.readinessAttemptLimit = 6;
        Lifecycle life(notYet.serverPort(), timings);
        life.controller->waitUntilReady(true);
        qint64 earlier = 0;
        if (waitAgain) {
            QTRY_VERIFY(notYet.requests() >= 3);
            earlier = life.controller->readinessAttempts;
            life.controller->waitUntilReady(false);
        }
        QTRY_VERIFY_WITH_TIMEOUT(life.stateIs(ServerState::Case::failed), 10000);
        QCOMPARE(life.controller->readinessAttempts, qint64(6));
        QTRY_COMPARE(notYet.requests(), int(earlier) + 6);
        QCOMPARE(life.controller->serverState.message(),
                 QStringLiteral("Server did not become ready within 60 seconds. Check the server "
                                "log for details."));
        QVERIFY(!life.controller->readinessTimer);
        QTest::qWait(200); // no tick after the end, and no second alert
        QCOMPARE(notYet.requests(), int(earlier) + 6);
        QCOMPARE(life.account.alerts.shown.size(), 1);
        QVERIFY(life.account.workspace.openedUrls.isEmpty());
    }

    // Answers that overlap the ticks still end the wait once.
    void waitGivesUpOnceAtTheLimit()
    {
        ModeServer slow(ModeServer::response(503, ""));
        slow.setDelayMs(100); // answers overlap the 30 ms ticks
        Lifecycle life(slow.serverPort());
        life.controller->waitUntilReady(true);
        QTRY_VERIFY_WITH_TIMEOUT(life.stateIs(ServerState::Case::failed), 10000);
        QCOMPARE(life.controller->serverState.message(),
                 QStringLiteral("Server did not become ready within 60 seconds. Check the server "
                                "log for details."));
        QVERIFY(life.controller->readinessAttempts >= 20);
        QVERIFY(!life.controller->readinessTimer);
        QTest::qWait(400); // late answers of the ended wait are ignored
        QCOMPARE(life.account.alerts.shown.size(), 1);
        QVERIFY(life.account.workspace.openedUrls.isEmpty());
    }

    // The real timings: a probe every half second, the 60 seconds its failure names, and the
    // forced kill 12 s after a stop.
    void realTimingsMatchTheFailureText()
    {
        ModeServer server;
        Lifecycle life(server.serverPort(), ControllerTimings{});
        auto& controller = life.controller;
        controller->waitUntilReady(false);
        QCOMPARE(controller->readinessTimer->intervalAsDuration(), std::chrono::milliseconds(500));
        QCOMPARE(controller->timings().readinessAttemptLimit * controller->timings().readinessTick,
                 std::chrono::milliseconds(60000));
        QCOMPARE(controller->timings().forcedKillDelay, std::chrono::milliseconds(12000));
        QTRY_VERIFY_WITH_TIMEOUT(controller->serverState == ServerState::running(), 3000);
    }

    // "Open Tarvessa Audio Server" with a compatible server already there: the browser opens at
    // that server and nothing is started (no runtime is installed to start).
    void openUsesAServerThatAnswers()
    {
        ModeServer server;
        Lifecycle life(server.serverPort());
        life.controller->openWebInterface();
        QTRY_COMPARE(life.account.workspace.openedUrls,
                     QList<QUrl>{QUrl(QStringLiteral("http://127.0.0.1:%1").arg(life.port))});
        QVERIFY(life.stateIs(ServerState::Case::running));
        QVERIFY(!life.controller->serverProcess && !life.controller->readinessTimer);
        QVERIFY(life.account.alerts.shown.isEmpty());
        QCOMPARE(server.requests(), 1);
    }
};

QTEST_MAIN(ProbeAndWaitTest)
#include "tst_probe_and_wait.moc"
